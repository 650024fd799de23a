// The RS485 poll thread's schedule with a clock the test moves, the poll of
// one device, and the driver table.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "CaptureStdout.h"
#include "Eventually.h"
#include "LogLines.h"
#include "RS485TestSupport.h"
#include "registry/Entry.h"
#include "rs485/Commands.h"
#include "rs485/Drivers.h"
#include "rs485/RSPollUnit.h"

namespace {

using namespace RS485Test;
using RS485::Core;
using RS485::DeviceRecord;
using RS485::DeviceStore;

constexpr uint16_t pulsar = 8;
constexpr uint16_t mercury206 = 2;

// A Core over a store of the test's own, with the settings, the clock and
// the polls in the test's hands.
class ScheduleFixture : public ::testing::Test {
 protected:
  ScheduleFixture() : poll(tree.root, {"rs485", "poll"}) {}

  Core& core() {
    if (!made) {
      made = std::make_unique<Core>(RS485::CoreLinks{
          [this] { return now.load(); }, [this] { return enabled.load(); }, [this] { return interval.load(); },
          [this](int count) { published.push_back(count); },
          [this](const DeviceRecord& record) { polled.push_back(record.serial); }, directory.path, &tree.root,
          [](int) {}});
    }
    return *made;
  }
  void addDevice(uint32_t devId, uint64_t serial) {
    ASSERT_TRUE(DeviceStore(directory.path).writeDevice(devId, deviceRecord(pulsar, serial)));
  }
  // Steps once per second from now to `until`, like the loop's wake-ups.
  void runUntil(int64_t until) {
    while (now < until) {
      now.fetch_add(1);
      core().step();
    }
  }

