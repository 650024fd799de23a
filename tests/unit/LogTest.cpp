#include <gtest/gtest.h>

#include <string>

#include "CaptureStdout.h"
#include "core/Log.h"
#include "core/SyncRing.h"

namespace {

std::string format(char level, int uptime, const char* tag, const char* format, ...) {
  char buffer[256];
  va_list arguments;
  va_start(arguments, format);
  int length = Log::formatLine(buffer, sizeof buffer, level, uptime, tag, format, arguments);
  va_end(arguments);
  EXPECT_EQ(length, static_cast<int>(std::string(buffer).size()));
  return buffer;
}

struct LayoutCase {
  char level;
  int uptime;
  const char* tag;
  const char* expected;
};

TEST(LogLayout, PrefixPadsUptimeAndTag) {
  const LayoutCase cases[] = {
      {'I', 0, "main.cpp", "\r\n[I]0     |main.cpp         : hello 7"},
      {'W', 12, "SyncRing.h", "\r\n[W]12    |SyncRing.h       : hello 7"},
      // Exactly 17 characters: no padding before ": ".
      {'D', 123456, "seventeen_chars.h", "\r\n[D]123456|seventeen_chars.h: hello 7"},
      // Longer tags and counters are not cut.
      {'E', 1234567, "a_much_longer_source_name.cpp", "\r\n[E]1234567|a_much_longer_source_name.cpp: hello 7"},
  };
  for (const LayoutCase& c : cases) {
    EXPECT_EQ(format(c.level, c.uptime, c.tag, "hello %d", 7), c.expected) << c.tag;
  }
}

TEST(LogLayout, LongMessageIsWrittenWhole) {
  std::string message(3000, 'x');
  CaptureStdout capture;
  LOGI("%s", message.c_str());
  std::string out = capture.text();
  EXPECT_NE(out.find(message), std::string::npos);
  EXPECT_EQ(out.rfind("\r\n[I]", 0), 0u);
}

TEST(LogLayout, TagIsTheFileOfTheLoggingStatement) {
  CaptureStdout capture;
  LOGI("from the test");
  SyncRing<int, 1> ring;
  ring.push(1);
  ring.push(2);
  std::string out = capture.text();
  EXPECT_NE(out.find("|LogTest.cpp      : from the test"), std::string::npos) << out;
  EXPECT_NE(out.find("[W]"), std::string::npos);
  EXPECT_NE(out.find("|SyncRing.h       : Buffer overflow!"), std::string::npos) << out;
}

TEST(LogLayout, UptimeCountsFromProcessStart) {
  EXPECT_GE(Log::uptimeSeconds(), 0);
  EXPECT_LT(Log::uptimeSeconds(), 600);
  EXPECT_EQ(Log::startMilliseconds() / 1000, Log::startSeconds());
}

}  // namespace
