#include "core/Event.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "core/Log.h"

void msleep(int ms) {
  if (ms <= 0) return;
  timespec remaining{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

int makeEventFd() {
  int fd = eventfd(0, EFD_SEMAPHORE | EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) LOGE("Cannot make a queue's event descriptor: %s", std::strerror(errno));
  return fd;
}

int makeWakeFd(const char* purpose) {
  int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) LOGE("Cannot make %s: %s", purpose, std::strerror(errno));
  return fd;
}

void signalEvent(int fd) {
  uint64_t one = 1;
  while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

bool takeEvent(int fd) {
  uint64_t value = 0;
  ssize_t got;
  while ((got = read(fd, &value, sizeof value)) < 0 && errno == EINTR) {
  }
  return got == static_cast<ssize_t>(sizeof value);
}

void clearEvent(int fd) {
  uint64_t value = 0;
  while (read(fd, &value, sizeof value) < 0 && errno == EINTR) {
  }
}
