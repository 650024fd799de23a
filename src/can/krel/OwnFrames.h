#pragma once
// The frames this gateway put on the panel ports in the last 50 ms, so that
// their copies heard back are not taken for the nodes' traffic. With both
// ports in krel mode on one bus, each port hears the other's copy of every
// frame sent; in the 250-node layout a read request decodes as an answer of
// the node it asks (same node and register) and a write as the answer "ok".
//
//   own.remember(request);          // any thread, as the frame is queued
//   own.heardBack(request) -> true  // for every copy heard up to 50 ms later
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/CanFrame.h"

namespace KREL {

class OwnFrames {
 public:
  static constexpr int64_t windowMilliseconds = 50;
  // More than one request of 32 registers with the bridge's writes.
  static constexpr size_t capacity = 64;
  // Monotonic milliseconds.
  using Clock = std::function<int64_t()>;

  explicit OwnFrames(Clock now);

  // A frame queued for sending. Any thread.
  void remember(const CanFrame& frame);
  // True for a received frame equal to one queued in the last 50 ms.
  bool heardBack(const CanFrame& frame);

 private:
  struct Sent {
    CanFrame frame;
    int64_t at = 0;
  };

  Clock now;
  std::mutex mutex;
  std::array<Sent, capacity> sent{};
  size_t next = 0;
  // Frames remembered and not yet found older than the window: while 0 a
  // received frame costs one atomic load.
  std::atomic<uint32_t> recent{0};
};

}  // namespace KREL
