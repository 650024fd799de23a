#include "can/krel/KrelThread.h"

#include <poll.h>

#include <mutex>
#include <utility>

#include "can/krel/PollThread.h"
#include "can/krel/PultLink.h"
#include "can/krel/WSbridge.h"
#include "can/svThread.h"
#include "core/Log.h"
#include "platform/Clock.h"
#include "registry/Catalogue.h"

namespace KREL {
namespace {

std::atomic<KrelThread*> processWide{nullptr};
std::atomic<KrelThread::AliveNodesListener> aliveNodesListener{nullptr};

void sendToKrelPorts(const CanFrame& frame) { svThread::instance()->send(frame, svThread::portModeEnum::krel); }

// The process's console link, poll thread and WebSocket bridge behind the
// thread's hooks; the bridge also takes the "krel_tx" and "krel_rx"
// endpoints.
KrelLinks processLinks() {
  KrelLinks links;
  auto* console = new USock(USock::Environment::process());
  links.startConsoleLink = [console] { console->start(); };
  links.forward = [console](const CanFrame& frame) { console->forward(frame); };

  PollThread* poll = PollThread::instance();
  links.startPollThread = [poll] { poll->start(); };
  links.pollPacket = [poll](const IOPacket& packet) { poll->onPacket(packet); };

  auto* bridge = new WSbridge(Platform::monotonicCoarseSeconds, [] { return ioProcessor() != nullptr; });
  Catalogue::krelTx().setHandler([bridge](const char* value, const Origin& origin) {
    bridge->handle(WSbridge::Endpoint::tx, value, origin);
  });
  Catalogue::krelRx().setHandler([bridge](const char* value, const Origin& origin) {
    bridge->handle(WSbridge::Endpoint::rx, value, origin);
  });
  links.bridgePacket = [bridge](const IOPacket& packet) { bridge->onPacket(packet); };
  links.requestFd = bridge->requestFd();
  links.takeRequests = [bridge](std::vector<IOPacket>& packets) { bridge->takeRequests(packets); };
  links.expireRequests = [bridge] { bridge->expire(); };
  return links;
}

}  // namespace

void announceAliveNodes() {
  {
    std::lock_guard<std::recursive_mutex> lock(registryMutex());
    commit(Catalogue::krelDevicesList());
  }
  if (KrelThread::AliveNodesListener listener = aliveNodesListener.load()) listener();
}

AbstractIOProcessor* ioProcessor() {
  KrelThread* thread = processWide.load();
  return thread != nullptr ? thread->ioProcessor() : nullptr;
}

void KrelThread::setAliveNodesListener(AliveNodesListener listener) { aliveNodesListener.store(listener); }

KrelThread* KrelThread::instance() {
  static KrelThread* thread = [] {
    auto* made = new KrelThread(digests(), sendToKrelPorts, processLinks());
    processWide.store(made);
    return made;
  }();
  return thread;
}

KrelThread::KrelThread(DigestStore& store, AbstractIOProcessor::FrameSink frameSink, KrelLinks krelLinks, Clock now)
    : links(std::move(krelLinks)),
      router(store, std::move(frameSink), links.bridgePacket, links.pollPacket,
             now ? std::move(now) : Clock(Platform::monotonicCoarseMilliseconds)) {}

KrelThread::~KrelThread() { stop(); }

void KrelThread::run() {
  LOGI("Listen digests");
  if (links.startConsoleLink) links.startConsoleLink();

  while (keepRunning.load() != 0) {
    bool detected = ioProcessor() != nullptr;
    pollfd slots[3] = {{ring.fd(), POLLIN, 0},
                       {detected ? links.requestFd : -1, POLLIN, 0},
                       {stopDescriptor(), POLLIN, 0}};
    poll(slots, 3, pollMilliseconds);
    // One frame at a time: detection may end in the middle of a batch, and
    // the frames after it are then decoded with the layout just found.
    ring.consumeAll([this](const CanFrame& frame) { takeFrame(frame); });
    if (ioProcessor() == nullptr) continue;  // nothing else runs before the layout is known
    if ((slots[1].revents & POLLIN) != 0) serveRequests();
    if (links.expireRequests) links.expireRequests();
  }
}

void KrelThread::takeFrame(const CanFrame& frame) {
  if (links.forward) links.forward(frame);
  switch (router.take(frame)) {
    case PacketRouter::Outcome::undecided:
    case PacketRouter::Outcome::handled:
      break;
    case PacketRouter::Outcome::gaveUp:
      LOGW("Cannot detect max USO number");
      break;
    case PacketRouter::Outcome::detected:
      // Published before it is announced: a client that reads the line may
      // ask the bridge at once.
      LOGI(ioProcessor()->maxNodes() == IOProcessor64::layoutNodes ? "64 USO System detected!"
                                                                    : "250 USO System detected!");
      if (links.startPollThread) links.startPollThread();
      break;
  }
  handled.fetch_add(1);
}

void KrelThread::serveRequests() {
  if (!links.takeRequests) return;
  std::vector<IOPacket> packets;
  links.takeRequests(packets);
  for (const IOPacket& packet : packets) {
    if (packet.node <= maxNode && packet.error == 0) ioProcessor()->send(packet);
  }
}

}  // namespace KREL
