// The CMT transport of the metering radio: reassembly, CRC, expiry, sending,
// service reports and the receiver registry's offline check, on a clock the
// test moves.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "CaptureStdout.h"
#include "VolmarTestSupport.h"
#include "can/volmar/Can.h"
#include "can/volmar/CanCMT.h"
#include "can/volmar/CmtIdentifier.h"
#include "can/volmar/OfflineCheckTimer.h"
#include "core/Crc16.h"
#include "meterdata/WaterMeterStatus.h"

namespace {

using VolmarTest::bytesOf;
using VolmarTest::LogLine;
using VolmarTest::parseFrame;

constexpr uint32_t receiverA = 0x1A2B3;
constexpr uint32_t receiverB = 0x2C4D5;

CanFrame cmtFrame(uint32_t address, uint32_t sequence, uint32_t part, bool last, const std::vector<uint8_t>& data) {
  CanFrame frame;
  frame.id = CanFrame::extendedFlag | CmtIdentifier::make(address, sequence, part, last);
  frame.length = static_cast<uint8_t>(data.size());
  std::memcpy(frame.data, data.data(), data.size());
  return frame;
}

// A message cut into frames of 8 bytes, the last one flagged.
std::vector<CanFrame> cmtFrames(uint32_t address, uint32_t sequence, const std::vector<uint8_t>& message) {
  std::vector<CanFrame> frames;
  for (size_t offset = 0, part = 0; offset < message.size(); offset += 8, ++part) {
    size_t end = std::min(message.size(), offset + 8);
    frames.push_back(cmtFrame(address, sequence, static_cast<uint32_t>(part), end == message.size(),
                              std::vector<uint8_t>(message.begin() + static_cast<std::ptrdiff_t>(offset),
                                                   message.begin() + static_cast<std::ptrdiff_t>(end))));
  }
  return frames;
}

// RSSI byte, packet, CRC-16/MODBUS low byte first.
std::vector<uint8_t> withRssiAndCrc(int8_t rssi, std::vector<uint8_t> packet) {
  uint16_t crc = crc16Modbus(packet.data(), packet.size());
  packet.insert(packet.begin(), static_cast<uint8_t>(rssi));
  packet.push_back(static_cast<uint8_t>(crc & 0xFF));
  packet.push_back(static_cast<uint8_t>(crc >> 8));
  return packet;
}

// An 18-byte water meter telegram: sender 01 02 03, path (10, 1, 42), items
// clock 5, flags 0, battery 3.6 V, -, firmware "" (a text of length 0), -,
// 12345 litres. With RSSI and CRC it makes a 21-byte message: three frames,
// the last one of 5 bytes.
const std::vector<uint8_t> waterPacket = bytesOf("010203 20 0A012A 4105 40 4124 40 C0 40 423930");

class CmtTest : public ::testing::Test {
 protected:
  CaptureStdout output;
  VolmarTest::FakeClock clock;
  VolmarTest::RecordCollector records;
  std::vector<CanFrame> sent;
  CanCMT cmt{[this] { return clock(); }, [this](const CanFrame& frame) { sent.push_back(frame); }};

