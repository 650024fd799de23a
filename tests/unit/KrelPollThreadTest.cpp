// The poll thread against fake panel nodes on a clock the test moves: one
// request with partial answers, the configuration read of a node, the
// publications on change (power steps, the radio hash), the full refresh,
// aliveness and the alarm poll. The fake nodes decode the gateway's request
// frames themselves and answer at once from a register table.
#include <gtest/gtest.h>
#include <poll.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "CaptureStdout.h"
#include "PanelTestSupport.h"
#include "can/krel/PollThread.h"
#include "can/krel/polls/PowerInfo.h"

namespace {

using KREL::IOPacket;
using KREL::PollThread;
using PanelTest::LogLine;

std::string hexOf(uint32_t word) {
  char text[9];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X", word & 0xFF, word >> 8 & 0xFF, word >> 16 & 0xFF, word >> 24);
  return text;
}

std::string hexOf(float value) {
  uint32_t word;
  std::memcpy(&word, &value, sizeof word);
  return hexOf(word);
}

// Panel nodes as the gateway's requests meet them. Every register answers
// 8 bytes (zeros unless set); a muted register ignores a number of reads
// first (-1: all).
struct FakePanel {
  uint16_t layout = 250;
  std::map<std::pair<uint16_t, uint16_t>, std::string> registers;
  std::map<std::pair<uint16_t, uint16_t>, int> muted;
  std::vector<std::pair<uint16_t, uint16_t>> requests;
  std::function<void(const IOPacket&)> deliver;

  void set(uint16_t node, uint16_t reg, const std::string& hex) { registers[{node, reg}] = hex; }

  // The addressed node and the register, as a node reads a request.
  std::pair<uint16_t, uint16_t> addressOf(const CanFrame& frame) const {
    if (layout == 64) return {static_cast<uint16_t>(frame.id >> 13 & 0xFF), static_cast<uint16_t>(frame.id >> 1 & 0xFFF)};
    return {static_cast<uint16_t>(frame.id >> 5 & 0xFF), static_cast<uint16_t>(frame.id >> 13 & 0xFFFF)};
  }

  void take(const CanFrame& frame) {
    auto address = addressOf(frame);
    requests.push_back(address);
    auto mute = muted.find(address);
    if (mute != muted.end() && mute->second != 0) {
      if (mute->second > 0) --mute->second;
      return;
    }
    IOPacket answer;
    answer.node = address.first;
    answer.reg = address.second;
    answer.length = 8;
    auto value = registers.find(address);
    if (value != registers.end()) {
      for (size_t i = 0; i + 1 < value->second.size() && i < 16; i += 2) {
        answer.data[i / 2] = static_cast<uint8_t>(std::stoul(value->second.substr(i, 2), nullptr, 16));
      }
    }
    deliver(answer);
  }

  std::string requestedSince(size_t first) const {
    std::string text;
    for (size_t i = first; i < requests.size(); ++i) {
      char item[16];
      std::snprintf(item, sizeof item, "%s%04X", text.empty() ? "" : " ", requests[i].second);
      text += item;
    }
    return text;
  }
  size_t readsOf(uint16_t node, uint16_t reg) const {
    size_t count = 0;
    for (const auto& request : requests) count += request == std::make_pair(node, reg) ? 1 : 0;
    return count;
  }
};

class PollThreadTest : public ::testing::Test {
 protected:
  CaptureStdout output;
  PanelTest::FakeClock milliseconds;
  FakePanel panel;
  std::vector<std::pair<std::string, std::string>> published;  // method, JSON
  std::vector<int> pauses;
  int aliveChanges = 0;
  int32_t generation = 0;
  KREL::DigestStore store{[this] { return milliseconds() / 1000; },
                          [this](const MeterData& record) { published.emplace_back(record.method, record.toJson()); }};
  std::unique_ptr<KREL::AbstractIOProcessor> io;
  std::unique_ptr<PollThread> poll;

