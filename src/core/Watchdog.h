#pragma once
// Keeps the hardware watchdog fed while fieldhub runs: a keep-alive every
// 500 ms, so a hung or dead program resets the board. Without the device the
// open is retried on the same beat, silently; a failed keep-alive is ignored.
#include <cstdint>
#include <functional>

#include "core/Thread.h"

class Watchdog : public Thread {
 public:
  static constexpr int64_t periodMilliseconds = 500;

  // The device and the clock the beat is measured on.
  struct Device {
    std::function<int()> open;              // a descriptor, or -1
    std::function<bool(int fd)> keepAlive;  // false when it failed
    std::function<void(int fd)> close;
    std::function<int64_t()> milliseconds;  // monotonic

    // /dev/watchdog (Platform::openWatchdog ...) and the monotonic clock.
    static Device platform();
  };

  explicit Watchdog(Device device = Device::platform());
  ~Watchdog() override;

 protected:
  void run() override;

 private:
  Device device;
};
