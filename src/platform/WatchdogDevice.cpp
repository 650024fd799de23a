#include "platform/WatchdogDevice.h"

#include <fcntl.h>
#include <linux/watchdog.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/Platform.h"

namespace Platform {

int openWatchdog() { return open(path("/dev/watchdog").c_str(), O_RDWR | O_CLOEXEC); }

bool keepWatchdogAlive(int fd) {
  if (simulationMode()) return write(fd, "k", 1) == 1;
  return ioctl(fd, WDIOC_KEEPALIVE, 0) == 0;
}

void closeWatchdog(int fd) {
  if (fd >= 0) close(fd);
}

}  // namespace Platform
