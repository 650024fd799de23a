// The power monitor's decisions with its own clock and ADC readings: what is
// published and when, the alarm rule, the limits held in range, the LED
// bursts; and the ADC files it reads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "RegistryTestTree.h"
#include "TestFiles.h"
#include "core/Adc.h"
#include "platform/Platform.h"
#include "tinmoss/PowerMonitor.h"

namespace {

using TestFiles::readFile;
using TestFiles::writeFile;

// The ADC reading for a voltage (the inverse of PowerMonitorClass::volts).
int rawFor(double volts) { return static_cast<int>(std::lround(volts * 9 * 4096 / (3.22 * 109))); }

struct PowerMonitorTest : ::testing::Test {
  TestTree tree;
  Catalogue::PowerLimits limits{tree.root};
  Catalogue::PowerStatus status{tree.root};
  ScopedListener listener{tree.root};
  int64_t now = 5000000;
  int mainRaw = rawFor(24);
  int backupRaw = rawFor(24);
  std::string ledName = "power-test-" + std::to_string(getpid());
  std::string ledFile = Platform::path("/run/gpio/" + ledName);
  std::vector<int> sleeps;

  PowerMonitorClass::Environment environment() {
    PowerMonitorClass::Environment made;
    made.tree = &tree.root;
    made.limits = &limits;
    made.status = &status;
    made.milliseconds = [this] { return now; };
    made.readRaw = [this](const char* channel) {
      return std::strcmp(channel, PowerMonitorClass::mainChannel) == 0 ? mainRaw : backupRaw;
    };
    made.led = ledName;
    return made;
  }

  PowerMonitorClass monitor{environment()};

  void SetUp() override { writeFile(ledFile, ""); }
  void TearDown() override { std::filesystem::remove(ledFile); }

  std::string published() { return tree.root.child("power_status")->toText(); }