  void make(uint16_t layout) {
    panel.layout = layout;
    auto sink = [this](const CanFrame& frame) { panel.take(frame); };
    if (layout == 64) {
      io = std::make_unique<KREL::IOProcessor64>(sink);
    } else {
      io = std::make_unique<KREL::IOProcessor250>(sink);
    }
    KREL::PollEnvironment environment;
    environment.store = &store;
    environment.ioProcessor = [this] { return io.get(); };
    environment.milliseconds = [this] { return milliseconds(); };
    environment.wait = [this](int fd, int ms) {
      pollfd slot{fd, POLLIN, 0};
      if (::poll(&slot, 1, 0) == 0) milliseconds.advance(ms);
    };
    environment.pause = [this](int ms) {
      pauses.push_back(ms);
      milliseconds.advance(ms);
    };
    environment.publish = [this](const MeterData& record) { published.emplace_back(record.method, record.toJson()); };
    environment.connectionGeneration = [this] { return generation; };
    environment.aliveNodesChanged = [this] { ++aliveChanges; };
    poll = std::make_unique<PollThread>(std::move(environment));
    panel.deliver = [this](const IOPacket& answer) { poll->onPacket(answer); };
  }

  // Registers 0 to 6 of the node's digest in order: alive from now on for 10 s.
  void digest(uint16_t node, uint8_t state0 = 0x20, uint8_t zones = 0) {
    for (uint16_t index = 0; index < 7; ++index) {
      IOPacket packet;
      packet.node = node;
      packet.reg = static_cast<uint16_t>((panel.layout == 64 ? 0xFF0 : 0xFFF0) + index);
      packet.length = 8;
      if (index == 0) packet.data[0] = state0;
      if (index == 4) packet.data[4] = zones;
      store.slot(node).update(packet);
    }
  }

