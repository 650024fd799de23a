// Decoding of metering radio packets: the tag decoder, the receiver filter,
// the RSSI answer and the heat and water meter records, with frames captured
// from the radio simulator.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "CaptureStdout.h"
#include "VolmarTestSupport.h"
#include "can/volmar/CanCMT.h"
#include "can/volmar/PRdata.h"
#include "can/volmar/RadioTag.h"

namespace {

using VolmarTest::bytesOf;
using VolmarTest::LogLine;
using VolmarTest::parseFrame;

// ---------------------------------------------------------------------------
// Tag decoder

struct TagCase {
  const char* name;
  const char* path;
  const char* value;
  std::vector<uint64_t> elements;
  RadioTag::Kind kind;
  size_t count;
  std::vector<int64_t> integers;  // items 0, 1, ...
  std::vector<std::string> texts;
};

class RadioTagTable : public ::testing::TestWithParam<TagCase> {};

TEST_P(RadioTagTable, Decodes) {
  const TagCase& c = GetParam();
  std::vector<uint8_t> path = bytesOf(c.path);
  std::vector<uint8_t> value = bytesOf(c.value);
  RadioTag tag(path.data(), path.size(), value.data(), value.size());
  ASSERT_EQ(tag.pathLength(), c.elements.size());
  for (size_t i = 0; i < c.elements.size(); ++i) EXPECT_EQ(tag.pathElement(i), c.elements[i]) << "element " << i;
  EXPECT_EQ(tag.pathElement(c.elements.size()), RadioTag::noElement);
  EXPECT_EQ(tag.kind(), c.kind);
  EXPECT_EQ(tag.itemCount(), c.count);
  for (size_t i = 0; i < c.integers.size(); ++i) EXPECT_EQ(tag.itemAsInteger(i), c.integers[i]) << "item " << i;
  for (size_t i = 0; i < c.texts.size(); ++i) EXPECT_EQ(tag.itemAsText(i), c.texts[i]) << "item " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Tags, RadioTagTable,
    ::testing::Values(
        TagCase{"MeterPath", "0A 02 CE C2 F1 05", "42 39 30", {10, 2, 12345678}, RadioTag::Kind::unsignedInteger, 0,
                {12345, 12345}, {""}},
        TagCase{"SixtyFourBits", "FF FF FF FF FF FF FF FF FF 01", "00", {~uint64_t{0}}, RadioTag::Kind::boolean, 0,
                {0}, {}},
        // Groups past 64 bits are dropped, not shifted into undefined behaviour.
        TagCase{"LongerThan64Bits", "81 80 80 80 80 80 80 80 80 80 80 7F 05", "01 07", {1, 5},
                RadioTag::Kind::boolean, 0, {1}, {}},
        TagCase{"NumberOpenAtPathEnd", "0A 81", "01 00", {10, 1}, RadioTag::Kind::boolean, 0, {0}, {}},
        TagCase{"SixteenPathBytes", "01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10", "C0",
                {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, RadioTag::Kind::text, 0, {0}, {""}},
        TagCase{"OnlyFourBytesCount", "0A", "45 01 02 03 04 05", {10}, RadioTag::Kind::unsignedInteger, 0,
                {0x04030201}, {}},
        TagCase{"FloatsRoundHalfAwayFromZero", "0A", "84 00 00 20 40 84 00 00 20 C0 82 00 00 84 00 00 C0 7F",
                {10}, RadioTag::Kind::array, 4, {3, -3, 0, 0, 0}, {}},
        TagCase{"HugeFloatSaturates", "0A", "84 CA F2 49 71 84 CA F2 49 F1", {10}, RadioTag::Kind::array, 2,
                {INT64_MAX, INT64_MIN}, {}},
        TagCase{"Texts", "0A", "C3 41 42 43 C3 41 00 43 C0 41 07", {10}, RadioTag::Kind::array, 4, {0, 0, 0, 7},
                {"ABC", "A", "", ""}},
        TagCase{"ItemRunningPastTheEndIsIgnored", "0A", "42 39 30 43 01", {10}, RadioTag::Kind::unsignedInteger, 0,
                {12345}, {}},
        TagCase{"EmptyValue", "0A", "", {10}, RadioTag::Kind::empty, 0, {0}, {""}},
        TagCase{"OnlyATruncatedItem", "0A", "4F 01 02", {10}, RadioTag::Kind::empty, 0, {0}, {}}),
    [](const ::testing::TestParamInfo<TagCase>& info) { return std::string(info.param.name); });

TEST(PRdata, RssiAnswerValue) {
  const std::pair<int8_t, uint8_t> cases[] = {{-128, 1}, {-100, 1}, {-90, 1}, {-89, 3}, {-20, 141}, {37, 255}, {50, 255}};
  for (auto [rssi, value] : cases) EXPECT_EQ(PRdata::rssiAnswerValue(rssi), value) << static_cast<int>(rssi);
}

// ---------------------------------------------------------------------------
// Packets through the protocol

// Captured from sim/radio.py: receivers 1A2B3 (-60 dBm), 2C4D5 (-75) and 3E6F7
// (-90) announce themselves, then all three forward one heat meter reading
// (serial 12345678, RSSI answer wanted) and 1A2B3 alone a water meter's.
const char* const announcements[] = {
    "03456600#B3A2011052500000", "0345665F#0200000000001B03", "0589AA00#D5C4022052500000",
    "0589AA5F#0200000000001B03", "07CDEE00#F7E6033052500000", "07CDEE5F#0200000000001B03",
};
const char* const heatReading[] = {
    "03456600#C44E61BC520A02CE", "0589AA00#B54E61BC520A02CE", "07CDEE00#A64E61BC520A02CE",
    "03456601#C2F1054400F15365", "0589AA01#C2F1054400F15365", "07CDEE01#C2F1054400F15365",
    "03456602#41004124C4484D2D", "0589AA02#41004124C4484D2D", "07CDEE02#41004124C4484D2D",
    "03456603#35C5312E322E3343", "0589AA03#35C5312E322E3343", "07CDEE03#35C5312E322E3343",
    "03456604#40E201413242D5DD", "0589AA04#40E201413242D5DD", "07CDEE04#40E201413242D5DD",
    "03456605#410042D20442D204", "0589AA05#410042D20442D204", "07CDEE05#410042D20442D204",
    "03456606#428F1944DAFDFFFF", "0589AA06#428F1944DAFDFFFF", "07CDEE06#428F1944DAFDFFFF",
    "03456627#9D7A",             "0589AA27#9D7A",             "07CDEE27#9D7A",
};
const char* const waterReading[] = {
    "03456640#C42A0000200A012A",
    "03456641#4401F15365410341",
    "03456642#244100C5322E302E",
    "03456663#3741004239303C93",
};
const char* const heatJson =
    "{\"type\":\"heat_meter\",\"model\":\"HM-5\",\"serial\":12345678,\"trx_sn\":88313386082995,\"rssi\":-60,"
    "\"min_rssi\":-90,\"min_trx_sn\":88313923102455,\"v_bat\":3.600,\"modem_fw_ver\":\"1.2.3\",\"volume\":567.890,"
    "\"flow\":0.123,\"sum_heat\":1234.560,\"sum_cold\":0.500,\"power\":12.340,\"temp_in\":65.430,"
    "\"temp_out\":-5.500,\"device_time\":1700000000,\"hub_time\":0}";
const char* const waterJson =
    "{\"type\":\"water_meter\",\"meter_sn\":42,\"trx_sn\":88313386082995,\"rssi\":-60,\"min_rssi\":-60,"
    "\"min_trx_sn\":88313386082995,\"volume\":12.345,\"v_bat\":3.600,\"modem_fw_ver\":\"2.0.7\",\"flags\":3,"
    "\"device_time\":1700000001,\"hub_time\":0}";

class DecodeTest : public ::testing::Test {
 protected:
  CaptureStdout output;
  VolmarTest::FakeClock clock;
  VolmarTest::RecordCollector records;
  std::vector<CanFrame> sent;
  CanCMT cmt{[this] { return clock(); }, [this](const CanFrame& frame) { sent.push_back(frame); }};

  template <size_t N>
  void feed(const char* const (&frames)[N], int64_t gapMilliseconds = 0) {
    for (const char* text : frames) {
      cmt.onFrame(parseFrame(text));
      clock.advance(gapMilliseconds);
    }
  }
  // One packet as a complete, merged message of one receiver.
  void process(const std::string& packetHex, int8_t rssi = -60) {
    std::vector<uint8_t> packet = bytesOf(packetHex);
    PRMessage message;
    message.packetLength = static_cast<uint16_t>(packet.size());
    std::memcpy(message.packet.data(), packet.data(), packet.size());
    message.bestPR = message.worstPR = 0x1A2B3;
    message.bestRssi = message.worstRssi = rssi;
    PRdata::process(message, cmt);
  }
  std::vector<LogLine> warnings() {
    std::vector<LogLine> found;
    for (const LogLine& line : VolmarTest::logLines(output.text())) {
      if (line.level == 'W') found.push_back(line);
    }
    return found;
  }
};

TEST_F(DecodeTest, ThreeReceiversMergeIntoOneHeatRecord) {
  feed(announcements);
  // One frame every 2 ms: the first copy (receiver 1A2B3) completes with the
  // 22nd frame, the last copy 4 ms later.
  int64_t start = clock();
  feed(heatReading, 2);
  EXPECT_EQ(cmt.filter().pending(), 1u);
  clock.now = start + 2 * 21 + 250;
  cmt.tick();
  EXPECT_EQ(records.count(), 0u) << "the first copy is exactly 250 ms old";
  clock.advance(1);
  cmt.tick();
  ASSERT_EQ(records.count(), 1u);
  EXPECT_EQ(records.jsonTexts()[0], heatJson);
  EXPECT_TRUE(warnings().empty());

  // The RSSI answer goes to the strongest receiver: the meter's address bytes
  // (4E 61 BC) and 2 x (-60 + 90) + 1 = 61, without CRC.
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].id, 0xC0000000u | 0x1A2B3u << 9 | 0x20u);
  ASSERT_EQ(sent[0].length, 4);
  EXPECT_EQ(std::vector<uint8_t>(sent[0].data, sent[0].data + 4), bytesOf("4E 61 BC 3D"));

