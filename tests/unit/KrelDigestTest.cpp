// Digest slots on a clock the test moves: the order rule of the sequence
// counter, publication once per change, aliveness and the alive-node list;
// the record's JSON and the KOI8-R names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PanelTestSupport.h"
#include "can/krel/DigestData.h"
#include "can/krel/DigestSlot.h"
#include "can/krel/Koi8r.h"
#include "registry/KrelDevicesStatus.h"

namespace {

using KREL::DigestSlot;
using KREL::DigestStore;
using KREL::IOPacket;

std::vector<uint8_t> bytesOf(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

class DigestSlots : public ::testing::Test {
 protected:
  PanelTest::FakeClock seconds;
  std::vector<std::string> published;  // JSON of each record
  DigestStore store{[this] { return seconds(); },
                    [this](const MeterData& record) {
                      EXPECT_STREQ(record.method, "digest");
                      published.push_back(record.toJson());
                    }};

  // Register `index` of the node with data "RR RR ..." where RR is the index,
  // unless other data is given.
  void feed(uint16_t node, unsigned index, const std::string& hex = "") {
    IOPacket packet;
    packet.node = node;
    packet.reg = static_cast<uint16_t>(0xFFF0 | index);
    packet.length = 8;
    std::vector<uint8_t> data = hex.empty() ? std::vector<uint8_t>(8, static_cast<uint8_t>(0x10 + index)) : bytesOf(hex);
    std::copy(data.begin(), data.end(), packet.data);
    store.slot(node).update(packet);
  }
  void feedAll(uint16_t node, const std::string& indexes) {
    for (char c : indexes) feed(node, static_cast<unsigned>(c - '0'));
  }
};

struct SequenceCase {
  const char* order;
  uint8_t counter;
  size_t published;
};

TEST_F(DigestSlots, PublishesOnceRegistersZeroToSixCameInOrder) {
  const SequenceCase cases[] = {
      {"012345", 6, 0},
      {"0123456", 7, 1},
      {"012345678", 9, 1},
      {"012345678012345678", 9, 1},  // the same digest again: nothing new
      {"0213456", 2, 0},
      {"021345623456", 7, 1},  // alive once 2..6 followed in order
      {"1023456", 1, 0},
  };
  uint16_t node = 0;
  for (const SequenceCase& c : cases) {
    published.clear();
    ++node;  // a fresh slot per row
    feedAll(node, c.order);
    EXPECT_EQ(store.slot(node).sequence(), c.counter) << c.order;
    EXPECT_EQ(published.size(), c.published) << c.order;
  }
}

TEST_F(DigestSlots, PublishesAgainAfterEveryChangeOfAKeptRegister) {
  feedAll(3, "012345678");
  ASSERT_EQ(published.size(), 1u);
  struct Step {
    unsigned index;
    const char* data;
    size_t published;  // total after the step
  };
  const Step steps[] = {
      {7, "0102030405060708", 2},  // kept though not published
      {7, "0102030405060708", 2},
      {4, "141414141414AAAA", 2},  // bytes 6-7 of register 4 are not kept
      {1, "AAAAAAAA11111111", 2},  // only bytes 4-7 of register 1 are kept ...
      {1, "0000000011111112", 2},  // ... and a new serial waits for the next register
      {8, "1818181818181818", 3},
      {2, "D5D3CF2031000000", 4},
  };
  for (const Step& step : steps) {
    feed(3, step.index, step.data);
    EXPECT_EQ(published.size(), step.published) << "register " << step.index << " " << step.data;
  }
  EXPECT_EQ(store.slot(3).snapshot().serialNumber(), 0x12111111u);
}

TEST_F(DigestSlots, AChangedConfigurationHashAsksForTheConfigurationAgain) {
  feedAll(4, "0123456");
  DigestSlot& slot = store.slot(4);
  slot.configRead = true;
  feed(4, 6);
  EXPECT_TRUE(slot.configRead);
  feed(4, 6, "0100020003000400");
  EXPECT_FALSE(slot.configRead);
}

TEST_F(DigestSlots, ANodeSilentForMoreThanTenSecondsIsDead) {
  DigestSlot& slot = store.slot(9);
  feedAll(9, "0123456");
  EXPECT_TRUE(slot.alive());
  EXPECT_TRUE(slot.checkAliveness());  // came
  EXPECT_FALSE(slot.checkAliveness());
  seconds.advance(10);
  feed(9, 1);  // the serial is no sign of life
  EXPECT_TRUE(slot.alive());
  seconds.advance(1);
  EXPECT_FALSE(slot.alive());
  EXPECT_TRUE(slot.checkAliveness());  // went: starts counting again, publishes again
  EXPECT_EQ(slot.sequence(), 0);
  EXPECT_FALSE(slot.published);

  feedAll(9, "012345");
  EXPECT_EQ(published.size(), 1u);
  feed(9, 6);
  EXPECT_EQ(published.size(), 2u);
}

TEST_F(DigestSlots, AResetPublishesTheUnchangedDigestAgain) {
  DigestSlot& slot = store.slot(2);
  feedAll(2, "01234567");
  slot.configRead = true;
  slot.pollMemory.hubsUsed = 3;
  slot.reset();
  EXPECT_FALSE(slot.configRead);
  EXPECT_EQ(slot.pollMemory.hubsUsed, 0xFFFF);
  EXPECT_EQ(slot.sequence(), 8);  // the counter stays
  feed(2, 8);
  EXPECT_EQ(published.size(), 2u);
}

TEST_F(DigestSlots, ListsTheAliveNodes) {
  KrelDevicesStatus status;
  status.aliveNodes = [this](std::vector<uint16_t>& nodes) { store.aliveNodes(nodes); };
  EXPECT_EQ(EntryText<KrelDevicesStatus>::toText(status), "[]");
  feedAll(250, "0123456");
  feedAll(5, "0123456");
  feedAll(1, "0123456");
  feedAll(7, "012345");
  EXPECT_EQ(EntryText<KrelDevicesStatus>::toText(status), "[1,5,250]");
  seconds.advance(5);
  feedAll(5, "0");
  seconds.advance(6);
  EXPECT_EQ(EntryText<KrelDevicesStatus>::toText(status), "[5]");
}

// ---- the record

TEST(KrelDigestData, WritesTheDeviceObject) {
  KREL::Ppk::Core core;
  core.can_id = 17;
  const std::pair<unsigned, const char*> registers[] = {
      {0, "3521436587A9DB0A"}, {1, "FFFFFFFF15051000"}, {2, "50756C7422315C00"}, {3, "01000000FFFFFFFF"},
      {4, "0A00FFFF0277"},     {5, "0300000004000000"}, {6, "3412FFFF00000100"},
  };
  for (auto [index, hex] : registers) {
    std::vector<uint8_t> data = bytesOf(hex);
    KREL::Ppk::Core::Kept kept = core.kept(index);
    std::copy(data.begin() + kept.offset, data.begin() + kept.offset + kept.count, kept.bytes);
  }
  KREL::DigestData record(core);
  const char* expected =
      "{\"device\":{\"can_id\":17,\"serial\":1049877,\"name\":\"Pult'1/\",\"config_hash\":[4660,65535,0,1],"
      "\"fire_states\":[true,false,true,false],\"zone_states\":[false,true],\"fault\":true,\"inputs\":[1,2],"
      "\"outputs\":[3,4],\"valves\":[5,6,7,8,9,10,11],\"power_220\":true,"
      "\"event_states\":[false,false,true,true,true],\"automation\":1,\"rf_state\":2,\"stats\":[10,65535],"
      "\"events\":[1,4294967295,3,4]}}";
  EXPECT_EQ(record.toJson(), expected);
  EXPECT_EQ(record.clone()->toJson(), expected);
  EXPECT_EQ(record.kind(), 0u);
  EXPECT_STREQ(record.method, "digest");
}

TEST(KrelDigestData, RadioStatePrefersBitsZeroAndTwo) {
  const std::pair<uint8_t, int> cases[] = {{0x00, 0}, {0x01, 1}, {0x04, 1}, {0x02, 2}, {0x03, 1}, {0x06, 1}, {0xF8, 0}};
  for (auto [byte7, rfState] : cases) {
    KREL::Ppk::Core core;
    core.state[7] = byte7;
    std::string json = KREL::DigestData(core).toJson();
    EXPECT_NE(json.find("\"rf_state\":" + std::to_string(rfState) + ","), std::string::npos) << int(byte7) << json;
  }
}

TEST(KrelKoi8r, ConvertsLettersAndBlanksTheRest) {
  const std::pair<const char*, const char*> cases[] = {
      {"F0D2C9", "При"},
      {"B3A3", "Ёё"},
      {"C0DFE0FF", "юъЮЪ"},
      {"E1E2F7E7E4E5F6FA", "АБВГДЕЖЗ"},  // eight letters: 16 bytes
      {"55534F2D310042", "USO-1"},      // ends at the first NUL
      {"809FA0BF41", "    A"},          // box drawing and other signs become spaces
      {"", ""},
  };
  for (auto [hex, utf8] : cases) {
    std::vector<uint8_t> bytes = bytesOf(hex);
    EXPECT_EQ(KREL::koi8rToUtf8(bytes.data(), bytes.size()), utf8) << hex;
  }
  const uint8_t eight[8] = {0xE1, 0xE2, 0xF7, 0xE7, 0xE4, 0xE5, 0xF6, 0xFA};
  EXPECT_EQ(KREL::koi8rToUtf8(eight, 8).size(), 16u);
}

}  // namespace