  size_t count(const char* method) const {
    size_t n = 0;
    for (const auto& record : published) n += record.first == method ? 1 : 0;
    return n;
  }
  std::vector<std::string> jsonOf(const char* method) const {
    std::vector<std::string> texts;
    for (const auto& record : published) {
      if (record.first == method) texts.push_back(record.second);
    }
    return texts;
  }
  std::vector<LogLine> lines(const std::string& part) { return PanelTest::linesWith(output.text(), part); }
};

TEST_F(PollThreadTest, RequestResendsOnlyTheUnansweredEntries) {
  make(250);
  panel.set(5, 0x19, hexOf(24.0f));
  panel.set(5, 0x1A, hexOf(13.5f));
  panel.muted[{5, 0x1A}] = 2;  // answers the third read
  panel.muted[{5, 0x1C}] = 1;
  // Traffic that is no answer: another node, a register not asked for.
  panel.deliver = [this](const IOPacket& answer) {
    IOPacket other = answer;
    other.node = 6;
    other.data[0] = 0xAA;
    poll->onPacket(other);
    IOPacket unasked = answer;
    unasked.reg = 0x0099;
    poll->onPacket(unasked);
    poll->onPacket(answer);
  };
  KREL::PowerInfo power(5, KREL::RegisterMap::of(250));
  int64_t started = milliseconds();
  EXPECT_TRUE(poll->request(power));
  EXPECT_EQ(panel.requestedSince(0), "0019 001A 001B 001C 001A 001C 001A");
  EXPECT_EQ(milliseconds() - started, 2 * PollThread::answerWaitMilliseconds);
  EXPECT_EQ(power.toJson(), R"({"can_id":5,"v_main":24.000,"v_backup":13.500,"v_main_ok":false,"v_backup_ok":false})");
  EXPECT_TRUE(lines("IO timeout").empty());
}

TEST_F(PollThreadTest, SixUnansweredAttemptsAreAnIoTimeout) {
  make(250);
  panel.muted[{5, 0x1A}] = -1;
  panel.muted[{5, 0x1C}] = -1;
  KREL::PowerInfo power(5, KREL::RegisterMap::of(250));
  int64_t started = milliseconds();
  EXPECT_FALSE(poll->request(power));
  EXPECT_EQ(panel.requestedSince(0), "0019 001A 001B 001C 001A 001C 001A 001C 001A 001C 001A 001C 001A 001C");
  EXPECT_EQ(milliseconds() - started, PollThread::attempts * PollThread::answerWaitMilliseconds);
  EXPECT_EQ(lines("IO timeout"), (std::vector<LogLine>{{'W', "PollThread.cpp", "IO timeout"}}));
  // A late answer finds no request waiting.
  IOPacket late;
  late.node = 5;
  late.reg = 0x1A;
  late.length = 8;
  late.data[3] = 0x41;
  poll->onPacket(late);
  EXPECT_EQ(power.v_backup, 0.0f);
}

// One 64-node configuration read: 8 pages of event names and 2 of radio
// group names of 32 registers each, 1 page of 14 valve registers, then the
// 7 device-info registers and 13 for each of radio devices 0 and 1. The
// second half of every 32-register request waits 3 ms per frame sent.
TEST_F(PollThreadTest, ReadsTheConfigurationOfANewNode) {
  make(64);
  digest(2);
  poll->pass();
  EXPECT_EQ(lines("Polling config"), (std::vector<LogLine>{{'I', "PollThread.cpp", "Polling config of USO 2"}}));

  auto names = [](uint16_t base, uint16_t stride, unsigned first, unsigned count) {
    std::vector<uint16_t> registers;
    for (unsigned e = first; e < first + count; ++e) {
      registers.push_back(static_cast<uint16_t>(base + stride * e));
      registers.push_back(static_cast<uint16_t>(base + stride * e + 1));
    }
    return registers;
  };
  std::vector<uint16_t> expected;
  for (unsigned page = 0; page < 8; ++page) {
    for (uint16_t reg : names(0x0D36, 2, 16 * page, 16)) expected.push_back(reg);
  }
  for (uint16_t reg : names(0x0D22, 3, 0, 7)) expected.push_back(reg);
  for (unsigned page = 0; page < 2; ++page) {
    for (uint16_t reg : names(0x08FF, 5, 16 * page, 16)) expected.push_back(reg);
  }
  for (uint16_t reg : {0x034A, 0x034B, 0x08FC, 0x049A, 0x049B, 0x049C, 0x049D}) expected.push_back(reg);
  for (uint16_t device = 0; device < 2; ++device) {
    for (uint16_t reg : {0x099F, 0x09A0, 0x09A9, 0x09AA, 0x09A2, 0x09A1}) expected.push_back(reg + 12 * device);
    for (uint16_t reg : {0x0070, 0x006C, 0x006D, 0x0071, 0x028A, 0x028B, 0x028C}) expected.push_back(reg + 8 * device);
  }
  ASSERT_GE(panel.requests.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(panel.requests[i], std::make_pair(uint16_t{2}, expected[i])) << "request " << i;
  }
  EXPECT_EQ(pauses, std::vector<int>(10, 16 * PollThread::pauseMillisecondsPerPacket));
  EXPECT_EQ(count("event_names"), 8u);
  EXPECT_EQ(count("valve_names"), 1u);
  EXPECT_EQ(count("rf_group_names"), 2u);
  EXPECT_EQ(count("device_info"), 1u);
  EXPECT_EQ(jsonOf("rf_dev")[0], R"({"can_id":2,"device":{"number":1,"serial":0}})");
}

TEST_F(PollThreadTest, PowerIsPublishedWhenAVoltageMovesMoreThanOneStep) {
  make(250);
  panel.set(5, 0x19, hexOf(24.0f));
  panel.set(5, 0x1A, hexOf(13.5f));
  digest(5);
  poll->pass();  // published, then the first full refresh forgets it
  poll->pass();  // published again after the refresh
  ASSERT_EQ(count("power"), 2u);
  panel.set(5, 0x19, hexOf(24.3f));  // 121.5 - 120 steps: one step
  poll->pass();
  EXPECT_EQ(count("power"), 2u);
  panel.set(5, 0x19, hexOf(24.5f));  // two steps
  poll->pass();
  ASSERT_EQ(count("power"), 3u);
  EXPECT_EQ(jsonOf("power").back(),
            R"({"can_id":5,"v_main":24.500,"v_backup":13.500,"v_main_ok":false,"v_backup_ok":false})");
  panel.set(5, 0x1A, "0000C07F");  // NaN counts as 0 V
  poll->pass();
  ASSERT_EQ(count("power"), 4u);
  EXPECT_NE(jsonOf("power").back().find(R"("v_backup":null)"), std::string::npos);
}

TEST_F(PollThreadTest, RadioDevicesArePublishedWhenTheirHashOrStateChanges) {
  make(250);
  digest(5);
  panel.set(5, 0x0066, hexOf(uint32_t{0x3}));  // devices 0 and 1
  panel.set(5, 0x82A7, hexOf(uint32_t{3000}));
  panel.set(5, 0x82B3, hexOf(uint32_t{3001}));
  struct PassCounts {
    size_t usedReads, usedPublished, devicesPublished;
    bool operator==(const PassCounts&) const = default;
  };
  auto onePass = [&] {
    size_t reads = panel.readsOf(5, 0x0066), used = count("rf_dev_used"), devices = count("rf_dev");
    poll->pass();
    return PassCounts{panel.readsOf(5, 0x0066) - reads, count("rf_dev_used") - used, count("rf_dev") - devices};
  };
  onePass();  // the configuration and the first hash; then the first refresh
  // After the refresh: the configuration again (devices 0 and 1), and with
  // no hash remembered two sweeps.
  EXPECT_EQ(onePass(), (PassCounts{2, 1, 4}));
  EXPECT_EQ(onePass(), (PassCounts{1, 0, 0})) << "the same hash: one sweep";
  panel.set(5, 0x82BD, "4E65770000000000");  // device 1's name
  EXPECT_EQ(onePass(), (PassCounts{2, 1, 2}));
  panel.set(5, 0x00AE, hexOf(uint32_t{4}));  // device 1's status: not hashed
  EXPECT_EQ(onePass(), (PassCounts{1, 0, 1}));
  EXPECT_NE(jsonOf("rf_dev").back().find(R"("number":2,"serial":3001,"name":"New")"), std::string::npos);
  EXPECT_EQ(onePass(), (PassCounts{1, 0, 0}));
}

TEST_F(PollThreadTest, RefreshesEverythingOnANewConnectionADayOrARequest) {
  make(250);
  digest(5);
  auto configReads = [&] { return lines("Polling config of USO 5").size(); };
  poll->pass();  // the remembered generation starts as -1: refreshed at the end
  EXPECT_EQ(configReads(), 1u);
  size_t digests = count("digest");
  digest(5);
  EXPECT_EQ(count("digest"), digests + 1) << "the digest is published again after the refresh";
  poll->pass();
  EXPECT_EQ(configReads(), 2u);
  poll->pass();
  EXPECT_EQ(configReads(), 2u);

  generation = 3;  // the cloud link connected
  poll->pass();
  poll->pass();
  EXPECT_EQ(configReads(), 3u);

  EXPECT_EQ(poll->call("").text, rpcSuccessText);  // "get_connect_data"
  poll->pass();
  poll->pass();
  EXPECT_EQ(configReads(), 4u);

  milliseconds.advance((PollThread::refreshSeconds + 1) * 1000);
  digest(5);
  poll->pass();  // the day is over
  EXPECT_EQ(configReads(), 4u);
  poll->pass();
  EXPECT_EQ(configReads(), 5u);
  poll->pass();
  EXPECT_EQ(configReads(), 5u);
}

TEST_F(PollThreadTest, AnnouncesNodesThatComeAndGo) {
  make(64);
  digest(6);
  poll->pass();
  EXPECT_EQ(aliveChanges, 1);
  poll->pass();
  EXPECT_EQ(aliveChanges, 1);
  milliseconds.advance((KREL::DigestSlot::aliveSeconds + 1) * 1000);
  size_t requests = panel.requests.size();
  poll->pass();
  EXPECT_EQ(aliveChanges, 2);
  EXPECT_EQ(store.slot(6).sequence(), 0);
  EXPECT_EQ(panel.requests.size(), requests) << "a dead node is not polled";
}

// Node 5 has fire state 0, device 1 in alarm. The alarm poll runs before the
// polls of every alive node (3 and 5), so the device is published twice a
// pass; once it left the alarm it is published once more.
TEST_F(PollThreadTest, AlarmPollPublishesTheDevicesInAlarm) {
  make(250);
  digest(3);
  digest(5, 0x21);
  panel.set(5, 0x0076, hexOf(uint32_t{0x2}));
  panel.set(5, 0x82B3, hexOf(uint32_t{3001}));
  poll->pass();
  poll->pass();
  size_t before = published.size();
  size_t alarmReads = panel.readsOf(5, 0x0076);
  poll->pass();
  EXPECT_EQ(panel.readsOf(5, 0x0076) - alarmReads, 2u);
  EXPECT_EQ(panel.readsOf(5, 0x007E), 0u) << "fire state 1 is not active";
  std::vector<std::pair<std::string, std::string>> pass(published.begin() + static_cast<long>(before), published.end());
  ASSERT_EQ(pass.size(), 2u);
  for (const auto& record : pass) {
    EXPECT_EQ(record.first, "rf_dev");
    EXPECT_EQ(record.second.rfind(R"({"can_id":5,"device":{"number":2,"serial":3001,)", 0), 0u) << record.second;
  }
  panel.set(5, 0x0076, hexOf(uint32_t{0}));
  before = published.size();
  poll->pass();
  EXPECT_EQ(published.size() - before, 1u);
  before = published.size();
  poll->pass();
  EXPECT_EQ(published.size() - before, 0u);
}

}  // namespace