  void feed(const std::vector<CanFrame>& frames) {
    for (const CanFrame& frame : frames) cmt.onFrame(frame);
  }
  // Past the receiver filter's window: every pending packet is decoded.
  void decodePending() {
    clock.advance(251);
    cmt.tick();
  }
  std::vector<LogLine> lines(const std::string& prefix) { return VolmarTest::linesStartingWith(output.text(), prefix); }
};

TEST(Crc16, ModbusCheckValueAndResidue) {
  const char* text = "123456789";
  EXPECT_EQ(crc16Modbus(reinterpret_cast<const uint8_t*>(text), 9), 0x4B37);
  std::vector<uint8_t> framed = bytesOf("31 32 33 34 35 36 37 38 39 37 4B");
  EXPECT_EQ(crc16Modbus(framed.data(), framed.size()), 0);
  EXPECT_EQ(crc16Modbus(nullptr, 0), 0xFFFF);
}

TEST_F(CmtTest, ThreePartMessageCompletesInAnyOrder) {
  std::vector<uint8_t> message = withRssiAndCrc(-60, waterPacket);
  ASSERT_EQ(message.size(), 21u);
  std::vector<CanFrame> frames = cmtFrames(receiverA, 1, message);
  ASSERT_EQ(frames.size(), 3u);
  ASSERT_EQ(frames[2].length, 5);
  std::array<int, 3> order{0, 1, 2};
  size_t expectedRecords = 0;
  do {
    SCOPED_TRACE(testing::Message() << "order " << order[0] << order[1] << order[2]);
    cmt.onFrame(frames[order[0]]);
    cmt.onFrame(frames[order[1]]);
    EXPECT_EQ(cmt.partialMessages(), 1u);
    EXPECT_EQ(cmt.filter().pending(), 0u);
    cmt.onFrame(frames[order[2]]);
    EXPECT_EQ(cmt.partialMessages(), 0u);
    EXPECT_EQ(cmt.filter().pending(), 1u);
    decodePending();
    ASSERT_TRUE(records.waitFor(++expectedRecords, std::chrono::milliseconds(0)));
  } while (std::next_permutation(order.begin(), order.end()));

  // Receiver A was never announced: the record creates its entry, serial 0.
  EXPECT_EQ(records.jsonTexts().back(),
            "{\"type\":\"water_meter\",\"meter_sn\":42,\"trx_sn\":0,\"rssi\":-60,\"min_rssi\":-60,\"min_trx_sn\":0,"
            "\"volume\":12.345,\"v_bat\":3.600,\"modem_fw_ver\":\"\",\"flags\":0,\"device_time\":5,\"hub_time\":0}");
  ASSERT_NE(cmt.registry().find(receiverA), nullptr);
  EXPECT_FALSE(cmt.registry().find(receiverA)->serialKnown);
  EXPECT_TRUE(lines("CMT crc error").empty());
}

TEST_F(CmtTest, TwoReceiversWithOneSequenceNumberAreReassembledApart) {
  std::vector<CanFrame> fromA = cmtFrames(receiverA, 3, withRssiAndCrc(-60, waterPacket));
  std::vector<CanFrame> fromB = cmtFrames(receiverB, 3, withRssiAndCrc(-75, waterPacket));
  for (size_t i = 0; i < fromA.size(); ++i) {
    cmt.onFrame(fromB[i]);
    cmt.onFrame(fromA[i]);
  }
  EXPECT_EQ(cmt.partialMessages(), 0u);
  EXPECT_EQ(cmt.filter().pending(), 1u) << "the two copies of one packet are merged";
  decodePending();
  ASSERT_EQ(records.count(), 1u);
  EXPECT_NE(records.jsonTexts()[0].find("\"rssi\":-60,\"min_rssi\":-75"), std::string::npos);
}

TEST_F(CmtTest, MessagesFailingTheCrcAreDropped) {
  struct Case {
    const char* name;
    std::vector<uint8_t> message;
    const char* warning;
  };
  std::vector<uint8_t> corrupted = withRssiAndCrc(-60, waterPacket);
  corrupted[7] ^= 0x10;
  std::vector<uint8_t> rssiChanged = withRssiAndCrc(-60, waterPacket);
  rssiChanged[0] = 0x80;  // the RSSI byte is not covered
  const Case cases[] = {
      {"one byte", bytesOf("C4"), "CMT crc error 1A2B3/2 len=1"},
      {"two bytes", bytesOf("C4 FF"), "CMT crc error 1A2B3/2 len=2"},
      {"flipped bit", corrupted, "CMT crc error 1A2B3/2 len=21"},
      {"other RSSI", rssiChanged, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    size_t warningsBefore = lines("CMT crc error").size();
    feed(cmtFrames(receiverA, 2, c.message));
    EXPECT_EQ(cmt.partialMessages(), 0u);
    std::vector<LogLine> warnings = lines("CMT crc error");
    if (c.warning == nullptr) {
      EXPECT_EQ(warnings.size(), warningsBefore);
      EXPECT_EQ(cmt.filter().pending(), 1u);
    } else {
      ASSERT_EQ(warnings.size(), warningsBefore + 1);
      EXPECT_EQ(warnings.back(), (LogLine{'W', "CanCMT.cpp", c.warning}));
      EXPECT_EQ(cmt.filter().pending(), 0u);
    }
  }
}

TEST_F(CmtTest, ThreeByteMessageHasAnEmptyPacket) {
  feed(cmtFrames(receiverA, 0, bytesOf("C4 FF FF")));  // CRC of no bytes is 0xFFFF
  EXPECT_EQ(cmt.filter().pending(), 1u);
  decodePending();
  EXPECT_EQ(lines("PRdata: bad format").size(), 1u);
  EXPECT_EQ(records.count(), 0u);
}

TEST_F(CmtTest, IncompleteMessageExpiresAfter50Milliseconds) {
  std::vector<CanFrame> frames = cmtFrames(receiverA, 5, withRssiAndCrc(-60, waterPacket));
  cmt.onFrame(frames[0]);
  cmt.onFrame(frames[2]);
  clock.advance(50);
  cmt.tick();
  EXPECT_EQ(cmt.partialMessages(), 1u) << "50 ms is not yet past the time-out";
  clock.advance(1);
  cmt.tick();
  EXPECT_EQ(cmt.partialMessages(), 0u);
  EXPECT_EQ(lines("Remove"), (std::vector<LogLine>{{'I', "CanCMT.cpp", "Remove 1A2B3/5 parts=00000005 len=21"}}));
  // The missing part alone starts a new message that never completes.
  cmt.onFrame(frames[1]);
  EXPECT_EQ(cmt.partialMessages(), 1u);
  EXPECT_EQ(cmt.filter().pending(), 0u);
}

TEST_F(CmtTest, LargestMessageFillsAllThirtyTwoParts) {
  // 253 packet bytes: a telegram with a long path-less tail; only the transport matters here.
  std::vector<uint8_t> packet(253, 0x5A);
  std::vector<uint8_t> message = withRssiAndCrc(-70, packet);
  ASSERT_EQ(message.size(), 256u);
  std::vector<CanFrame> frames = cmtFrames(receiverA, 7, message);
  ASSERT_EQ(frames.size(), 32u);
  std::reverse(frames.begin(), frames.end());
  feed(frames);
  EXPECT_EQ(cmt.partialMessages(), 0u);
  EXPECT_EQ(cmt.filter().pending(), 1u);
  EXPECT_TRUE(lines("CMT crc error").empty());
}

TEST_F(CmtTest, SendMessageFraming) {
  struct Case {
    size_t payload;
    std::vector<uint8_t> frameLengths;
  };
  const Case cases[] = {
      {4, {4}},     // no CRC
      {7, {8, 1}},  // 7 bytes and the CRC
      {254, std::vector<uint8_t>(32, 8)},
  };
  uint32_t sequence = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload);
    std::vector<uint8_t> payload(c.payload);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i + 1);
    sent.clear();
    ASSERT_TRUE(cmt.sendMessage(receiverB, payload.data(), payload.size()));
    ASSERT_EQ(sent.size(), c.frameLengths.size());
    std::vector<uint8_t> wire;
    for (size_t part = 0; part < sent.size(); ++part) {
      bool last = part + 1 == sent.size();
      EXPECT_EQ(sent[part].id, 0xC0000000u | receiverB << 9 | sequence << 6 | (last ? 0x20u : 0u) | part);
      EXPECT_EQ(sent[part].length, c.frameLengths[part]);
      wire.insert(wire.end(), sent[part].data, sent[part].data + sent[part].length);
    }
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), wire.begin()));
    if (c.payload > 4) {
      EXPECT_EQ(crc16Modbus(wire.data(), wire.size()), 0) << "CRC appended low byte first";
    }
    ++sequence;
  }
}