  // The same packet heard again 300 ms later is a new reading.
  feed(heatReading);
  clock.advance(251);
  cmt.tick();
  EXPECT_EQ(records.count(), 2u);
}

TEST_F(DecodeTest, WaterRecordAndDebugTrace) {
  feed(announcements);
  feed(waterReading);
  clock.advance(251);
  cmt.tick();
  ASSERT_EQ(records.count(), 1u);
  EXPECT_EQ(records.jsonTexts()[0], waterJson);
  std::vector<LogLine> lines = VolmarTest::logLines(output.text());
  auto has = [&](const LogLine& wanted) { return std::find(lines.begin(), lines.end(), wanted) != lines.end(); };
  EXPECT_TRUE(has({'V', "PRFilter.cpp", "Filtering 933C as 0"}));
  EXPECT_TRUE(has({'D', "PRFilter.cpp", "Processing data from filter"}));
  EXPECT_TRUE(has({'D', "PRdata.cpp",
                   "PRdata (rssi=-60): 2A 00 00 20 0A 01 2A 44 01 F1 53 65 41 03 41 24 41 00 C5 32 2E 30 2E 37 41 00 "
                   "42 39 30"}));
  EXPECT_TRUE(has({'D', "PRdata.cpp", "Processing tag"}));
  EXPECT_TRUE(has({'I', "MeterData.cpp", "Received WMS from CMT"}));
  EXPECT_TRUE(has({'D', "PRFilter.cpp", "Deleting data from filter"}));
  EXPECT_TRUE(sent.empty()) << "no RSSI answer was asked for";
}

