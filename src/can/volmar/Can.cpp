#include "can/volmar/Can.h"

#include <poll.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <utility>

#include "can/volmar/OfflineCheckTimer.h"
#include "core/Log.h"
#include "platform/Clock.h"

namespace {

std::atomic<VolmarCan::PortSender> portSender{nullptr};

void sendToPorts(const CanFrame& frame) {
  VolmarCan::PortSender sender = portSender.load();
  if (sender != nullptr) sender(frame);
}

}  // namespace

void VolmarCan::setPortSender(PortSender sender) { portSender.store(sender); }

VolmarCan* VolmarCan::instance() {
  static VolmarCan* volmar = new VolmarCan();
  return volmar;
}

VolmarCan::VolmarCan(CanCMT::Clock monotonicClock, CanCMT::FrameSink frameSink)
    : clock(monotonicClock ? std::move(monotonicClock) : CanCMT::Clock(Platform::monotonicMilliseconds)),
      sink(frameSink ? std::move(frameSink) : CanCMT::FrameSink(sendToPorts)),
      createdAt(clock()) {}

VolmarCan::~VolmarCan() {
  accepting.store(false);
  stop();
}

void VolmarCan::pushFrame(const CanFrame& frame) {
  if (!accepting.load() || ring.size() >= queueCapacity) {
    dropped.fetch_add(1);
    return;
  }
  ring.push(frame);
}

int VolmarCan::waitMilliseconds(int64_t now, const CanCMT& protocol, const OfflineCheckTimer& offlineTimer) {
  int64_t due = protocol.nextDeadline();
  if (protocol.registry().anyAlive() && (due < 0 || offlineTimer.nextDue() < due)) due = offlineTimer.nextDue();
  if (due < 0) return -1;
  return static_cast<int>(std::clamp<int64_t>(due - now, 0, INT_MAX));
}

void VolmarCan::run() {
  alive.store(1);
  LOGI("Can started");
  auto protocol = std::make_unique<CanCMT>(clock, sink);
  OfflineCheckTimer offlineTimer(createdAt);
  accepting.store(true);
  while (keepRunning.load() != 0) {
    pollfd waitFor[2] = {{ring.fd(), POLLIN, 0}, {stopDescriptor(), POLLIN, 0}};
    poll(waitFor, 2, waitMilliseconds(clock(), *protocol, offlineTimer));
    // With no receiver alive the check has nothing to do and is not waited
    // for; its period starts again with the first sign of life.
    if (!protocol->registry().anyAlive()) offlineTimer.restart(clock());
    ring.consumeAll([&](const CanFrame& frame) {
      protocol->onFrame(frame);
      handled.fetch_add(1);
    });
    protocol->tick();
    if (offlineTimer.due(clock())) {
      protocol->offlineCheck();
      protocol->takePRListChanged();
    }
  }
  accepting.store(false);
}