TEST_F(CmtTest, SendMessageRefusesWhatDoesNotFitThirtyTwoFrames) {
  std::vector<uint8_t> payload(255, 1);
  EXPECT_FALSE(cmt.sendMessage(receiverB, payload.data(), payload.size()));
  EXPECT_FALSE(cmt.sendMessage(receiverB, payload.data(), 0));
  EXPECT_TRUE(sent.empty());
  EXPECT_EQ(lines("CMT message to"),
            (std::vector<LogLine>{{'W', "CanCMT.cpp", "CMT message to 2C4D5 refused: 257 bytes, at most 256 with CRC"},
                                  {'W', "CanCMT.cpp", "CMT message to 2C4D5 refused: 0 bytes, at most 256 with CRC"}}));
}

// Frames of receiver A's service channel (low identifier bits 0x5F).
TEST_F(CmtTest, ServiceReports) {
  cmt.registry().serialOf(receiverA);
  cmt.takePRListChanged();
  struct Case {
    const char* data;
    std::vector<LogLine> logged;
    bool inBootloader;
    bool listChanged;
  };
  const Case cases[] = {
      {"02 00 00 00 00 00 1B 03", {{'D', "PRdata.cpp", "Got PR 0x1A2B3 version 2023.03.3"}}, false, true},
      {"02 00 00 00 00 00 1B 03", {{'D', "PRdata.cpp", "Got PR 0x1A2B3 version 2023.03.3"}}, false, false},
      {"04 00 00 00 00 00 00 11", {{'D', "CanCMT.cpp", "PR 0x1A2B3 in bootloader"}}, true, true},
      {"04 00 00 00 00 00 00 33", {{'W', "CanCMT.cpp", "PR restarted from Watchdog"}}, true, false},
      {"04 00 00 00 00 00 00 66", {{'D', "CanCMT.cpp", "PR started update"}}, false, true},
      {"04 00 00 00 00 00 00 11", {{'D', "CanCMT.cpp", "PR 0x1A2B3 in bootloader"}}, true, true},
      {"04 00 00 00 00 00 00 88", {{'D', "CanCMT.cpp", "PR finished uploading data"}}, false, true},
      {"04 00 00 00 00 00 00 11", {{'D', "CanCMT.cpp", "PR 0x1A2B3 in bootloader"}}, true, true},
      {"04 00 00 00 00 00 00 44", {{'D', "CanCMT.cpp", "PR succesfully updated FW"}}, false, true},
      {"04 00 00 00 00 00 00 11", {{'D', "CanCMT.cpp", "PR 0x1A2B3 in bootloader"}}, true, true},
      {"04 00 00 00 00 00 00 22", {{'D', "CanCMT.cpp", "PR exited bootloader"}}, false, true},
      {"04 00 00 00 00 00 00 99", {}, false, false},
      {"08 11 45 23 01 00", {{'D', "CanCMT.cpp", "PR expected FW length: 74565"}}, false, false},
      {"08 22 00 00 01 00", {{'D', "CanCMT.cpp", "PR received FW length: 65536"}}, false, false},
      {"08 33 00 00 01 00", {}, false, false},
      {"10 11 EF BE 00 00",
       {{'D', "CanCMT.cpp", "PR calculated CRC: 0xBEEF"}, {'D', "CanCMT.cpp", "CRC matches"}},
       false,
       false},
      {"10 22 EF BE AD DE",
       {{'D', "CanCMT.cpp", "PR calculated CRC: 0xDEADBEEF"}, {'W', "CanCMT.cpp", "CRC does't match!"}},
       false,
       false},
      {"10 33 34 12", {{'D', "CanCMT.cpp", "PR received CRC: 0x1234"}}, false, false},
      {"10 44 34 12", {}, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data);
    size_t before = VolmarTest::logLines(output.text()).size();
    cmt.onFrame(cmtFrame(receiverA, 1, 31, false, bytesOf(c.data)));
    std::vector<LogLine> all = VolmarTest::logLines(output.text());
    EXPECT_EQ(std::vector<LogLine>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end()), c.logged);
    EXPECT_EQ(cmt.partialMessages(), 0u) << "service reports are consumed";
    EXPECT_EQ(cmt.registry().find(receiverA)->inBootloader, c.inBootloader);
    EXPECT_EQ(cmt.takePRListChanged(), c.listChanged);
  }
  EXPECT_EQ(cmt.registry().find(receiverA)->versionYearMonth, 27);
  EXPECT_EQ(cmt.registry().find(receiverA)->versionBuild, 3);

  // Any other code on the service channel is a CMT part (index 31, sequence 1).
  cmt.onFrame(cmtFrame(receiverA, 1, 31, false, bytesOf("20 00 00 00")));
  EXPECT_EQ(cmt.partialMessages(), 1u);
}

