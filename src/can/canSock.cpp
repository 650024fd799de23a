#include "can/canSock.h"

#include <utility>

#include "core/Event.h"
#include "core/Log.h"

canSock::canSock(const std::string& name) : canSock(name, Platform::openCanSocket(name)) {}

canSock::canSock(const std::string& name, std::unique_ptr<Platform::CanSocket> openedPort)
    : interfaceName(name), port(std::move(openedPort)) {
  reportOpening();
}

void canSock::reportOpening() {
  const Platform::CanOpenResult& result = port->openResult();
  if (!result.socketCreated) LOGW("socket Error");
  if (!result.interfaceFound) LOGW("Could get index of interface >%s<", interfaceName.c_str());
  if (!result.mtuRead) LOGW("Could get MTU of interface >%s<", interfaceName.c_str());
  if (!result.bound) LOGW("Could not bind to CAN interface  >%s<", interfaceName.c_str());
}

bool canSock::queueFrame(const CanFrame& frame) {
  // The kernel refuses such a frame on every write; kept at the head of the
  // ring it would stop the port from sending anything else.
  if (frame.length > CanFrame::maxLength) return false;
  ring.push(frame);
  return true;
}

bool canSock::flush() {
  while (ring.size() != 0) {
    CanFrame frame = ring.front();
    if (!port->writeFrame(frame)) return false;
    ring.takeUnit();
    ring.pop();
  }
  return true;
}
