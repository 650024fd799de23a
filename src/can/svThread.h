#pragma once
// The CAN port supervisor: one thread owns both CAN ports ("can0", "can1").
// It reads every received frame and hands it to the protocol thread of the
// port's mode (the "can" settings "port1" and "port2": off, krel, volmar),
// and writes the frames that any thread queued for sending.
//
//   svThread::instance()->send(frame, svThread::portModeEnum::krel);
//
// The mode is read again for every frame, so a changed setting applies from
// the next frame on without reopening anything. Frames of a krel port pass the
// duplicate filter first when "x2krel" is on (both ports on one panel bus).
#include <poll.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "can/DuplicateFilter.h"
#include "can/canSock.h"
#include "core/Thread.h"
#include "platform/CanFrame.h"
#include "registry/CanPortMode.h"

namespace Catalogue {
struct Can;
}

class svThread : public Thread {
 public:
  using portModeEnum = CanPortMode;
  static constexpr size_t portCount = 2;
  static constexpr int pollMilliseconds = 1000;
  // After a port refused a frame, writing is tried again this much later
  // instead of at once: a SocketCAN socket whose controller queue is full or
  // whose interface is down still polls writable, and retrying on every
  // POLLOUT would spin the thread.
  static constexpr int64_t writeRetryMilliseconds = 10;

  // Where received frames go, by the receiving port's mode.
  struct Receivers {
    std::function<void(const CanFrame&)> krel;
    std::function<void(const CanFrame&)> volmar;
  };
  // Monotonic milliseconds.
  using Clock = std::function<int64_t()>;

  // The process-wide supervisor with "can0" and "can1", made on first use
  // (never destroyed). Also connects the metering radio thread's sender.
  static svThread* instance();

  // settings: the "can" group whose port1/port2/x2krel are read (their
  // lock-free copies, current after every apply and commit). ports: "can0"
  // then "can1".
  svThread(Catalogue::Can& settings, std::array<std::unique_ptr<canSock>, portCount> ports, Receivers receivers,
           Clock now);
  // Stops the loop and joins it, so a test's instance can go.
  ~svThread() override;

  // Queues the frame on every port whose mode is `mode` and wakes the loop
  // when at least one port matched. Any thread.
  void send(const CanFrame& frame, portModeEnum mode);
  // Queues the frame on one port (0 = can0, 1 = can1) whatever its mode, and
  // wakes the loop. Any thread.
  void queueFrame(size_t port, const CanFrame& frame);

  // One pass of the loop: poll (up to timeoutMilliseconds), write, read and
  // route. run() repeats it; tests call it directly on a thread not started.
  void runOnce(int timeoutMilliseconds);

  portModeEnum portMode(size_t port) const;
  bool duplicateFilterOn() const;
  canSock& port(size_t index) { return *ports[index]; }

  // Frames received and handed on, and frames dropped by the duplicate filter.
  uint64_t deliveredFrames() const { return delivered.load(); }
  uint64_t duplicateFrames() const { return duplicates.load(); }

 protected:
  void run() override;

 private:
  void route(const CanFrame& frame, portModeEnum mode);
  void wake();
  void clearWake();

  Catalogue::Can& settings;
  std::array<std::unique_ptr<canSock>, portCount> ports;
  Receivers receivers;
  Clock now;
  int wakeFd = -1;
  DuplicateFilter filter;
  std::array<int64_t, portCount> writeRetryAt{};
  std::atomic<uint64_t> delivered{0};
  std::atomic<uint64_t> duplicates{0};
};