TEST_F(CmtTest, SerialAnnouncementsAndTheOfflineCheck) {
  // Captured from the radio simulator: receiver 1A2B3 with serial 0x50521001A2B3.
  const CanFrame announcement = parseFrame("03456600#B3A2011052500000");
  cmt.onFrame(announcement);
  EXPECT_EQ(lines("Got PR serial"), (std::vector<LogLine>{{'D', "PRdata.cpp", "Got PR serial=000050521001A2B3"}}));
  ASSERT_EQ(cmt.registry().entries().size(), 1u);
  const PREntry& entry = cmt.registry().entries()[0];
  EXPECT_EQ(entry.address, receiverA);
  EXPECT_EQ(entry.serial, 0x50521001A2B3u);
  EXPECT_TRUE(entry.serialKnown);
  EXPECT_EQ(entry.alive, 18);
  EXPECT_TRUE(cmt.takePRListChanged());
  EXPECT_EQ(cmt.partialMessages(), 0u);

  for (int check = 1; check <= 17; ++check) cmt.offlineCheck();
  EXPECT_TRUE(lines("Can ID").empty());
  EXPECT_FALSE(cmt.takePRListChanged());
  cmt.offlineCheck();
  cmt.offlineCheck();
  EXPECT_EQ(lines("Can ID"), (std::vector<LogLine>{{'W', "CanCMT.cpp", "Can ID 107187 is offline!"}}));
  EXPECT_TRUE(cmt.takePRListChanged());

  cmt.onFrame(announcement);  // back with its next announcement
  EXPECT_EQ(cmt.registry().entries()[0].alive, 18);
  EXPECT_TRUE(cmt.takePRListChanged());
  cmt.onFrame(announcement);
  EXPECT_FALSE(cmt.takePRListChanged()) << "an announcement of a live receiver changes nothing";

  // Eight bytes whose low 20 bits are not the sender's address, or fewer
  // than eight bytes, are not announcements.
  cmt.onFrame(parseFrame("03456600#B4A2011052500000"));
  cmt.onFrame(parseFrame("0345666F#B3A20110"));
  EXPECT_EQ(cmt.partialMessages(), 2u);
  EXPECT_EQ(cmt.registry().entries().size(), 1u);
}