  TempDirectory directory;
  TestTree tree;
  Entry<bool> poll;
  std::atomic<int64_t> now{1000};
  std::atomic<bool> enabled{true};
  std::atomic<int> interval{90};
  std::vector<int> published;
  std::vector<uint64_t> polled;
  std::unique_ptr<Core> made;
};

TEST_F(ScheduleFixture, TwoDevicesEveryThirdSlotOfThirtySeconds) {
  addDevice(31, 1);
  addDevice(62, 2);
  core().rescan();
  EXPECT_EQ(core().deviceCount(), 2);
  EXPECT_EQ(core().spacing(), 30);
  EXPECT_EQ(published, std::vector<int>{2});

  // A slot begins once the clock is strictly past the previous one's end.
  runUntil(1030);
  EXPECT_TRUE(polled.empty());
  runUntil(1031);
  EXPECT_EQ(polled, std::vector<uint64_t>{1});
  runUntil(1062);
  EXPECT_EQ(polled, (std::vector<uint64_t>{1, 2}));
  // The third slot ends the round and stays empty.
  runUntil(1124);
  EXPECT_EQ(polled, (std::vector<uint64_t>{1, 2, 1}));
  runUntil(1124 + 3 * 31);
  EXPECT_EQ(polled, (std::vector<uint64_t>{1, 2, 1, 2, 1}));
}

TEST_F(ScheduleFixture, EmptyStoreOrPollOffPollsNothing) {
  core().rescan();
  EXPECT_EQ(core().deviceCount(), 0);
  EXPECT_EQ(core().spacing(), 65535);
  EXPECT_TRUE(published.empty()) << "the status keeps its 0";
  runUntil(1200);
  EXPECT_TRUE(polled.empty());

  addDevice(5, 5);
  enabled = false;
  core().markChanged();
  runUntil(1400);
  EXPECT_EQ(core().deviceCount(), 1);
  EXPECT_TRUE(polled.empty());
}

// A write or delete sets the changed flag: the next wake-up counts the store
// again, publishes the new count and polling goes on with the new set.
TEST_F(ScheduleFixture, ChangedFlagRescansAndPollingResumes) {
  addDevice(5, 5);
  core().rescan();
  EXPECT_EQ(core().spacing(), 45);
  runUntil(1046);
  EXPECT_EQ(polled, std::vector<uint64_t>{5});

  addDevice(6, 6);
  core().markChanged();
  now.fetch_add(1);
  core().step();
  EXPECT_EQ(core().deviceCount(), 2);
  EXPECT_EQ(core().spacing(), 30);
  EXPECT_EQ(published, (std::vector<int>{1, 2}));
  // The walk starts again from the first device; the flag is cleared, so
  // slots follow each other again.
  runUntil(1047 + 31 + 31);
  EXPECT_EQ(polled, (std::vector<uint64_t>{5, 5, 6}));

  DeviceStore(directory.path).deleteDevice(5);
  DeviceStore(directory.path).deleteDevice(6);
  core().markChanged();
  now.fetch_add(1);
  core().step();
  EXPECT_EQ(published, (std::vector<int>{1, 2, 0}));
  size_t before = polled.size();
  runUntil(now + 300);
  EXPECT_EQ(polled.size(), before);
}

// An applied "rs485" object (new interval, poll switched on) takes effect at
// the next wake-up.
TEST_F(ScheduleFixture, AppliedSettingsRescan) {
  addDevice(5, 5);
  addDevice(6, 6);
  core().rescan();
  EXPECT_EQ(core().spacing(), 30);
  interval = 30;
  tree.root.apply(R"({"rs485":{"poll":true}})");
  core().step();
  EXPECT_EQ(core().spacing(), 10);
  // Unrelated groups do not wake it.
  interval = 60;
  tree.root.apply(R"({"pult":{"enabled":true}})");
  core().step();
  EXPECT_EQ(core().spacing(), 10);
}

TEST_F(ScheduleFixture, PollIntervalOfZeroOrBelowIsOneSlotPerSecond) {
  for (int value : {0, -100}) {
    SCOPED_TRACE(value);
    polled.clear();
    interval = value;
    addDevice(5, 5);
    addDevice(6, 6);
    core().markChanged();
    core().step();
    EXPECT_EQ(core().spacing(), 0);
    int64_t start = now;
    // Wake-ups within one second give at most one slot.
    for (int i = 0; i < 5; ++i) core().step();
    now.fetch_add(1);
    for (int i = 0; i < 5; ++i) core().step();
    now.fetch_add(1);
    for (int i = 0; i < 5; ++i) core().step();
    EXPECT_EQ(now - start, 2);
    EXPECT_EQ(polled.size(), 2u);
  }
}

class CountingCommand : public RS485::Cmd {
 public:
  explicit CountingCommand(std::vector<std::string>& seen) : log(seen) {}
  ~CountingCommand() override { log.push_back("destroyed"); }
  void execute(Core& core) override {
    log.push_back("executed");
    core.markChanged();
  }
  std::vector<std::string>& log;
};

TEST_F(ScheduleFixture, CommandsRunAtTheNextWakeUpAndFiveAtMostWait) {
  core().rescan();
  std::vector<std::string> seen;
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(core().pushCommand(new CountingCommand(seen)));
  CaptureStdout output;
  EXPECT_FALSE(core().pushCommand(new CountingCommand(seen)));
  EXPECT_EQ(seen, std::vector<std::string>{"destroyed"});
  EXPECT_EQ(TestLog::logLines(output.text()),
            (std::vector<TestLog::LogLine>{{'W', "RSPollUnit.cpp", "RS485 command queue full"}}));
  addDevice(5, 5);
  core().step();
  EXPECT_EQ(seen.size(), 11u);
  EXPECT_EQ(core().deviceCount(), 1) << "a command's changed flag rescans in the same wake-up";
}

// The thread: counts the store, logs it, and stops when the Core goes.
TEST_F(ScheduleFixture, ThreadCountsAndStops) {
  addDevice(5, 5);
  CaptureStdout output;
  core().start();
  ASSERT_TRUE(TestWait::eventually([&] { return !TestLog::linesWith(output.text(), "serial devices").empty(); }));
  made.reset();
  EXPECT_EQ(TestLog::messagesOf(output.text(), "RSPollUnit.cpp"), std::vector<std::string>{"Found 1 serial devices"});
}

TEST(RS485Poll, DeviceWithoutDriverIsLoggedAndNotRead) {
  FakeMeter meter("", {});
  RecordCollector records;
  CaptureStdout output;
  RS485::pollDevice(deviceRecord(pulsar, 4242), meter);
  RS485::pollDevice(deviceRecord(200, 4343), meter);
  EXPECT_TRUE(meter.frames.empty());
  EXPECT_EQ(records.count(), 0u);
  std::vector<TestLog::LogLine> expected = {
      {'I', "RSPollUnit.cpp", "Starting Poll"}, {'I', "RSPollUnit.cpp", "Device: #pulsar"},
      {'I', "RSPollUnit.cpp", "Serial: 4242"},  {'D', "RSPollUnit.cpp", "Finished Poll!"},
      {'I', "RSPollUnit.cpp", "Starting Poll"}, {'I', "RSPollUnit.cpp", "Device: #none"},
      {'I', "RSPollUnit.cpp", "Serial: 4343"},  {'D', "RSPollUnit.cpp", "Finished Poll!"}};
  EXPECT_EQ(TestLog::logLines(output.text()), expected);
}

// A silent meter's record reaches the handlers; an exchange whose promise was
// dropped counts as no answer.
TEST(RS485Poll, RecordsGoToTheHandlers) {
  for (bool broken : {false, true}) {
    SCOPED_TRACE(broken);
    FakeMeter meter("00 BC 61 4E", {});
    meter.breakPromises = broken;
    RecordCollector records;
    RS485::pollDevice(deviceRecord(mercury206, 12345678), meter);
    EXPECT_EQ(records.jsonTexts(),
              std::vector<std::string>{
                  R"({"type":"energy_meter","model":"МЕРКУРИЙ206","meter_sn":12345678,"rserror":32769})"});
  }
}

TEST(RS485Drivers, TableOfElevenNames) {
  const char* names[] = {"#none",   "#test",    "#mercury206", "#mercury236", "#mbus_hm", "#chronos",
                         "#vzlet42", "#vzlet24", "#pulsar",     "#vist",       "#ce301"};
  ASSERT_EQ(RS485::driverTable().size(), std::size(names));
  for (uint16_t i = 0; i < std::size(names); ++i) {
    EXPECT_STREQ(RS485::driverName(i), names[i]);
    EXPECT_EQ(RS485::driverIndex(names[i]), i);
  }
  EXPECT_STREQ(RS485::driverName(11), "#none");
  EXPECT_EQ(RS485::driverIndex("#Mercury236"), 0);
  EXPECT_EQ(RS485::driverIndex(""), 0);

  FakeMeter meter("", {});
  for (uint16_t i = 0; i < 12; ++i) {
    bool hasClass = i == 2 || i == 3 || i == 6 || i == 7 || i == 9;
    EXPECT_EQ(RS485::makeDriver(deviceRecord(i, 1), meter) != nullptr, hasClass) << i;
  }
}

}  // namespace
