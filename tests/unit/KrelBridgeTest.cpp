// The register bridge for local clients: how a request's value becomes the
// packet sent, the answers a client receives, the 3 s expiry, the full
// queue and clients that went away.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "CaptureStdout.h"
#include "PanelTestSupport.h"
#include "can/krel/WSbridge.h"

namespace {

using KREL::IOPacket;
using KREL::WSbridge;
using Endpoint = WSbridge::Endpoint;
using PanelTest::LogLine;

struct FakeClient : ReplyChannel {
  void send(const std::string& text) override { texts.push_back(text); }
  std::vector<std::string> texts;
};

std::string describe(const IOPacket& packet) {
  char text[64];
  int at = std::snprintf(text, sizeof text, "node %u reg %u len %u", packet.node, packet.reg, packet.length);
  if (packet.length != 0) {
    at += std::snprintf(text + at, sizeof text - at, " ");
    for (uint8_t byte : packet.data) at += std::snprintf(text + at, sizeof text - at, "%02X", byte);
  }
  if (packet.error != 0) std::snprintf(text + at, sizeof text - at, " invalid");
  return text;
}

IOPacket answerOf(uint16_t node, uint16_t reg, uint8_t length, std::initializer_list<uint8_t> data = {}) {
  IOPacket packet;
  packet.node = node;
  packet.reg = reg;
  packet.length = length;
  size_t i = 0;
  for (uint8_t byte : data) packet.data[i++] = byte;
  return packet;
}

class BridgeTest : public ::testing::Test {
 protected:
  CaptureStdout output;
  PanelTest::FakeClock seconds;
  bool layoutKnown = true;
  WSbridge bridge{[this] { return seconds(); }, [this] { return layoutKnown; }};
  std::shared_ptr<FakeClient> client = std::make_shared<FakeClient>();

