#include "registry/SystemInfo.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <limits>

#include "core/Log.h"
#include "platform/Clock.h"

// The build passes the abbreviated revision of the sources it compiled.
#ifndef FIELDHUB_GIT_COMMIT
#define FIELDHUB_GIT_COMMIT "00000000000000"
#endif

namespace System {
namespace {
std::atomic<ClockSaver> clockSaver{nullptr};
}  // namespace

const char* gitCommit() { return FIELDHUB_GIT_COMMIT; }

void setClockSaver(ClockSaver saver) { clockSaver.store(saver); }
}  // namespace System

std::string EntryText<current_time>::toText(const current_time&) {
  return std::to_string(static_cast<unsigned long long>(Platform::wallTime()));
}

namespace {

constexpr size_t maxTimeDigits = 19;

// Seconds since the epoch from 1 to 19 decimal digits ("1700000000"); false
// for anything else (a sign, a blank, null, a fraction) and for a second the
// clock or its calendar cannot hold.
bool parseTime(const char* text, time_t& seconds) {
  size_t length = 0;
  uint64_t value = 0;
  for (; text[length] != '\0'; ++length) {
    if (length == maxTimeDigits || text[length] < '0' || text[length] > '9') return false;
    value = value * 10 + static_cast<uint64_t>(text[length] - '0');
  }
  if (length == 0 || value > static_cast<uint64_t>(std::numeric_limits<time_t>::max())) return false;
  seconds = static_cast<time_t>(value);
  std::tm calendar{};
  return localtime_r(&seconds, &calendar) != nullptr;
}

// At most this much of a refused text is logged, without control characters,
// so a client cannot flood the log or forge lines in it.
std::string loggable(const char* text) {
  constexpr size_t shown = 32;
  std::string result;
  for (size_t i = 0; text[i] != '\0' && i < shown; ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    result += byte < 0x20 || byte == 0x7F ? '?' : text[i];
  }
  return result;
}

}  // namespace

void EntryText<current_time>::fromText(current_time&, const char* text) {
  time_t seconds = 0;
  if (!parseTime(text, seconds)) {
    // atoll would make 0 of it and write 1970 into the RTC.
    LOGW("Bad time value: %s", loggable(text).c_str());
    return;
  }
  if (!Platform::setWallTime(seconds)) return;
  if (System::ClockSaver saver = System::clockSaver.load()) saver();
}

std::string EntryText<System::_git_commit>::toText(const System::_git_commit&) {
  return std::string("\"") + System::gitCommit() + "\"";
}

std::string EntryText<System::_release_label>::toText(const System::_release_label&) {
  return std::string("\"") + System::releaseLabel + "\"";
}
