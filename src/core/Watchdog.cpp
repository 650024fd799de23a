#include "core/Watchdog.h"

#include "platform/Clock.h"
#include "platform/WatchdogDevice.h"

Watchdog::Device Watchdog::Device::platform() {
  return Device{Platform::openWatchdog, Platform::keepWatchdogAlive, Platform::closeWatchdog,
                Platform::monotonicMilliseconds};
}

Watchdog::Watchdog(Device watchdogDevice) : device(std::move(watchdogDevice)) {}

Watchdog::~Watchdog() { stop(); }

void Watchdog::run() {
  alive.store(1);
  int fd = device.open();
  int64_t next = device.milliseconds();
  while (keepRunning.load() != 0) {
    if (fd < 0) {
      fd = device.open();
    } else {
      device.keepAlive(fd);
    }
    // A fixed beat: a late pass (a loaded machine) does not shift the ones
    // after it, and a stall longer than a beat is not made up with a burst.
    next += periodMilliseconds;
    int64_t now = device.milliseconds();
    if (next < now - periodMilliseconds) next = now;
    if (waitForStop(static_cast<int>(next > now ? next - now : 0))) break;
  }
  device.close(fd);
}