  // Hands the request to the bridge and returns what the panel thread sends.
  std::vector<std::string> request(Endpoint endpoint, const char* text) {
    bridge.handle(endpoint, text, client);
    std::vector<IOPacket> packets;
    bridge.takeRequests(packets);
    std::vector<std::string> sent;
    for (const IOPacket& packet : packets) sent.push_back(describe(packet));
    return sent;
  }
  std::vector<std::string> answers() {
    std::vector<std::string> texts;
    texts.swap(client->texts);
    return texts;
  }
};

struct EncodingCase {
  Endpoint endpoint;
  const char* text;
  const char* packet;  // empty: nothing queued
  const char* answer;  // an answer at once, or empty
};

const EncodingCase encodingCases[] = {
    {Endpoint::rx, R"({"ppk":3,"reg":4100})", "node 3 reg 4100 len 0", ""},
    {Endpoint::rx, R"({"ppk":3,"reg":4100,"value":5})", "node 3 reg 4100 len 0", ""},
    {Endpoint::tx, R"({"ppk":3,"reg":4100,"value":true})", "node 3 reg 4100 len 1 0100000000000000", ""},
    {Endpoint::tx, R"({"ppk":3,"reg":4100,"value":false})", "node 3 reg 4100 len 1 0000000000000000", ""},
    {Endpoint::tx, R"({"ppk":3,"reg":4100,"value":"abc"})", "node 3 reg 4100 len 8 6162630000000000", ""},
    {Endpoint::tx, R"({"ppk":3,"reg":4100,"value":"Пр é Ёлка!"})", "node 3 reg 4100 len 8 F0D2203F3F20B3CC", ""},
    {Endpoint::tx, R"({"ppk":3,"reg":4100,"value":1.5})", "node 3 reg 4100 len 5 0000C03F00000000", ""},
    {Endpoint::tx, R"({"ppk":3,"reg":4100,"value":-17})", "node 3 reg 4100 len 4 EFFFFFFF00000000", ""},
    {Endpoint::tx, R"({"ppk":3,"reg":4100,"value":4294967295})", "node 3 reg 4100 len 4 FFFFFFFF00000000", ""},
    {Endpoint::tx, R"({"ppk":3,"reg":4100,"value":null})", "node 3 reg 4100 len 0", ""},
    {Endpoint::tx, R"({"ppk":3,"reg":4100,"value":{"a":1}})", "node 3 reg 4100 len 0", ""},
    {Endpoint::tx, R"({"ppk":3,"reg":4100,"value":350000000000000000000000000000000000000000.5})", "",
     R"({"krel_tx":{"ppk":3,"reg":4100,"status":"error"}})"},
    {Endpoint::tx, R"({"ppk":3,"reg":4100,"value":99999999999})", "",
     R"({"krel_tx":{"ppk":3,"reg":4100,"status":"error"}})"},
    {Endpoint::rx, R"({})", "node 0 reg 0 len 0", ""},
    {Endpoint::rx, R"(not an object)", "node 0 reg 0 len 0", ""},
    {Endpoint::rx, R"({"ppk":300,"reg":7})", "node 300 reg 7 len 0", ""},
    {Endpoint::rx, R"({"ppk":99999999999,"reg":-1})", "node 65535 reg 65535 len 0 invalid", ""},
};

class BridgeEncoding : public BridgeTest, public ::testing::WithParamInterface<EncodingCase> {};

TEST_P(BridgeEncoding, ValueBecomesThePacket) {
  const EncodingCase& c = GetParam();
  std::vector<std::string> sent = request(c.endpoint, c.text);
  EXPECT_EQ(sent, *c.packet != '\0' ? std::vector<std::string>{c.packet} : std::vector<std::string>{});
  EXPECT_EQ(answers(), *c.answer != '\0' ? std::vector<std::string>{c.answer} : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Bridge, BridgeEncoding, ::testing::ValuesIn(encodingCases));

struct AnswerCase {
  Endpoint endpoint;
  const char* text;
  IOPacket answer;
  const char* reply;
};

const AnswerCase answerCases[] = {
    {Endpoint::rx, R"({"ppk":3,"reg":4100})", answerOf(3, 4100, 4, {17}),
     R"({"krel_rx":{"ppk":3,"reg":4100,"status":"ok","value":17}})"},
    {Endpoint::rx, R"({"ppk":3,"reg":4100})", answerOf(3, 4100, 4, {0xEF, 0xFF, 0xFF, 0xFF}),
     R"({"krel_rx":{"ppk":3,"reg":4100,"status":"ok","value":-17}})"},
    {Endpoint::rx, R"({"ppk":3,"reg":7})", answerOf(3, 7, 1, {1}), R"({"krel_rx":{"ppk":3,"reg":7,"status":"ok","value":true}})"},
    {Endpoint::rx, R"({"ppk":3,"reg":7})", answerOf(3, 7, 5, {0, 0, 0xC4, 0x41}),
     R"({"krel_rx":{"ppk":3,"reg":7,"status":"ok","value":24.500}})"},
    {Endpoint::rx, R"({"ppk":3,"reg":7})", answerOf(3, 7, 5, {0, 0, 0xC0, 0x7F}),
     R"({"krel_rx":{"ppk":3,"reg":7,"status":"ok","value":null}})"},
    {Endpoint::rx, R"({"ppk":3,"reg":7})", answerOf(3, 7, 8, {0xF0, 0xD2, 0xC9, '"', 0}),
     R"({"krel_rx":{"ppk":3,"reg":7,"status":"ok","value":"При'"}})"},
    {Endpoint::rx, R"({"ppk":3,"reg":7})", answerOf(3, 7, 2, {1, 2}), R"({"krel_rx":{"ppk":3,"reg":7,"status":"ok"}})"},
    {Endpoint::rx, R"({"ppk":3,"reg":7})", answerOf(3, 7, 0), R"({"krel_rx":{"ppk":3,"reg":7,"status":"error"}})"},
    {Endpoint::tx, R"({"ppk":3,"reg":4100,"value":1.5})", answerOf(3, 4100, 5, {0, 0, 0xC0, 0x3F}),
     R"({"krel_tx":{"ppk":3,"reg":4100,"status":"ok"}})"},
    {Endpoint::tx, R"({"ppk":3,"reg":4100,"value":1.5})", answerOf(3, 4100, 0),
     R"({"krel_tx":{"ppk":3,"reg":4100,"status":"error"}})"},
};

class BridgeAnswer : public BridgeTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(BridgeAnswer, FirstPacketOfTheNodeAndRegisterAnswers) {
  const AnswerCase& c = GetParam();
  ASSERT_EQ(request(c.endpoint, c.text).size(), 1u);
  IOPacket otherNode = c.answer;
  otherNode.node = 4;
  bridge.onPacket(otherNode);
  IOPacket otherRegister = c.answer;
  otherRegister.reg = 8;
  bridge.onPacket(otherRegister);
  EXPECT_TRUE(answers().empty());
  bridge.onPacket(c.answer);
  EXPECT_EQ(answers(), std::vector<std::string>{c.reply});
  EXPECT_EQ(bridge.pendingCount(), 0u);
  EXPECT_EQ(PanelTest::linesWith(output.text(), "Got WS answer!").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Bridge, BridgeAnswer, ::testing::ValuesIn(answerCases));

TEST_F(BridgeTest, BeforeTheLayoutIsKnownThereAreNoDevices) {
  layoutKnown = false;
  EXPECT_TRUE(request(Endpoint::rx, R"({"ppk":3,"reg":4100})").empty());
  EXPECT_TRUE(request(Endpoint::tx, R"({"ppk":3,"reg":4100,"value":1})").empty());
  EXPECT_EQ(answers(), (std::vector<std::string>{R"({"krel_rx":{"status":"no devices"}})",
                                                 R"({"krel_tx":{"status":"no devices"}})"}));
}

TEST_F(BridgeTest, UnansweredRequestsExpireAfterThreeSeconds) {
  request(Endpoint::rx, R"({"ppk":3,"reg":4100})");
  request(Endpoint::rx, R"({"ppk":3,"reg":4100})");
  bridge.onPacket(answerOf(3, 4100, 4, {1}));  // completes the first only
  EXPECT_EQ(answers().size(), 1u);
  seconds.advance(WSbridge::answerSeconds);
  bridge.expire();
  EXPECT_TRUE(answers().empty());
  seconds.advance(1);
  bridge.expire();
  EXPECT_EQ(answers(), std::vector<std::string>{R"({"krel_rx":{"ppk":3,"reg":4100,"status":"no answer"}})"});
  EXPECT_EQ(bridge.pendingCount(), 0u);
}

// With eight bits a request to node 300 (never sent) was answered by node 44.
TEST_F(BridgeTest, ARequestToNode300IsNotAnsweredByNode44) {
  request(Endpoint::tx, R"({"ppk":300,"reg":7,"value":1})");
  bridge.onPacket(answerOf(44, 7, 1, {1}));
  EXPECT_TRUE(answers().empty());
  seconds.advance(WSbridge::answerSeconds + 1);
  bridge.expire();
  EXPECT_EQ(answers(), std::vector<std::string>{R"({"krel_tx":{"ppk":300,"reg":7,"status":"no answer"}})"});
}

TEST_F(BridgeTest, AFullQueueAnswersAtOnce) {
  for (uint32_t i = 0; i <= WSbridge::queueCapacity; ++i) bridge.handle(Endpoint::tx, R"({"ppk":3,"reg":9,"value":1})", client);
  EXPECT_EQ(answers(), std::vector<std::string>{R"({"krel_tx":{"ppk":3,"reg":9,"status":"no answer"}})"});
  EXPECT_EQ(PanelTest::linesWith(output.text(), "Buffer overflow!"),
            (std::vector<LogLine>{{'W', "SyncRing.h", "Buffer overflow!"}}));
  std::vector<IOPacket> packets;
  bridge.takeRequests(packets);
  EXPECT_EQ(packets.size(), WSbridge::queueCapacity);
}

TEST_F(BridgeTest, ThePendingListIsBounded) {
  for (size_t i = 0; i < WSbridge::maxPending; ++i) request(Endpoint::rx, R"({"ppk":3,"reg":9})");
  EXPECT_TRUE(answers().empty());
  EXPECT_TRUE(request(Endpoint::rx, R"({"ppk":3,"reg":10})").empty());
  EXPECT_EQ(answers(), std::vector<std::string>{R"({"krel_rx":{"ppk":3,"reg":10,"status":"no answer"}})"});
  EXPECT_EQ(bridge.pendingCount(), WSbridge::maxPending);
}

TEST_F(BridgeTest, AClientGoneBeforeItsAnswerIsSkipped) {
  request(Endpoint::rx, R"({"ppk":3,"reg":9})");
  request(Endpoint::rx, R"({"ppk":3,"reg":10})");
  client.reset();
  bridge.onPacket(answerOf(3, 9, 4, {1}));
  seconds.advance(WSbridge::answerSeconds + 1);
  bridge.expire();
  EXPECT_EQ(bridge.pendingCount(), 0u);
}

}  // namespace
