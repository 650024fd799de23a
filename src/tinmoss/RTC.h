#pragma once

namespace RTC {
// Sets the system clock from the battery-backed clock (once, at start). A clock
// that cannot be read leaves the system time as it is.
void readToSystem();
// Writes the current system time into the battery-backed clock.
void saveFromSystem();
}  // namespace RTC
