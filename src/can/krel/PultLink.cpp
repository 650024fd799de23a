#include "can/krel/PultLink.h"

#include <poll.h>

#include <algorithm>
#include <utility>

#include "can/svThread.h"
#include "core/Log.h"
#include "platform/Clock.h"
#include "platform/Platform.h"

namespace KREL {

USock::Environment USock::Environment::process() {
  Environment environment;
  environment.tree = &RegistryRoot::global();
  environment.settings = &Catalogue::pult();
  environment.port = static_cast<uint16_t>(Platform::consolePort());
  environment.toPorts = [](const CanFrame& frame) { svThread::instance()->send(frame, svThread::portModeEnum::krel); };
  environment.seconds = Platform::monotonicCoarseSeconds;
  return environment;
}

USock::USock(Environment linkEnvironment)
    : environment(std::move(linkEnvironment)),
      settingsChanged({{"pult"}}, *environment.tree),
      lastRotation(environment.seconds()) {}

USock::~USock() { stop(); }

void USock::run() {
  while (!openSocket()) {
    if (waitForStop(openRetryMilliseconds)) return;
  }
  LOGD("Changing target");
  readSettings();
  report();
  while (keepRunning.load() != 0) serve(idleMilliseconds);
}

bool USock::openSocket() {
  switch (socket.open(environment.port)) {
    case Platform::UdpSocket::Opened::ok:
      return true;
    case Platform::UdpSocket::Opened::notCreated:
      LOGW("Failed to create USock");
      return false;
    case Platform::UdpSocket::Opened::optionRefused:
      LOGW("Failed to set USock socketopt");
      return false;
    case Platform::UdpSocket::Opened::notBound:
      LOGW("Failed to bind USock");
      return false;
  }
  return false;
}

void USock::readSettings() {
  std::lock_guard<std::recursive_mutex> lock(environment.tree->mutex());
  const Catalogue::Pult& settings = *environment.settings;
  enabled.store(settings.enabled.value);
  server.store(settings.isServer.value);
  target.store(settings.target.value.valid ? settings.target.value.address.s_addr : 0);
}

void USock::forward(const CanFrame& frame, uint32_t leaveOut) {
  if (!enabled.load(std::memory_order_relaxed) || !socket.isOpen()) return;
  if (!server.load()) {
    // The destination goes with each send: the link's thread forwards too.
    uint32_t peer = target.load();
    if (peer != 0) socket.sendTo(&frame, sizeof frame, peer, environment.port);
    return;
  }
  std::lock_guard<std::mutex> lock(peerMutex);
  for (uint32_t peer : currentPeers) {
    if (peer != leaveOut) socket.sendTo(&frame, sizeof frame, peer, environment.port);
  }
}

void USock::serve(int waitMilliseconds) {
  if (socket.isOpen()) readDatagrams();
  if (settingsChanged.wait(0)) {
    LOGD("Changing target");
    readSettings();
  }
  int64_t now = environment.seconds();
  if (now - lastRotation > rotationSeconds) {
    std::lock_guard<std::mutex> lock(peerMutex);
    currentPeers = std::move(collectingPeers);
    collectingPeers.clear();
    lastRotation = now;
  }
  if (!socket.isOpen()) {
    waitForStop(closedWaitMilliseconds);
    return;
  }
  pollfd slots[2] = {{socket.descriptor(), POLLIN, 0}, {stopDescriptor(), POLLIN, 0}};
  poll(slots, 2, waitMilliseconds);
}

void USock::readDatagrams() {
  CanFrame frame;
  Platform::UdpSocket::Datagram datagram;
  for (int count = 0; count < readBurst && socket.receive(&frame, sizeof frame, datagram); ++count) {
    if (datagram.size != sizeof frame) break;
    received.fetch_add(1);
    bool isServer = server.load();
    if (datagram.fromIpv4 && enabled.load() && (isServer || (datagram.source == target.load() && datagram.source != 0))) {
      accepted.fetch_add(1);
      environment.toPorts(frame);
      if (isServer) {
        forward(frame, datagram.source);
        addPeer(datagram.source);
      }
    }
    if (received.load() >= nextReport) report();
  }
}

void USock::addPeer(uint32_t address) {
  std::lock_guard<std::mutex> lock(peerMutex);
  for (std::vector<uint32_t>* peers : {&currentPeers, &collectingPeers}) {
    if (peers->size() < maxPeers && std::find(peers->begin(), peers->end(), address) == peers->end()) {
      peers->push_back(address);
    }
  }
}

void USock::report() {
  uint32_t all = received.load();
  uint32_t taken = accepted.load();
  LOGI("Pult served %dk packets. %d dropped", static_cast<int>((taken + 500) / 1000), static_cast<int>(all - taken));
  nextReport = all - all % reportEvery + reportEvery;
}

}  // namespace KREL
