// Setting the clock: the "system"/"time" texts that set it and save the RTC,
// those that change nothing, and "set_time", which only answers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>

#include "CaptureStdout.h"
#include "LogLines.h"
#include "RegistryTestTree.h"
#include "TestFiles.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "registry/SystemInfo.h"
#include "tinmoss/RTC.h"
#include "tinmoss/Time.h"

namespace {

using TestFiles::readFile;
using TestFiles::writeFile;
using TestLog::LogLine;

// UTC as the local time, the RTC's saver installed, and the clock and the
// RTC file as they were afterwards.
struct ClockTest : ::testing::Test {
  std::string rtcFile = Platform::path("/dev/rtc0");
  std::string rtcBefore;
  std::string zoneBefore;
  bool hadZone = false;

  void SetUp() override {
    rtcBefore = readFile(rtcFile);
    if (const char* zone = std::getenv("TZ")) {
      hadZone = true;
      zoneBefore = zone;
    }
    setenv("TZ", "UTC0", 1);
    tzset();
    System::setClockSaver(RTC::saveFromSystem);
  }
  void TearDown() override {
    System::setClockSaver(nullptr);
    Platform::setWallTime(std::time(nullptr));
    writeFile(rtcFile, rtcBefore);
    if (hadZone) {
      setenv("TZ", zoneBefore.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
};

TEST_F(ClockTest, SystemTimeSetsTheClockAndSavesTheRtc) {
  TestTree tree;
  Entry<current_time> time(tree.root, {"system", "time"});
  for (const char* object : {R"({"system":{"time":1700000000}})", R"({"system":{"time":"1700000000"}})"}) {
    writeFile(rtcFile, "2001-01-01 00:00:00\n");
    tree.root.apply(object);
    EXPECT_NEAR(static_cast<double>(Platform::wallTime()), 1700000000.0, 2.0) << object;
    std::string saved = readFile(rtcFile);
    EXPECT_TRUE(std::regex_match(saved, std::regex("2023-11-14 22:13:2[012]\n"))) << saved;
  }
}

TEST_F(ClockTest, TimeTextsThatAreNoSecondsChangeNothing) {
  TestTree tree;
  Entry<current_time> time(tree.root, {"system", "time"});
  const char* sentinel = "2001-01-01 00:00:00\n";
  struct Case {
    const char* object;
    const char* logged;
  } cases[] = {
      {R"({"system":{"time":"abc"}})", "abc"},
      {R"({"system":{"time":""}})", ""},
      {R"({"system":{"time":null}})", "null"},
      {R"({"system":{"time":-1}})", "-1"},
      {R"({"system":{"time":1700000000.5}})", "1700000000.5"},
      {R"({"system":{"time":" 1700000000"}})", " 1700000000"},
      {R"({"system":{"time":"17000000000000000000"}})", "17000000000000000000"},
      {R"({"system":{"time":9223372036854775807}})", "9223372036854775807"},
      {R"({"system":{"time":"a\tb"}})", "a\\tb"},
  };
  for (const Case& c : cases) {
    writeFile(rtcFile, sentinel);
    time_t before = Platform::wallTime();
    std::string logged;
    {
      CaptureStdout capture;
      tree.root.apply(c.object);
      logged = capture.text();
    }
    EXPECT_NEAR(static_cast<double>(Platform::wallTime()), static_cast<double>(before), 2.0) << c.object;
    EXPECT_EQ(readFile(rtcFile), sentinel) << c.object;
    EXPECT_EQ(TestLog::logLines(logged),
              (std::vector<LogLine>{{'W', "SystemInfo.cpp", std::string("Bad time value: ") + c.logged}}))
        << c.object;
  }
}

TEST_F(ClockTest, SetTimeAnswersSuccessAndLeavesTheClock) {
  Rpc::PureRPC* method = RpcMethods::find("set_time");
  ASSERT_NE(dynamic_cast<SetTimeRpc*>(method), nullptr);
  writeFile(rtcFile, "2001-01-01 00:00:00\n");
  time_t before = Platform::wallTime();
  std::string logged;
  RpcResult result;
  {
    CaptureStdout capture;
    result = method->call(R"({"time":1700000000})");
    logged = capture.text();
  }
  EXPECT_EQ(result.text, "\"{\"status\":\"success\"}\"");
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(TestLog::logLines(logged),
            (std::vector<LogLine>{{'I', "Time.cpp", R"(Got set time rpc with: {"time":1700000000})"}}));
  EXPECT_NEAR(static_cast<double>(Platform::wallTime()), static_cast<double>(before), 2.0);
  EXPECT_EQ(readFile(rtcFile), "2001-01-01 00:00:00\n");
}

}  // namespace
