// The multiplexer's frames as they go out and as they are taken in, and the
// Bluetooth answers.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "CaptureStdout.h"
#include "HexBytes.h"
#include "LogLines.h"
#include "ModemTestSupport.h"
#include "net/sim800/ModemText.h"
#include "net/sim800/bt.h"
#include "net/sim800/cmux.h"

using TestHex::bytesOf;
using TestHex::hexOf;

namespace {

std::vector<uint8_t> frameOf(uint8_t channel, const std::string& text) {
  return Cmux::encodeFrame(channel, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::vector<uint8_t> operator+(std::vector<uint8_t> first, const std::vector<uint8_t>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

TEST(ModemCmuxEncode, FramesAreByteExact) {
  EXPECT_EQ(hexOf(frameOf(1, "AT+CSQ\r\n")), "F9 05 EF 11 41 54 2B 43 53 51 0D 0A 4A F9");
  EXPECT_EQ(hexOf(Cmux::openingFrames()),
            "F9 03 3F 01 1C F9 F9 07 3F 01 DE F9 F9 0B 3F 01 59 F9 F9 0F 3F 01 9B F9");
  std::vector<uint8_t> payload(200, 0x55);
  std::vector<uint8_t> frame = Cmux::encodeFrame(2, payload.data(), payload.size());
  ASSERT_EQ(frame.size(), 207u);
  EXPECT_EQ(hexOf({frame.begin(), frame.begin() + 5}), "F9 09 EF 90 01");
  uint8_t header[] = {0x09, 0xEF, 0x90, 0x01};
  EXPECT_EQ(frame[205], Cmux::fcs(header, 4));
  EXPECT_EQ(frame[206], 0xF9);
  // 127 bytes still take one length octet.
  std::vector<uint8_t> longest(127, 0);
  EXPECT_EQ(Cmux::encodeFrame(1, longest.data(), longest.size())[3], 0xFF);
}

struct StreamCase {
  const char* name;
  std::vector<uint8_t> stream;
  size_t blockSize;
  std::vector<std::string> atTexts;    // channel 1, in order
  std::vector<std::string> dataTexts;  // channel 2, in order
  std::vector<std::string> warnings;   // W messages, in order
};

std::vector<uint8_t> withByte(std::vector<uint8_t> frame, size_t index, uint8_t value) {
  frame.at(index) = value;
  return frame;
}

std::vector<uint8_t> withoutLast(std::vector<uint8_t> frame) {
  frame.pop_back();
  return frame;
}

std::vector<StreamCase> streamCases() {
  std::vector<uint8_t> ok = bytesOf("F9 05 EF 07 4F 4B 0D") + std::vector<uint8_t>{Cmux::fcs(bytesOf("05 EF 07").data(), 3), 0xF9};
  std::vector<uint8_t> csq = frameOf(1, "+CSQ: 20,0\r\n");
  std::string big(200, 'x');
  std::string huge(2049, 'y');
  std::vector<uint8_t> hugeFrame = frameOf(1, huge);
  return {
      {"one frame", ok, 512, {"OK\r"}, {}, {}},
      {"split into single bytes", ok + csq, 1, {"OK\r", "+CSQ: 20,0\r\n"}, {}, {}},
      {"repeated flags", bytesOf("F9 F9 F9") + ok + bytesOf("F9 F9"), 3, {"OK\r"}, {}, {}},
      {"garbage before a frame: one line per run", bytesOf("00 11 22") + ok + csq, 512, {"OK\r", "+CSQ: 20,0\r\n"}, {},
       {"start error :0"}},
      {"garbage after a frame", ok + bytesOf("50 44") + csq, 512, {"OK\r", "+CSQ: 20,0\r\n"}, {},
       {"start error :80"}},
      {"wrong FCS", withByte(ok, 7, static_cast<uint8_t>(ok[7] ^ 1)) + csq, 512, {"+CSQ: 20,0\r\n"}, {}, {"FCS error"}},
      {"damaged payload under a UIH FCS is delivered", withByte(ok, 4, 'o'), 512, {"oK\r"}, {}, {}},
      {"no closing flag", withoutLast(ok) + bytesOf("00") + csq, 512, {"+CSQ: 20,0\r\n"}, {}, {"end error"}},
      {"channel 6 ignored", frameOf(6, "lost") + csq, 512, {"+CSQ: 20,0\r\n"}, {}, {"Frame for channel 6 ignored"}},
      {"two-octet length", frameOf(1, big) + csq, 7, {big, "+CSQ: 20,0\r\n"}, {}, {}},
      {"above 2048 bytes dropped", std::vector<uint8_t>(hugeFrame.begin(), hugeFrame.begin() + 5) + csq, 512,
       {"+CSQ: 20,0\r\n"}, {}, {"Frame of 2049 bytes dropped"}},
      {"a shared flag is a closing flag only", withoutLast(ok) + csq, 512, {"OK\r"}, {},
       {"start error :5"}},
      {"channel 2 to the data call, 3 dropped", frameOf(2, "CONNECT") + frameOf(3, "x") + csq, 512,
       {"+CSQ: 20,0\r\n"}, {"CONNECT"}, {}},
  };
}

class ModemCmuxStream : public ::testing::TestWithParam<StreamCase> {};

TEST_P(ModemCmuxStream, DeliversOnlyWholeGoodFrames) {
  const StreamCase& test = GetParam();
  FakeModemPort port;
  port.blockSize = test.blockSize;
  port.queue(test.stream);
  std::vector<std::string> data;
  Cmux::Multiplexer mux({&port, [] { return int64_t{0}; }, [](int) {},
                         [&](const uint8_t* bytes, size_t length) { data.emplace_back(bytes, bytes + length); }});
  CaptureStdout capture;
  std::vector<std::string> texts;
  for (int calls = 0; calls < 100 && (!port.incoming.empty() || mux.hasPendingInput()); ++calls) {
    ByteBuffer text = mux.readAtText();
    if (!text.empty()) texts.emplace_back(text.text(), text.size());
  }
  EXPECT_EQ(texts, test.atTexts);
  EXPECT_EQ(data, test.dataTexts);
  std::vector<std::string> warnings;
  for (const TestLog::LogLine& line : TestLog::logLines(capture.text())) {
    EXPECT_EQ(line.tag, "cmux.cpp");
    if (line.level == 'W') warnings.push_back(line.message);
  }
  EXPECT_EQ(warnings, test.warnings);
}

INSTANTIATE_TEST_SUITE_P(Streams, ModemCmuxStream, ::testing::ValuesIn(streamCases()),
                         [](const auto& info) {
                           std::string name;
                           for (char c : std::string(info.param.name)) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name;
                         });

TEST(ModemCmuxDecoder, FrameCutOffIsDroppedAfterTenSeconds) {
  FakeModemPort port;
  int64_t seconds = 100;
  Cmux::Multiplexer mux({&port, [&] { return seconds; }, [](int) {}, {}});
  std::vector<uint8_t> frame = frameOf(1, "+CSQ: 20,0\r\n");
  port.queue({frame.begin(), frame.begin() + 8});
  CaptureStdout capture;
  EXPECT_TRUE(mux.readAtText().empty());
  seconds += 9;
  EXPECT_TRUE(mux.readAtText().empty());
  EXPECT_TRUE(mux.decoder().inFrame());
  seconds += 1;
  port.queue(frame);
  ByteBuffer text = mux.readAtText();
  EXPECT_EQ(text.view(), "+CSQ: 20,0\r\n");
  EXPECT_EQ(TestLog::linesWith(capture.text(), "Frame cut off after 4 of 12 bytes, dropped").size(), 1u);
}

TEST(ModemCmuxDecoder, ReadsAtMostItsBudgetPerCall) {
  FakeModemPort port;
  for (int i = 0; i < 400; ++i) port.queue(frameOf(2, std::string(100, 'p')));
  port.queueFrame(1, "OK\r\n");
  size_t delivered = 0;
  Cmux::Multiplexer mux({&port, [] { return int64_t{0}; }, [](int) {}, [&](const uint8_t*, size_t) { ++delivered; }});
  EXPECT_TRUE(mux.readAtText().empty());
  EXPECT_LT(delivered, 400u);
  int calls = 1;
  ByteBuffer text;
  while (text.empty() && calls++ < 100) text = mux.readAtText();
  EXPECT_EQ(text.view(), "OK\r\n");
  EXPECT_EQ(delivered, 400u);
}

TEST(ModemCmuxStart, SwitchesTheModemAndOpensFourChannels) {
  FakeModemPort port;
  std::vector<int> sleeps;
  Cmux::Multiplexer mux({&port, [] { return int64_t{0}; }, [&](int ms) { sleeps.push_back(ms); }, {}});
  std::vector<uint8_t> status = bytesOf("E3 05 0B 8D");
  port.queue(Cmux::encodeFrame(0, status.data(), status.size()));
  mux.readAtText();
  ASSERT_TRUE(mux.signals().ready2);
  mux.startMux();
  std::string command = "\r\nAT+CMUX=0\r\n";
  EXPECT_EQ(port.written, std::vector<uint8_t>(command.begin(), command.end()) + Cmux::openingFrames());
  EXPECT_EQ(sleeps, (std::vector<int>{2000, 20}));
  EXPECT_FALSE(mux.signals().ready2);
}

struct ControlCase {
  const char* payload;
  Cmux::ReadySignals before;
  bool ready2;
  bool ready3;
};

TEST(ModemCmuxControl, ModemStatusSetsTheReadyFlags) {
  const ControlCase cases[] = {
      {"E3 05 0B 8D", {false, false}, true, false},
      {"E3 05 0B 85", {true, false}, false, false},
      {"E3 05 0F 8D", {false, false}, false, true},
      {"E3 05 0B 8D E3 05 0F 8D", {false, false}, true, true},
      {"E3 05 07 8D", {false, false}, false, false},  // channel 1: no flag of its own
      {"E1 05 0B 8D", {false, false}, false, false},  // not a modem status command
      {"E3 05 0B", {false, false}, false, false},     // cut short
  };
  for (const ControlCase& test : cases) {
    Cmux::ReadySignals signals = test.before;
    std::vector<uint8_t> payload = bytesOf(test.payload);
    Cmux::handleControl(payload.data(), payload.size(), signals);
    EXPECT_EQ(signals.ready2, test.ready2) << test.payload;
    EXPECT_EQ(signals.ready3, test.ready3) << test.payload;
  }
}

TEST(ModemText, QuotesOneLine) {
  EXPECT_EQ(ModemText::printable("\r\n+CSQ: 20,0\r\n", 14), "+CSQ: 20,0");
  EXPECT_EQ(ModemText::printable("A\x01" "B\rC\x7F", 6), "A\\x01B\\rC\\x7F");
  EXPECT_EQ(ModemText::printable("\r\n", 2), "");
}

struct BtCase {
  const char* text;
  const char* command;  // null: none
  uint16_t connectionId;
  bool restart;
  const char* logged;  // a message that must be logged, besides BT_GOT
};

TEST(ModemBluetooth, AnswersAndState) {
  const BtCase cases[] = {
      {"+BTCONNECTING: \"aa:bb:cc:dd:ee:ff\",\"SPP\"\n", "AT+BTACPT=1\r\n", 7, false, nullptr},
      {"+BTCONNECTING: \"aa:bb:cc:dd:ee:ff\",\"SPP\"\r\n", "AT+BTACPT=1\r\n", 7, false, nullptr},
      {"+BTCONNECTING: \"aa:bb:cc:dd:ee:ff\",\"SPP\"\r\n\r\nOK\r\n", "AT+BTACPT=1\r\n", 7, false, nullptr},
      {"+BTCONNECTING: \"aa:bb:cc:dd:ee:ff\",\"HFP\"\r\n", nullptr, 7, false, nullptr},
      {"+BTSTATUS: 0\r\n", nullptr, 7, true, "BT disabled, rebooting modem"},
      {"+BTSTATUS: 5\r\n", nullptr, 7, false, nullptr},
      {"+BTCONNECT: 3,\"phone\",aa:bb:cc:dd:ee:ff,\"SPP\"\r\n", nullptr, 3, false, "Got new SPP connection, id: 3"},
      {"+BTDISCONN: \"phone\",aa:bb:cc:dd:ee:ff,\"SPP\"\r\n", nullptr, 0, false, "BT Connection got closed remotely"},
      {"+B", nullptr, 7, false, nullptr},
  };
  for (const BtCase& test : cases) {
    BtState state;
    state.connectionId = 7;
    CaptureStdout capture;
    std::optional<std::string> command = handleBt(state, test.text, std::strlen(test.text));
    std::string log = capture.text();
    EXPECT_EQ(command.has_value(), test.command != nullptr) << test.text;
    if (command && test.command) {
      EXPECT_EQ(*command, test.command);
    }
    EXPECT_EQ(state.connectionId, test.connectionId) << test.text;
    EXPECT_EQ(state.restartRequested, test.restart) << test.text;
    if (test.logged) {
      EXPECT_EQ(TestLog::linesWith(log, test.logged).size(), 1u) << test.text;
    }
    std::vector<TestLog::LogLine> lines = TestLog::logLines(log);
    if (std::strlen(test.text) >= 3) {
      ASSERT_FALSE(lines.empty());
      EXPECT_EQ(lines[0].level, 'D');
      EXPECT_EQ(lines[0].message.rfind("BT_GOT: +BT", 0), 0u);
      EXPECT_EQ(lines[0].message.find('\r'), std::string::npos);
    } else {
      EXPECT_TRUE(lines.empty());
    }
    if (!test.restart && std::string(test.text).find("BTSTATUS") != std::string::npos) {
      EXPECT_EQ(lines.size(), 1u) << "a status other than 0 logs only what it got";
    }
  }
}

}  // namespace