TEST_F(DecodeTest, RejectedPackets) {
  struct Case {
    const char* name;
    const char* packet;
    LogLine logged;
  };
  const Case cases[] = {
      {"direction set", "010203 21 0A0107 4105", {'D', "PRdata.cpp", "PRdata: dir set"}},
      {"no control byte", "010203", {'W', "PRdata.cpp", "PRdata: bad format"}},
      {"path past the end", "010203 F0 0A01", {'W', "PRdata.cpp", "PRdata: bad format"}},
      {"extra address past the end", "010203 0C AABB", {'W', "PRdata.cpp", "PRdata: bad format"}},
      {"no value", "010203 20 0A0107", {'W', "PRdata.cpp", "PRdata: bad tag format (or empty data)"}},
      {"value item too long", "010203 20 0A0107 4539", {'W', "PRdata.cpp", "PRdata: bad tag format (or empty data)"}},
      {"root tag 11", "010203 20 0B0107 4105", {'W', "MeterData.cpp", "MeterData: bad root tag"}},
      {"meter type 3", "010203 20 0A0307 4105 4105", {'W', "MeterData.cpp", "MeterData: unhandled meter type"}},
      {"path without a type", "010203 00 0A 4105", {'W', "MeterData.cpp", "MeterData: unhandled meter type"}},
      {"heat, 12 items", "010203 20 0A0207 404040404040404040404040",
       {'W', "MeterData.cpp", "MeterData: bad heat meter data size (12)\n"}},
      {"heat, a scalar", "010203 20 0A0207 4105", {'W', "MeterData.cpp", "MeterData: bad heat meter data size (0)\n"}},
      {"water, 8 items", "010203 20 0A0107 4040404040404040",
       {'W', "MeterData.cpp", "MeterData: bad water meter data size (8)\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    size_t before = VolmarTest::logLines(output.text()).size();
    process(c.packet);
    std::vector<LogLine> after = VolmarTest::logLines(output.text());
    ASSERT_GT(after.size(), before);
    EXPECT_EQ(after.back(), c.logged);
  }
  EXPECT_EQ(records.count(), 0u);
  EXPECT_TRUE(sent.empty());
}

TEST_F(DecodeTest, HeatScalingAndExtraAddressBytes) {
  // Two extra address bytes, RSSI answer wanted (control 0x2A), path (10, 2, 7);
  // temperatures below zero arrive as 32-bit two's complement, a float item
  // counts rounded, a battery above 5.1 V saturates.
  process(
      "AABBCC 2A 1122 0A0207 "
      "41 64 40 41 40 C3 48 4D 35 C0 41 01 41 02 41 03 40 84 00 00 C8 42 41 10 44 0CFEFFFF 44 FFFFFFFF",
      -20);
  ASSERT_EQ(records.count(), 1u);
  EXPECT_EQ(records.jsonTexts()[0],
            "{\"type\":\"heat_meter\",\"model\":\"HM5\",\"serial\":7,\"trx_sn\":0,\"rssi\":-20,\"min_rssi\":-20,"
            "\"min_trx_sn\":0,\"v_bat\":5.100,\"modem_fw_ver\":\"\",\"volume\":0.030,\"flow\":0.002,\"sum_heat\":0.010,"
            "\"sum_cold\":0.020,\"power\":1.000,\"temp_in\":-5.000,\"temp_out\":-0.010,\"device_time\":100,"
            "\"hub_time\":0}");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(std::vector<uint8_t>(sent[0].data, sent[0].data + sent[0].length), bytesOf("AA BB CC 8D"));
  EXPECT_TRUE(warnings().empty());
}

}  // namespace