// The loop runs the check when more than 2 s have passed since the previous
// one; a receiver silent from t = 0 goes offline between 34 and 36 s.
TEST_F(CmtTest, SilentReceiverGoesOfflineAfterAbout36Seconds) {
  OfflineCheckTimer timer(clock());
  int64_t start = clock();
  cmt.onFrame(parseFrame("03456600#B3A2011052500000"));
  EXPECT_FALSE(timer.due(start + 2000));
  EXPECT_TRUE(timer.due(start + 2001));
  EXPECT_FALSE(timer.due(start + 4001));
  timer = OfflineCheckTimer(start);
  int64_t wentOffline = 0;
  for (int64_t t = start; t < start + 60000 && wentOffline == 0; t += 10) {
    clock.now = t;
    if (timer.due(t)) cmt.offlineCheck();
    if (cmt.registry().entries()[0].alive == 0) wentOffline = t - start;
  }
  EXPECT_GE(wentOffline, 34000);
  EXPECT_LE(wentOffline, 36500);
  EXPECT_EQ(lines("Can ID").size(), 1u);
}

}  // namespace

namespace {

// The radio thread sleeps until the earliest thing that is due: a partial
// message's 50 ms, a filter entry's 250 ms, or the next offline check while a
// receiver is alive; with nothing pending it waits for the next frame.
TEST_F(CmtTest, TheRadioThreadWakesAtTheEarliestPendingDeadline) {
  int64_t start = clock();
  OfflineCheckTimer offline(start);
  EXPECT_EQ(VolmarCan::waitMilliseconds(start, cmt, offline), -1) << "nothing pending: until a frame comes";

  std::vector<CanFrame> first = cmtFrames(receiverA, 1, withRssiAndCrc(-60, waterPacket));
  cmt.onFrame(first[0]);  // a partial message from start on; receiver A alive
  EXPECT_EQ(VolmarCan::waitMilliseconds(start, cmt, offline), 51);
  clock.advance(20);
  EXPECT_EQ(VolmarCan::waitMilliseconds(clock(), cmt, offline), 31);
  cmt.onFrame(first[1]);
  cmt.onFrame(first[2]);  // complete at +20: a filter entry due at +271
  EXPECT_EQ(cmt.partialMessages(), 0u);
  EXPECT_EQ(VolmarCan::waitMilliseconds(clock(), cmt, offline), 251);
  clock.advance(251);
  EXPECT_EQ(VolmarCan::waitMilliseconds(clock(), cmt, offline), 0) << "due now";
  cmt.tick();
  ASSERT_EQ(cmt.filter().pending(), 0u);
  // Only the offline check is left while receiver A is alive.
  EXPECT_EQ(VolmarCan::waitMilliseconds(clock(), cmt, offline), start + 2001 - clock());

  // Once no receiver is alive the check is not waited for either.
  for (int check = 0; check < PRRegistry::aliveStart; ++check) cmt.offlineCheck();
  ASSERT_FALSE(cmt.registry().anyAlive());
  EXPECT_EQ(VolmarCan::waitMilliseconds(clock(), cmt, offline), -1);
}

}  // namespace
