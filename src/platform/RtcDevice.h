#pragma once
// The battery-backed real-time clock. On the board /dev/rtc0 with the RTC_RD_TIME
// and RTC_SET_TIME ioctls; in simulation <root>/dev/rtc0 is a text file
// "YYYY-MM-DD HH:MM:SS". The RTC holds local time.

namespace Platform {

struct RtcTime {
  int seconds = 0;
  int minutes = 0;
  int hours = 0;
  int dayOfMonth = 0;
  int month = 0;  // 0 to 11
  int year = 0;   // years since 1900
};

// False when the clock cannot be opened or read; the time is then left zeroed.
bool readRtc(RtcTime& time);
bool writeRtc(const RtcTime& time);

}  // namespace Platform
