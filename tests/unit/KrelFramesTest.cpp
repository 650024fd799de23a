// Panel frames without threads: both identifier layouts (decode, encode,
// digest registers) and the layout detection, as tables of captured frames.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "PanelTestSupport.h"
#include "can/krel/IOProcessor.h"
#include "can/krel/LayoutDetection.h"

namespace {

using KREL::IOPacket;
using KREL::LayoutDetection;
using PanelTest::frameOf;
using PanelTest::textOf;

struct DecodeCase {
  int layout;
  const char* frame;
  bool error;
  uint16_t node;
  uint16_t reg;
  uint8_t length;
};

// Frames as the bus carries them: identifier word with flags, then the data.
const DecodeCase decodeCases[] = {
    // 64 nodes: node in bits 21-28, register in bits 1-16.
    {64, "80A01FE6#2011020000001000", false, 5, 0x0FF3, 8},  // digest register 3 of node 5
    {64, "88001FE0#01", false, 64, 0x0FF0, 1},               // the highest node
    {64, "88201FE0#01", true, 65, 0x0FF0, 1},                // above 64
    {64, "C0A01FE6#", true, 5, 0x0FF3, 0},                   // remote request
    {64, "A0A01FE6#", true, 5, 0x0FF3, 0},                   // error frame
    {64, "00000123#01", true, 0, 0x0091, 1},                 // standard frame
    {64, "80A0200E#0400000000000000", false, 5, 0x1007, 8},  // bits 13-16 belong to the register
    // 250 nodes: node in bits 5-12, register in bits 13-28.
    {250, "9FFE40E0#F5F3EF2037000000", false, 7, 0xFFF2, 8},
    {250, "DFFE40E0#", false, 7, 0xFFF2, 0},  // remote requests are packets here
    {250, "9FFE1F40#", false, 250, 0xFFF0, 0},
    {250, "9FFE1F60#", true, 251, 0xFFF0, 0},
    {250, "9DDC1F81#0000000000000000", true, 252, 0xEEE0, 8},  // our own answer to node 252
    {250, "BFFE40E0#", true, 7, 0xFFF2, 0},                    // error frame
    {250, "000000E0#", true, 7, 0, 0},                         // standard frame
};

std::unique_ptr<KREL::AbstractIOProcessor> processorFor(int layout, std::vector<CanFrame>* sent = nullptr) {
  KREL::AbstractIOProcessor::FrameSink sink;
  if (sent != nullptr) sink = [sent](const CanFrame& frame) { sent->push_back(frame); };
  if (layout == 64) return std::make_unique<KREL::IOProcessor64>(sink);
  return std::make_unique<KREL::IOProcessor250>(sink);
}

TEST(KrelIOProcessor, DecodesBothLayouts) {
  for (const DecodeCase& c : decodeCases) {
    CanFrame frame = frameOf(c.frame);
    IOPacket packet = processorFor(c.layout)->decode(frame);
    SCOPED_TRACE(c.frame);
    EXPECT_EQ(packet.error != 0, c.error);
    EXPECT_EQ(packet.node, c.node);
    EXPECT_EQ(packet.reg, c.reg);
    EXPECT_EQ(packet.length, c.length);
    EXPECT_EQ(0, std::memcmp(packet.data, frame.data, 8));
  }
}

TEST(KrelIOProcessor, ALengthAboveEightIsNoPacket) {
  for (int layout : {64, 250}) {
    CanFrame frame = frameOf(layout == 64 ? "80A01FE6#0102030405060708" : "9FFE40E0#0102030405060708");
    frame.length = 15;
    IOPacket packet = processorFor(layout)->decode(frame);
    EXPECT_NE(packet.error, 0) << layout;
    EXPECT_EQ(0, std::memcmp(packet.data, frame.data, 8));
  }
}

struct EncodeCase {
  int layout;
  uint16_t node;
  uint16_t reg;
  uint8_t length;
  const char* frame;
};

TEST(KrelIOProcessor, EncodesRequestsOfBothLayouts) {
  const EncodeCase cases[] = {
      // 64 nodes: 0x80200000 | node << 13 | reg << 1, and bit 30 with data.
      {64, 3, 0x0100, 0, "80206200#"},
      {64, 3, 0x0100, 4, "C0206200#1122334400000000"},
      {64, 64, 0x0D36, 0, "80281A6C#"},
      // 250 nodes: node << 5 | reg << 13, and bit 0 with data.
      {250, 7, 0x0019, 0, "800320E0#"},
      {250, 3, 0x1004, 5, "82008061#1122334400000000"},
      {250, 252, 0xEEE0, 8, "9DDC1F81#1122334400000000"},
  };
  for (const EncodeCase& c : cases) {
    std::vector<CanFrame> sent;
    IOPacket packet;
    packet.node = c.node;
    packet.reg = c.reg;
    packet.length = c.length;
    if (c.length != 0) {
      packet.data[0] = 0x11;
      packet.data[1] = 0x22;
      packet.data[2] = 0x33;
      packet.data[3] = 0x44;
    }
    processorFor(c.layout, &sent)->send(packet);
    ASSERT_EQ(sent.size(), 1u);
    CanFrame expected = frameOf(c.frame);  // all eight data bytes go out
    SCOPED_TRACE(c.frame);
    EXPECT_EQ(textOf(sent[0]).substr(0, 9), std::string(c.frame).substr(0, 9));
    EXPECT_EQ(sent[0].length, c.length);  // DLC: the packet's length
    EXPECT_EQ(0, std::memcmp(sent[0].data, expected.data, 8));
  }
}

TEST(KrelIOProcessor, KnowsTheDigestRegistersOfItsLayout) {
  auto io64 = processorFor(64);
  auto io250 = processorFor(250);
  for (uint16_t reg : {0x0FF0, 0x0FF4, 0x0FF8}) EXPECT_TRUE(io64->isDigestRegister(reg)) << reg;
  for (uint16_t reg : {0x0FF9, 0x0FEF, 0x0FFF, 0x0EF0, 0xFFF9}) EXPECT_FALSE(io64->isDigestRegister(reg)) << reg;
  for (uint16_t reg : {0xFFF0, 0xFFF8}) EXPECT_TRUE(io250->isDigestRegister(reg)) << reg;
  for (uint16_t reg : {0xFFF9, 0x0FF0, 0xFEF0, 0x7FF0}) EXPECT_FALSE(io250->isDigestRegister(reg)) << reg;
  EXPECT_EQ(io64->maxNodes(), 64);
  EXPECT_EQ(io250->maxNodes(), 250);
}

// ---- layout detection

const std::string digest64 = "80A01FE6#";     // node 5, reg 0xFF3
const std::string digest250 = "9FFE40E0#";    // node 7, reg 0xFFF2
const std::string node252 = "80003F80#";      // a read from node 252 (250 nodes)
const std::string noDigest = "80A00200#";     // a register answer in either layout
const std::string digest64Index9 = "80A01FF2#";  // reg 0xFF9: no digest register

std::vector<std::string> repeat(const std::string& frame, int times) { return std::vector<std::string>(times, frame); }

std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

struct DetectionCase {
  const char* name;
  std::vector<std::string> frames;
  LayoutDetection::Result result;
  size_t decidedAt;  // frames fed when the result appeared (0: never)
};

TEST(KrelLayoutDetection, DecidesOnTenDigestFramesOfOneLayout) {
  using R = LayoutDetection::Result;
  const DetectionCase cases[] = {
      {"ten 64-node digests", repeat(digest64, 10), R::nodes64, 10},
      {"nine are not enough", repeat(digest64, 9), R::undecided, 0},
      {"ten 250-node digests", repeat(digest250, 10), R::nodes250, 10},
      {"other frames are skipped", join({repeat(digest64, 5), repeat(noDigest, 20), repeat(digest64Index9, 3),
                                         repeat(digest64, 5)}),
       R::nodes64, 33},
      {"node 252 counts for 250 nodes", join({repeat(digest250, 9), {node252}}), R::nodes250, 10},
      {"a 250-node digest among 64-node ones", join({repeat(digest64, 5), {digest250}, repeat(digest64, 4)}),
       R::gaveUp, 6},
      {"a 64-node digest among 250-node ones", join({{digest250}, {digest64}}), R::gaveUp, 2},
  };
  for (const DetectionCase& c : cases) {
    LayoutDetection detection;
    size_t decidedAt = 0;
    for (size_t i = 0; i < c.frames.size(); ++i) {
      if (detection.feed(frameOf(c.frames[i])) != R::undecided && decidedAt == 0) decidedAt = i + 1;
    }
    EXPECT_EQ(detection.result(), c.result) << c.name;
    EXPECT_EQ(decidedAt, c.decidedAt) << c.name;
  }
}

TEST(KrelLayoutDetection, StartsAfreshAfterGivingUp) {
  LayoutDetection detection;
  for (const std::string& frame : {digest64, digest250}) detection.feed(frameOf(frame));
  ASSERT_EQ(detection.result(), LayoutDetection::Result::gaveUp);
  detection.restart();
  for (int i = 0; i < 9; ++i) detection.feed(frameOf(digest250));
  EXPECT_EQ(detection.feed(frameOf(digest250)), LayoutDetection::Result::nodes250);
}

}  // namespace
