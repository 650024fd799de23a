#include "registry/SystemInfo.h"

#include <atomic>
#include <cstdlib>

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

void EntryText<current_time>::fromText(current_time&, const char* text) {
  Platform::setWallTime(static_cast<time_t>(std::atoll(text)));
  if (System::ClockSaver saver = System::clockSaver.load()) saver();
}

std::string EntryText<System::_git_commit>::toText(const System::_git_commit&) {
  return std::string("\"") + System::gitCommit() + "\"";
}

std::string EntryText<System::_release_label>::toText(const System::_release_label&) {
  return std::string("\"") + System::releaseLabel + "\"";
}
