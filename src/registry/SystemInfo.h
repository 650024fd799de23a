#pragma once
// Values of the "system" group. They hold no data of their own: the time is
// the system clock, the commit and release are fixed when the firmware is
// built.
//
//   time     1700000000             (seconds since the epoch; writing it sets the
//                                     system clock and saves it to the RTC)
//   commit   "0123456789abcd"       (14 lower-case hex digits of the source revision)
//   release  "2023.2.7"
#include <string>

#include "registry/EntryText.h"

struct current_time {};

namespace System {
struct _git_commit {};
struct _release_label {};
// The revision text without quotes.
const char* gitCommit();
inline constexpr const char* releaseLabel = "2023.2.7";
// What writing "time" does after setting the system clock: save it to the
// battery-backed clock. main installs the RTC's; until then nothing is saved.
using ClockSaver = void (*)();
void setClockSaver(ClockSaver saver);
}  // namespace System

template <>
struct EntryText<current_time> {
  static std::string toText(const current_time&);
  // A text of 1 to 19 decimal digits (a quoted number arrives without its
  // quotes) becomes the system time; then the clock saver writes it to the
  // RTC. Anything else is logged ("Bad time value: abc") and changes nothing.
  static void fromText(current_time&, const char* text);
};

template <>
struct EntryText<System::_git_commit> {
  static std::string toText(const System::_git_commit&);
  static void fromText(System::_git_commit&, const char*) {}
};

template <>
struct EntryText<System::_release_label> {
  static std::string toText(const System::_release_label&);
  static void fromText(System::_release_label&, const char*) {}
};
