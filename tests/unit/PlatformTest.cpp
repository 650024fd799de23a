#include <gtest/gtest.h>

#include "TestFiles.h"
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "core/Gpio.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "platform/Shell.h"

namespace {

using TestFiles::readFile;

std::string lastLine(const std::string& text) {
  std::string trimmed = text;
  while (!trimmed.empty() && trimmed.back() == '\n') trimmed.pop_back();
  size_t at = trimmed.rfind('\n');
  return at == std::string::npos ? trimmed : trimmed.substr(at + 1);
}

// The unit tests run in a simulation root made by the test suite.
class SimulationRoot : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Platform::simulationMode()) << "FIELDHUB_ROOT must name the test root"; }
  std::string commandsLog() { return readFile(Platform::root() + "/var/commands.log"); }
};

TEST_F(SimulationRoot, AbsolutePathsArePlacedBelowTheRoot) {
  EXPECT_EQ(Platform::path("/data/dps/mqtt"), Platform::root() + "/data/dps/mqtt");
  EXPECT_EQ(Platform::path("relative/file"), "relative/file");
  EXPECT_EQ(Platform::root().back() == '/', false);
}

TEST_F(SimulationRoot, ShellRunsTheStubsNotTheHostPrograms) {
  int status = Platform::shell("reboot -d 1");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(lastLine(commandsLog()), "reboot -d 1");

  // A command path composed with the path function reaches the root's script.
  Platform::shell(Platform::path("/etc/init.d/S10data") + " start");
  EXPECT_EQ(lastLine(commandsLog()), "S10data start");
}

TEST_F(SimulationRoot, ShellOutputAndExitStatus) {
  EXPECT_EQ(Platform::shellOutput("fw_printenv serial"), "serial=100042\n");
  EXPECT_EQ(Platform::shellOutput("printf abcdef", 3), "abc");
  int status = Platform::shell("exit 3");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
}

TEST_F(SimulationRoot, PipeWritesToTheCommandsInput) {
  std::string target = Platform::path("/var/pipe-test");
  Platform::Pipe pipe("cat > '" + target + "'", "w");
  ASSERT_TRUE(pipe.isOpen());
  std::fputs("root:secret\n", pipe.file());
  int status = pipe.close();
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(readFile(target), "root:secret\n");
}

TEST_F(SimulationRoot, SettingTheWallClockMovesOnlyTheProcessOffset) {
  time_t hostBefore = std::time(nullptr);
  ASSERT_TRUE(Platform::setWallTime(1700000000));
  EXPECT_NEAR(static_cast<double>(Platform::wallTime()), 1700000000.0, 2.0);
  EXPECT_NEAR(static_cast<double>(std::time(nullptr)), static_cast<double>(hostBefore), 5.0);
  ASSERT_TRUE(Platform::setWallTime(std::time(nullptr)));
}

// The fine monotonic clock is CLOCK_MONOTONIC in milliseconds, the clock
// std::chrono::steady_clock reads too; the coarse one lags it by at most a
// kernel tick.
// A simulation prints its default password: the API stays on the loopback
// address unless FIELDHUB_WS_HOST names another.
TEST_F(SimulationRoot, WebSocketApiListensOnLoopbackUnlessTold) {
  const char* before = std::getenv("FIELDHUB_WS_HOST");
  std::string saved = before != nullptr ? before : "";
  unsetenv("FIELDHUB_WS_HOST");
  EXPECT_EQ(Platform::webSocketHost(), "127.0.0.1");
  setenv("FIELDHUB_WS_HOST", "", 1);
  EXPECT_EQ(Platform::webSocketHost(), "127.0.0.1");
  setenv("FIELDHUB_WS_HOST", "0.0.0.0", 1);
  EXPECT_EQ(Platform::webSocketHost(), "0.0.0.0");
  if (before != nullptr) {
    setenv("FIELDHUB_WS_HOST", saved.c_str(), 1);
  } else {
    unsetenv("FIELDHUB_WS_HOST");
  }
}

TEST(Clock, MonotonicMillisecondsAtFullResolution) {
  auto steady = [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  };
  int64_t before = steady();
  int64_t fine = Platform::monotonicMilliseconds();
  int64_t coarse = Platform::monotonicCoarseMilliseconds();
  int64_t after = steady();
  EXPECT_GE(fine, before);
  EXPECT_LE(fine, after);
  EXPECT_LE(coarse, after);
  EXPECT_GE(coarse, before - 20);
}

TEST_F(SimulationRoot, GpioOutputWritesOneBytePerSet) {
  std::string file = Platform::path("/run/gpio/yellow");
  { std::ofstream(file, std::ios::trunc); }
  {
    GpioControl led("yellow");
    ASSERT_TRUE(led.isOpen());
    led.on();
    led.off();
    led.set(true);
  }
  EXPECT_EQ(readFile(file), "101");
}

TEST_F(SimulationRoot, MissingGpioIsSilent) {
  GpioControl missing("no_such_signal");
  EXPECT_FALSE(missing.isOpen());
  missing.on();
  missing.off();
  EXPECT_EQ(readGpioInput("no_such_signal"), -1);
  EXPECT_EQ(readGpioInput("button1"), 1);
}

}  // namespace
