#include "tinmoss/RTC.h"

#include <ctime>

#include "core/Log.h"
#include "platform/Clock.h"
#include "platform/RtcDevice.h"

namespace RTC {

void readToSystem() {
  LOGI("Reading time from RTC");
  Platform::RtcTime rtc;
  bool readable = Platform::readRtc(rtc);
  LOGI("Got RTC date: %04d-%02d-%02d", rtc.year + 1900, rtc.month + 1, rtc.dayOfMonth);
  LOGI("Got RTC time: %02d:%02d:%02d", rtc.hours, rtc.minutes, rtc.seconds);
  // An unreadable clock would otherwise set the system time to a zeroed date.
  if (!readable) return;
  std::tm local{};
  local.tm_sec = rtc.seconds;
  local.tm_min = rtc.minutes;
  local.tm_hour = rtc.hours;
  local.tm_mday = rtc.dayOfMonth;
  local.tm_mon = rtc.month;
  local.tm_year = rtc.year;
  local.tm_isdst = 0;
  Platform::setWallTime(std::mktime(&local));
}

void saveFromSystem() {
  LOGI("Saving time to RTC");
  time_t now = Platform::wallTime();
  std::tm local{};
  // A second beyond the calendar would write a zeroed date.
  if (localtime_r(&now, &local) == nullptr) return;
  Platform::RtcTime rtc{local.tm_sec, local.tm_min, local.tm_hour, local.tm_mday, local.tm_mon, local.tm_year};
  Platform::writeRtc(rtc);
}

}  // namespace RTC
