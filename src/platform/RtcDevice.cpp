#include "platform/RtcDevice.h"

#include <fcntl.h>
#include <linux/rtc.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "platform/Platform.h"

namespace Platform {
namespace {

const char* const rtcPath = "/dev/rtc0";

bool readRtcText(RtcTime& time) {
  FILE* file = std::fopen(path(rtcPath).c_str(), "r");
  if (file == nullptr) return false;
  int year = 0, month = 0, day = 0, hours = 0, minutes = 0, seconds = 0;
  int fields = std::fscanf(file, "%d-%d-%d %d:%d:%d", &year, &month, &day, &hours, &minutes, &seconds);
  std::fclose(file);
  if (fields != 6 || month < 1 || month > 12 || day < 1 || day > 31 || hours > 23 || minutes > 59 || seconds > 60) {
    return false;
  }
  time = RtcTime{seconds, minutes, hours, day, month - 1, year - 1900};
  return true;
}

bool writeRtcText(const RtcTime& time) {
  std::string finalPath = path(rtcPath);
  std::string temporaryPath = finalPath + ".new";
  FILE* file = std::fopen(temporaryPath.c_str(), "w");
  if (file == nullptr) return false;
  std::fprintf(file, "%04d-%02d-%02d %02d:%02d:%02d\n", time.year + 1900, time.month + 1, time.dayOfMonth,
               time.hours, time.minutes, time.seconds);
  bool written = std::fclose(file) == 0;
  return written && std::rename(temporaryPath.c_str(), finalPath.c_str()) == 0;
}

}  // namespace

bool readRtc(RtcTime& time) {
  time = RtcTime{};
  if (simulationMode()) return readRtcText(time);
  int fd = open(rtcPath, O_RDONLY);
  if (fd < 0) return false;
  rtc_time value{};
  bool ok = ioctl(fd, RTC_RD_TIME, &value) == 0;
  close(fd);
  if (ok) time = RtcTime{value.tm_sec, value.tm_min, value.tm_hour, value.tm_mday, value.tm_mon, value.tm_year};
  return ok;
}

bool writeRtc(const RtcTime& time) {
  if (simulationMode()) return writeRtcText(time);
  int fd = open(rtcPath, O_RDONLY);
  if (fd < 0) return false;
  rtc_time value{};
  value.tm_sec = time.seconds;
  value.tm_min = time.minutes;
  value.tm_hour = time.hours;
  value.tm_mday = time.dayOfMonth;
  value.tm_mon = time.month;
  value.tm_year = time.year;
  bool ok = ioctl(fd, RTC_SET_TIME, &value) == 0;
  close(fd);
  return ok;
}

}  // namespace Platform
