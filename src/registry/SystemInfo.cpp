#include "registry/SystemInfo.h"

#include <cstdlib>

#include "platform/Clock.h"
#include "tinmoss/RTC.h"

// The build passes the abbreviated revision of the sources it compiled.
#ifndef FIELDHUB_GIT_COMMIT
#define FIELDHUB_GIT_COMMIT "00000000000000"
#endif

namespace System {
const char* gitCommit() { return FIELDHUB_GIT_COMMIT; }
}  // namespace System

std::string EntryText<current_time>::toText(const current_time&) {
  return std::to_string(static_cast<unsigned long long>(Platform::wallTime()));
}

void EntryText<current_time>::fromText(current_time&, const char* text) {
  Platform::setWallTime(static_cast<time_t>(std::atoll(text)));
  RTC::saveFromSystem();
}

std::string EntryText<System::_git_commit>::toText(const System::_git_commit&) {
  return std::string("\"") + System::gitCommit() + "\"";
}

std::string EntryText<System::_release_label>::toText(const System::_release_label&) {
  return std::string("\"") + System::releaseLabel + "\"";
}
