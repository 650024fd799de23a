// The metering radio thread: its queue, its start, readings made by the radio
// simulator (sim/radio.py) pushed in as the port supervisor would, and the
// offline check on a clock the test moves.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "CaptureStdout.h"
#include "VolmarTestSupport.h"
#include "can/volmar/Can.h"

namespace {

using VolmarTest::eventually;
using VolmarTest::LogLine;
using VolmarTest::parseFrame;

// A service report of an unknown kind from a receiver nobody registered:
// consumed without a trace, so it only shows that the loop made a pass.
const CanFrame passMarker = parseFrame("0000025F#1044");

class VolmarCanThread : public ::testing::Test {
 protected:
  CaptureStdout output;
  VolmarTest::FakeClock clock;
  VolmarTest::RecordCollector records;

  std::vector<LogLine> lines(const std::string& prefix) { return VolmarTest::linesStartingWith(output.text(), prefix); }

  // Pushes a frame as the port supervisor does, waiting for room in the queue.
  static void push(VolmarCan& volmar, const CanFrame& frame) {
    ASSERT_TRUE(eventually([&] { return volmar.queuedFrames() < VolmarCan::queueCapacity; }));
    volmar.pushFrame(frame);
  }
  // Returns once the loop has taken every frame pushed so far and finished
  // the pass in which it took them.
  static void settle(VolmarCan& volmar) {
    for (int marker = 0; marker < 2; ++marker) {
      uint64_t target = volmar.handledFrames() + volmar.queuedFrames() + 1;
      push(volmar, passMarker);
      ASSERT_TRUE(eventually([&] { return volmar.handledFrames() >= target; }));
    }
  }
};

TEST_F(VolmarCanThread, DropsFramesUntilRunning) {
  VolmarCan volmar([this] { return clock(); }, [](const CanFrame&) {});
  volmar.pushFrame(passMarker);
  EXPECT_EQ(volmar.droppedFrames(), 1u);
  EXPECT_EQ(volmar.queuedFrames(), 0u);
  volmar.start();
  ASSERT_TRUE(eventually([&] { return volmar.isAccepting(); }));
  EXPECT_EQ(lines("Can started"), (std::vector<LogLine>{{'I', "Can.cpp", "Can started"}}));
  EXPECT_EQ(lines("Can CMT"), (std::vector<LogLine>{{'I', "CanCMT.cpp", "Can CMT Protocol started"}}));
  settle(volmar);
  EXPECT_EQ(volmar.droppedFrames(), 1u);
}

// While the loop is busy (here: stuck sending an RSSI answer), the queue takes
// 20 frames and drops the next without a log line.
TEST_F(VolmarCanThread, FullQueueDropsSilently) {
  std::atomic<bool> sending{false};
  std::atomic<bool> release{false};
  VolmarCan volmar([this] { return clock(); },
                   [&](const CanFrame&) {
                     sending = true;
                     eventually([&] { return release.load(); });
                   });
  volmar.start();
  ASSERT_TRUE(eventually([&] { return volmar.isAccepting(); }));
  // A water meter reading that asks for an RSSI answer (sim/radio.py).
  for (const char* text : {"03456600#C4070000220A0107", "03456601#4101410041244100", "03456602#C1784100423930AB",
                           "03456623#60"}) {
    push(volmar, parseFrame(text));
  }
  settle(volmar);
  clock.advance(251);
  ASSERT_TRUE(eventually([&] { return sending.load(); }));

  for (uint32_t i = 0; i < VolmarCan::queueCapacity; ++i) volmar.pushFrame(passMarker);
  EXPECT_EQ(volmar.queuedFrames(), VolmarCan::queueCapacity);
  volmar.pushFrame(passMarker);
  EXPECT_EQ(volmar.droppedFrames(), 1u);
  EXPECT_EQ(volmar.queuedFrames(), VolmarCan::queueCapacity);
  EXPECT_TRUE(lines("Buffer overflow!").empty());

  release = true;
  ASSERT_TRUE(eventually([&] { return volmar.queuedFrames() == 0; }));
  ASSERT_TRUE(records.waitFor(1));
}

// Frames printed by the radio simulator, pushed in one by one: two receivers
// hear a heat meter, one of them a water meter.
TEST_F(VolmarCanThread, RadioSimulatorReadingsBecomeRecords) {
  std::filesystem::path simulator = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "sim" /
                                    "radio.py";
  if (!std::filesystem::exists(simulator) || !std::filesystem::exists("/usr/bin/python3")) {
    GTEST_SKIP() << "no radio simulator at " << simulator;
  }
  std::string command = "/usr/bin/python3 '" + simulator.string() +
                        "' frames --receiver 0A0B1:-48:0x7000000A0B1 --receiver F0F0F:-97:0x123456789AF0F0F "
                        "--heat serial=900001,time=1700000100,vbat=3.1,model=TX-90,fw=4.5.6,heat=77.5,cold=1.25,"
                        "volume=3.75,power=2.5,flow=1.5,tin=20.5,tout=-1.25 "
                        "--water serial=55,time=1700000200,flags=0x81,vbat=0,litres=4294967295,via=F0F0F";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::vector<CanFrame> frames;
  char line[128];
  while (std::fgets(line, sizeof line, pipe) != nullptr) frames.push_back(parseFrame(line));
  ASSERT_EQ(pclose(pipe), 0);
  ASSERT_GT(frames.size(), 10u);

  VolmarCan volmar([this] { return clock(); }, [](const CanFrame&) {});
  volmar.start();
  ASSERT_TRUE(eventually([&] { return volmar.isAccepting(); }));
  for (const CanFrame& frame : frames) push(volmar, frame);
  settle(volmar);
  EXPECT_EQ(records.count(), 0u) << "the filter holds readings for 250 ms";
  clock.advance(300);
  ASSERT_TRUE(records.waitFor(2));
  EXPECT_EQ(volmar.droppedFrames(), 0u);
  std::vector<std::string> json = records.jsonTexts();
  ASSERT_EQ(json.size(), 2u);
  EXPECT_EQ(json[0],
            "{\"type\":\"heat_meter\",\"model\":\"TX-90\",\"serial\":900001,\"trx_sn\":7696581435569,\"rssi\":-48,"
            "\"min_rssi\":-97,\"min_trx_sn\":81985529216700175,\"v_bat\":3.100,\"modem_fw_ver\":\"4.5.6\","
            "\"volume\":3.750,\"flow\":1.500,\"sum_heat\":77.500,\"sum_cold\":1.250,\"power\":2.500,\"temp_in\":20.500,"
            "\"temp_out\":-1.250,\"device_time\":1700000100,\"hub_time\":0}");
  // No battery reading: the short form.
  EXPECT_EQ(json[1],
            "{\"type\":\"water_meter\",\"meter_sn\":55,\"trx_sn\":81985529216700175,\"rssi\":-97,\"min_rssi\":-97,"
            "\"min_trx_sn\":81985529216700175,\"volume\":4294967.295,\"hub_time\":0}");
  EXPECT_TRUE(lines("CMT crc error").empty());
  EXPECT_TRUE(lines("Remove").empty());
}

TEST_F(VolmarCanThread, SilentReceiverIsLoggedOfflineOnceAndComesBack) {
  VolmarCan volmar([this] { return clock(); }, [](const CanFrame&) {});
  volmar.start();
  ASSERT_TRUE(eventually([&] { return volmar.isAccepting(); }));
  const CanFrame announcement = parseFrame("03456600#B3A2011052500000");  // receiver 1A2B3
  push(volmar, announcement);
  settle(volmar);
  // Each step is one offline check: more than 2 s pass between two checks.
  auto checks = [&](int count) {
    for (int i = 0; i < count; ++i) {
      clock.advance(2001);
      settle(volmar);
    }
  };
  const std::vector<LogLine> once{{'W', "CanCMT.cpp", "Can ID 107187 is offline!"}};
  checks(17);
  EXPECT_TRUE(lines("Can ID").empty());
  checks(1);
  EXPECT_EQ(lines("Can ID"), once);
  checks(5);
  EXPECT_EQ(lines("Can ID"), once);

  push(volmar, announcement);
  settle(volmar);
  checks(17);
  EXPECT_EQ(lines("Can ID"), once);
  checks(1);
  EXPECT_EQ(lines("Can ID").size(), 2u) << "alive again after its announcement, and silent again";
}

}  // namespace
