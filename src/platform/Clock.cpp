#include "platform/Clock.h"

#include <sys/time.h>

#include <atomic>

#include "platform/Platform.h"

namespace Platform {
namespace {
std::atomic<int64_t> hostOffsetSeconds{0};
}

time_t wallTime() { return std::time(nullptr) + static_cast<time_t>(hostOffsetSeconds.load()); }

void wallTimeOfDay(time_t& seconds, long& microseconds) {
  timeval now{};
  gettimeofday(&now, nullptr);
  seconds = now.tv_sec + static_cast<time_t>(hostOffsetSeconds.load());
  microseconds = now.tv_usec;
}

bool setWallTime(time_t seconds) {
  if (simulationMode()) {
    hostOffsetSeconds.store(static_cast<int64_t>(seconds) - static_cast<int64_t>(std::time(nullptr)));
    return true;
  }
  timeval value{};
  value.tv_sec = seconds;
  return settimeofday(&value, nullptr) == 0;
}

int64_t monotonicCoarseSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return now.tv_sec;
}

int64_t monotonicCoarseMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t monotonicMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace Platform
