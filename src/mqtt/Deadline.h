#pragma once
// A restartable time limit in whole seconds of the coarse monotonic clock:
// expired() once more than `duration` seconds have passed since the last
// restart(). The clock is injected, so a 30 s or 300 s rule is tested at its
// exact boundary without waiting:
//
//   Deadline stable(30, clock);   // started at construction
//   stable.expired();             // false until clock() > start + 30
//
// restart() and expired() may run in different threads (the MQTT thread
// restarts, the library's callback thread asks), so the start is atomic.
#include <atomic>
#include <cstdint>
#include <functional>

using SecondsClock = std::function<int64_t()>;

class Deadline {
 public:
  Deadline(int32_t durationSeconds, SecondsClock clock)
      : now(std::move(clock)), duration(durationSeconds), start(now()) {}

  void restart() { start.store(now()); }
  bool expired() const { return start.load() + duration < now(); }
  // The last second of the clock at which expired() is still false.
  int64_t lastSecondOnTime() const { return start.load() + duration; }

 private:
  SecondsClock now;
  int64_t duration;
  std::atomic<int64_t> start;
};
