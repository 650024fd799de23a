#include "can/svThread.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "can/krel/KrelThread.h"
#include "can/volmar/Can.h"
#include "core/Event.h"
#include "core/Log.h"
#include "platform/Clock.h"
#include "registry/Catalogue.h"

namespace {

// Frames read from one port in one pass at most; a port that still has more
// is readable again at once, and the other port and the writes get their turn.
constexpr int readBurst = 256;

int64_t millisecondsSinceStart() { return Platform::monotonicCoarseMilliseconds() - Log::startMilliseconds(); }

void sendToVolmarPorts(const CanFrame& frame) { svThread::instance()->send(frame, svThread::portModeEnum::volmar); }

}  // namespace

svThread* svThread::instance() {
  static svThread* supervisor = [] {
    auto* made = new svThread(
        Catalogue::can(),
        {std::make_unique<canSock>("can0"), std::make_unique<canSock>("can1")},
        Receivers{[](const CanFrame& frame) { KREL::KrelThread::instance()->pushFrame(frame); },
                  [](const CanFrame& frame) { VolmarCan::instance()->pushFrame(frame); }},
        millisecondsSinceStart);
    VolmarCan::setPortSender(sendToVolmarPorts);
    return made;
  }();
  return supervisor;
}

svThread::svThread(Catalogue::Can& canSettings, std::array<std::unique_ptr<canSock>, portCount> canPorts,
                   Receivers frameReceivers, Clock clock)
    : settings(canSettings),
      ports(std::move(canPorts)),
      receivers(std::move(frameReceivers)),
      now(std::move(clock)),
      // Any number of producers add to it and one read clears it (not a
      // semaphore, unlike the rings' counters).
      wakeFd(makeWakeFd("the port supervisor's wake-up descriptor")) {}

svThread::~svThread() {
  stop();
  if (wakeFd >= 0) close(wakeFd);
}

// Read for every frame: the entries' atomic copies, never the registry mutex,
// so a settings apply or save cannot hold up routing.
svThread::portModeEnum svThread::portMode(size_t port) const {
  return (port == 0 ? settings.port1 : settings.port2).current();
}

bool svThread::duplicateFilterOn() const { return settings.x2krel.current(); }

void svThread::wake() { signalEvent(wakeFd); }

void svThread::clearWake() {
  uint64_t count = 0;
  while (read(wakeFd, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

void svThread::send(const CanFrame& frame, portModeEnum mode) {
  bool matched = false;
  for (size_t i = 0; i < portCount; ++i) {
    if (portMode(i) != mode) continue;
    ports[i]->queueFrame(frame);
    matched = true;
  }
  if (matched) wake();
}

void svThread::queueFrame(size_t port, const CanFrame& frame) {
  if (port >= portCount) return;
  ports[port]->queueFrame(frame);
  wake();
}

void svThread::route(const CanFrame& frame, portModeEnum mode) {
  switch (mode) {
    case portModeEnum::krel:
      if (duplicateFilterOn() && !filter.pass(frame, now())) {
        duplicates.fetch_add(1);
        return;
      }
      delivered.fetch_add(1);
      if (receivers.krel) receivers.krel(frame);
      return;
    case portModeEnum::volmar:
      delivered.fetch_add(1);
      if (receivers.volmar) receivers.volmar(frame);
      return;
    case portModeEnum::off:
      return;
  }
  // Any other stored value counts as off.
}

void svThread::runOnce(int timeoutMilliseconds) {
  enum { wakeSlot = portCount, stopSlot = portCount + 1, slotCount = portCount + 2 };
  pollfd slots[slotCount];
  int64_t started = now();
  int timeout = timeoutMilliseconds;
  for (size_t i = 0; i < portCount; ++i) {
    slots[i] = {ports[i]->fd(), POLLIN, 0};
    // A simulated port retries copies its receivers refused from tick().
    int64_t retry = ports[i]->retryWait();
    if (retry >= 0 && (timeout < 0 || retry < timeout)) timeout = static_cast<int>(retry);
    if (ports[i]->queued() == 0) continue;
    int64_t wait = writeRetryAt[i] - started;
    if (wait <= 0) {
      slots[i].events |= POLLOUT;
    } else {
      timeout = static_cast<int>(std::min<int64_t>(timeout, wait));
    }
  }
  slots[wakeSlot] = {wakeFd, POLLIN, 0};
  slots[stopSlot] = {stopDescriptor(), POLLIN, 0};
  if (poll(slots, slotCount, timeout) < 0) {
    for (pollfd& slot : slots) slot.revents = 0;
  }

  for (size_t i = 0; i < portCount; ++i) {
    canSock& port = *ports[i];
    if ((slots[i].revents & POLLOUT) != 0 && !port.flush()) {
      writeRetryAt[i] = now() + writeRetryMilliseconds;
    }
    if ((slots[i].revents & POLLIN) != 0) {
      CanFrame frame;
      for (int n = 0; n < readBurst && port.readFrame(frame); ++n) route(frame, portMode(i));
    }
  }
  if ((slots[wakeSlot].revents & POLLIN) != 0) clearWake();
  for (auto& port : ports) port->tick();
}

void svThread::run() {
  while (keepRunning.load() != 0) runOnce(pollMilliseconds);
}