  // One pass of the loop: a measurement, then the pause on the test's clock.
  bool step() {
    bool wasPublished = monitor.measure();
    monitor.pause([this](int milliseconds) {
      sleeps.push_back(milliseconds);
      now += milliseconds;
      return false;
    });
    return wasPublished;
  }
};

TEST_F(PowerMonitorTest, AlarmRuleFollowsNeedBoth) {
  struct Case {
    double main, backup;
    bool needBoth;
    const char* expected;
  } cases[] = {
      {24, 0, true, R"({"main":24.00,"backup":0.00,"alarm":true})"},
      {24, 0, false, R"({"main":24.00,"backup":0.00,"alarm":false})"},
      {0, 0, false, R"({"main":0.00,"backup":0.00,"alarm":true})"},
      {24, 24, true, R"({"main":24.00,"backup":24.00,"alarm":false})"},
      {19.04, 24, true, R"({"main":19.04,"backup":24.00,"alarm":true})"},
      {30.6, 29.9, true, R"({"main":30.60,"backup":29.90,"alarm":true})"},
  };
  for (const Case& c : cases) {
    TestTree own;
    Catalogue::PowerLimits ownLimits(own.root);
    Catalogue::PowerStatus ownStatus(own.root);
    ScopedListener ownListener(own.root);
    ownLimits.needBoth.value = c.needBoth;
    PowerMonitorClass::Environment made = environment();
    made.tree = &own.root;
    made.limits = &ownLimits;
    made.status = &ownStatus;
    mainRaw = rawFor(c.main);
    backupRaw = rawFor(c.backup);
    PowerMonitorClass fresh(made);
    // The published values start at 0 V and in range: the first measurement
    // is always published.
    EXPECT_TRUE(fresh.measure()) << c.expected;
    EXPECT_EQ(own.root.child("power_status")->toText(), c.expected);
    EXPECT_EQ(ownListener.masks, std::vector<uint32_t>{own.root.bitOf(own.root.child("power_status"))}) << c.expected;
  }
  EXPECT_NEAR(PowerMonitorClass::volts(2521), 24.0023, 1e-4);
  EXPECT_EQ(EntryText<float>::toText(PowerMonitorClass::volts(2521)), "24.00");
  EXPECT_EQ(EntryText<float>::toText(PowerMonitorClass::volts(2000)), "19.04");
}

TEST_F(PowerMonitorTest, PublishesOnASummedChangeOnARangeChangeAndEvery120Seconds) {
  ASSERT_TRUE(step());
  int64_t lastPublished = now - 1000;
  // 0.3 V on each supply, 0.6 V together: at once.
  mainRaw = rawFor(24) + 31;
  backupRaw = rawFor(24) + 31;
  ASSERT_TRUE(step());
  EXPECT_EQ(published(), R"({"main":24.30,"backup":24.30,"alarm":false})");
  lastPublished = now - 1000;
  // 0.2 V more on each, 0.4 V together: only once 120 s have passed.
  mainRaw += 21;
  backupRaw += 21;
  while (now - lastPublished < PowerMonitorClass::publishPeriodMilliseconds) ASSERT_FALSE(step()) << now;
  EXPECT_TRUE(step());
  EXPECT_EQ(published(), R"({"main":24.50,"backup":24.50,"alarm":false})");

  // A supply leaving its range, or need_both changing, is published at once
  // however little the voltages moved.
  limits.main.min.value = 24.45f;
  mainRaw = rawFor(24.4);
  EXPECT_TRUE(step());
  EXPECT_EQ(published(), R"({"main":24.40,"backup":24.50,"alarm":true})");
  EXPECT_FALSE(step());
  limits.needBoth.value = false;
  EXPECT_TRUE(step());
  EXPECT_EQ(published(), R"({"main":24.40,"backup":24.50,"alarm":false})");
  EXPECT_FALSE(step());
}

TEST_F(PowerMonitorTest, LimitsAreHeldWithin20And30Volts) {
  tree.root.apply(R"({"power_limits":{"main":{"min":-5,"max":35},"backup":{"min":"nan","max":25.5}}})");
  EXPECT_EQ(tree.root.child("power_limits")->toText(),
            R"({"main":{"min":-5.00,"max":35.00},"backup":{"min":20.00,"max":25.50},"need_both":true})");
  mainRaw = rawFor(31);
  backupRaw = rawFor(25);
  ASSERT_TRUE(monitor.measure());
  // 35 acts as 30 and the entry then holds 30; "nan" was never taken.
  EXPECT_EQ(tree.root.child("power_limits")->toText(),
            R"({"main":{"min":20.00,"max":30.00},"backup":{"min":20.00,"max":25.50},"need_both":true})");
  EXPECT_EQ(published(), R"({"main":31.00,"backup":25.00,"alarm":true})");

  // A minimum above the maximum leaves no voltage in range: an alarm, nothing worse.
  tree.root.apply(R"({"power_limits":{"main":{"min":28,"max":22}}})");
  mainRaw = rawFor(25);
  monitor.measure();
  EXPECT_EQ(published(), R"({"main":25.00,"backup":25.00,"alarm":true})");
}

TEST_F(PowerMonitorTest, AlarmFlashesTheLedOnlyOnceTheApplicationRunsAndAtMostEvery10Seconds) {
  backupRaw = 0;
  auto burstsIn = [this](int64_t milliseconds) {
    std::vector<int64_t> starts;
    int64_t end = now + milliseconds;
    while (now < end) {
      size_t before = sleeps.size();
      int64_t start = now;
      step();
      std::vector<int> pause(sleeps.begin() + static_cast<std::ptrdiff_t>(before), sleeps.end());
      if (pause == std::vector<int>{1000}) continue;
      EXPECT_EQ(pause, std::vector<int>(7, 150));
      starts.push_back(start);
    }
    return starts;
  };

  EXPECT_TRUE(burstsIn(30000).empty());
  EXPECT_EQ(readFile(ledFile), "");

  monitor.applicationRunning.store(1);
  std::vector<int64_t> starts = burstsIn(60000);
  ASSERT_GE(starts.size(), 4u);
  EXPECT_LE(starts.size(), 6u);
  for (size_t i = 1; i < starts.size(); ++i) EXPECT_GT(starts[i] - starts[i - 1], 10000) << i;
  EXPECT_EQ(readFile(ledFile), "0101010");

  // The alarm ends: no more bursts.
  backupRaw = rawFor(24);
  EXPECT_TRUE(burstsIn(30000).empty());
}

TEST(Adc, ChannelFilesReadAsDecimalNumbersOrZero) {
  std::string channel = "adc-test-" + std::to_string(getpid());
  std::string file = Platform::path("/sys/bus/iio/devices/iio:device0/" + channel);
  struct Case {
    const char* content;
    int raw;
  } cases[] = {{"2521\n", 2521}, {"2000", 2000}, {"0\n\n\n\n", 0}, {"", 0}, {"garbage\n", 0}, {"-5\n", 0}, {"12x", 12}};
  for (const Case& c : cases) {
    writeFile(file, c.content);
    EXPECT_EQ(readAdcRaw(channel), c.raw) << c.content;
  }
  std::filesystem::remove(file);
  EXPECT_EQ(readAdcRaw(channel), 0);
}

}  // namespace
