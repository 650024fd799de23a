// The WebSocket protocol parser fed byte streams as a client would send them:
// every stream is fed whole, split at every position and byte by byte, and
// must give the same messages, output and state each way.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "CaptureStdout.h"
#include "net/WSParser.h"

namespace {

// The opening handshake of RFC 6455, section 1.2.
const std::string sampleRequest =
    "GET /chat HTTP/1.1\r\n"
    "Host: server.example.com\r\n"
    "Upgrade: websocket\r\n"
    "Connection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
    "Origin: http://example.com\r\n"
    "Sec-WebSocket-Protocol: chat, superchat\r\n"
    "Sec-WebSocket-Version: 13\r\n"
    "\r\n";

std::string reply101(const std::string& accept) {
  return "HTTP/1.1 101 Switching Protocols\r\n"
         "Upgrade: websocket\r\n"
         "Connection: Upgrade\r\n"
         "Sec-WebSocket-Accept: " +
         accept + "\r\n\r\n";
}

const std::string sampleReply = reply101("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
const std::string reply400 = "HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n";

std::string requestWithLines(const std::vector<std::string>& lines) {
  std::string request = "GET / HTTP/1.1\r\n";
  for (const std::string& line : lines) request += line + "\r\n";
  return request + "\r\n";
}

// "81 05" -> the two bytes 0x81 0x05.
std::string hex(const char* text) {
  std::string bytes;
  unsigned value = 0;
  int digits = 0;
  for (const char* p = text;; ++p) {
    char c = *p;
    bool isDigit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (isDigit) {
      value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
      ++digits;
    } else if (digits != 0) {
      bytes += static_cast<char>(value);
      value = 0;
      digits = 0;
    }
    if (c == '\0') return bytes;
  }
}

// A client frame with the given first byte, masked with 37 fa 21 3d when asked.
std::string clientFrame(uint8_t first, const std::string& payload, bool masked) {
  const uint8_t mask[4] = {0x37, 0xfa, 0x21, 0x3d};
  std::string frame(1, static_cast<char>(first));
  uint8_t maskBit = masked ? 0x80 : 0;
  size_t n = payload.size();
  if (n < 126) {
    frame += static_cast<char>(maskBit | n);
  } else {
    frame += static_cast<char>(maskBit | 126);
    frame += static_cast<char>(n >> 8);
    frame += static_cast<char>(n & 0xFF);
  }
  if (!masked) return frame + payload;
  frame.append(reinterpret_cast<const char*>(mask), 4);
  for (size_t i = 0; i < n; ++i) frame += static_cast<char>(payload[i] ^ mask[i % 4]);
  return frame;
}

std::string pattern(size_t length) {
  std::string text;
  for (size_t i = 0; i < length; ++i) text += static_cast<char>('a' + i % 26);
  return text;
}

struct Outcome {
  std::vector<std::string> messages;
  std::string output;
  bool open;
  WSParser::State state;
  WSParser::FrameState frameState;
};

Outcome feedInPieces(const std::string& stream, const std::vector<size_t>& cuts) {
  WSParser parser([] { return int64_t{100}; });
  size_t from = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(stream.size());
  for (size_t end : ends) {
    parser.feed(reinterpret_cast<const uint8_t*>(stream.data()) + from, end - from);
    from = end;
  }
  Outcome outcome{{}, {}, parser.isOpen(), parser.currentState(), parser.currentFrameState()};
  for (const ByteBuffer& message : parser.receivedMessages()) outcome.messages.emplace_back(message.view());
  for (const ByteBuffer& bytes : parser.outputQueue()) outcome.output.append(bytes.view());
  return outcome;
}

int countOccurrences(const std::string& text, const std::string& word) {
  int count = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++count;
  return count;
}

struct StreamCase {
  const char* name;
  std::string stream;
  std::vector<std::string> messages;
  std::string output;
  bool open;
  std::string log;  // expected once per feeding, or "" for no protocol message
};

const char* const protocolLogs[] = {"Sending 400", "Closed by host", "bad opcode"};

void expectSameOutcomeHoweverSplit(const StreamCase& c) {
  SCOPED_TRACE(c.name);
  std::vector<std::vector<size_t>> splits = {{}};
  for (size_t at = 1; at < c.stream.size(); ++at) splits.push_back({at});
  std::vector<size_t> everyByte;
  for (size_t at = 1; at < c.stream.size(); ++at) everyByte.push_back(at);
  splits.push_back(everyByte);

  CaptureStdout capture;
  for (const std::vector<size_t>& cuts : splits) {
    Outcome outcome = feedInPieces(c.stream, cuts);
    std::string where = cuts.empty() ? "whole" : cuts.size() == 1 ? "cut at " + std::to_string(cuts[0]) : "bytewise";
    ASSERT_EQ(outcome.messages, c.messages) << where;
    ASSERT_EQ(outcome.output, c.output) << where;
    ASSERT_EQ(outcome.open, c.open) << where;
    if (!c.open && c.log != "Sending 400") {
      ASSERT_EQ(outcome.frameState, WSParser::FrameState::Closed) << where;
    }
  }
  std::string log = capture.text();
  if (!c.log.empty()) {
    EXPECT_EQ(countOccurrences(log, c.log), static_cast<int>(splits.size())) << log;
  }
  for (const char* other : protocolLogs) {
    if (c.log.find(other) == std::string::npos) {
      EXPECT_EQ(countOccurrences(log, other), 0) << other;
    }
  }
}

TEST(WSParser, HandshakeTable) {
  const std::string key62(62, 'A');
  const std::string longLine = "X-Filler: " + std::string(300, 'x');
  const StreamCase cases[] = {
      {"RFC 6455 sample", sampleRequest, {}, sampleReply, true, ""},
      {"header name in capitals",
       requestWithLines({"SEC-WEBSOCKET-KEY: dGhlIHNhbXBsZSBub25jZQ=="}),
       {},
       sampleReply,
       true,
       ""},
      {"two spaces after the colon keep one in the key",
       requestWithLines({"Sec-WebSocket-Key:  dGhlIHNhbXBsZSBub25jZQ=="}),
       {},
       reply101("s3mCG3XUBfFRrUGpYOBQiHm5i8g="),
       true,
       ""},
      {"bare line feeds", "GET / HTTP/1.1\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\n\n", {}, sampleReply, true,
       ""},
      {"62-character key", requestWithLines({"Sec-WebSocket-Key: " + key62}), {},
       reply101("+KjDXStDVi03taj2Lli1YBCTpFU="), true, ""},
      {"300-character line is skipped",
       requestWithLines({longLine, "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==", longLine}),
       {},
       sampleReply,
       true,
       ""},
      {"later key line wins",
       requestWithLines({"Sec-WebSocket-Key: " + key62, "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ=="}),
       {},
       sampleReply,
       true,
       ""},
      {"no key", requestWithLines({"Host: x", "Upgrade: websocket"}), {}, reply400, false, "Sending 400"},
      {"63-character key is ignored", requestWithLines({"Sec-WebSocket-Key: " + key62 + "A"}), {}, reply400, false,
       "Sending 400"},
      {"key in an over-long line is ignored", requestWithLines({"Sec-WebSocket-Key: " + std::string(300, 'k')}), {},
       reply400, false, "Sending 400"},
      {"name without its space", requestWithLines({"Sec-WebSocket-Key:dGhlIHNhbXBsZSBub25jZQ=="}), {}, reply400,
       false, "Sending 400"},
      {"bytes after a refused handshake are ignored",
       requestWithLines({}) + clientFrame(0x89, "ab", false),
       {},
       reply400,
       false,
       "Sending 400"},
  };
  for (const StreamCase& c : cases) expectSameOutcomeHoweverSplit(c);
}

TEST(WSParser, FrameTable) {
  const std::string long126 = pattern(126);
  const std::string long512 = pattern(512);
  const std::string long200 = pattern(200);
  const StreamCase cases[] = {
      {"unmasked text", sampleRequest + hex("81 05") + "hello", {"hello"}, sampleReply, true, ""},
      // RFC 6455, section 5.7: a masked "Hello".
      {"masked text of RFC 6455", sampleRequest + hex("81 85 37 fa 21 3d 7f 9f 4d 51 58"), {"Hello"}, sampleReply,
       true, ""},
      {"two texts in one stream, in order",
       sampleRequest + clientFrame(0x81, "{\"a\":1}", true) + clientFrame(0x81, "second", false),
       {"{\"a\":1}", "second"},
       sampleReply,
       true,
       ""},
      {"masked 126 bytes with a 16-bit length", sampleRequest + clientFrame(0x81, long126, true), {long126},
       sampleReply, true, ""},
      {"512 bytes is the longest text", sampleRequest + clientFrame(0x81, long512, false), {long512}, sampleReply,
       true, ""},
      {"513 bytes close silently", sampleRequest + clientFrame(0x81, pattern(513), true), {}, sampleReply, false, ""},
      {"64-bit length closes silently", sampleRequest + hex("81 7F 00 00 00 00 00 00 00 05") + "hello", {},
       sampleReply, false, ""},
      {"ping answered with its payload", sampleRequest + hex("89 02") + "ab", {}, sampleReply + hex("8A 02") + "ab",
       true, ""},
      // RFC 6455, section 5.7: a masked ping "Hello".
      {"masked ping of RFC 6455", sampleRequest + hex("89 85 37 fa 21 3d 7f 9f 4d 51 58"), {},
       sampleReply + hex("8A 05") + "Hello", true, ""},
      {"empty masked ping answered at once", sampleRequest + hex("89 80 01 02 03 04"), {},
       sampleReply + hex("8A 00"), true, ""},
      {"long ping gets a 16-bit pong", sampleRequest + clientFrame(0x89, long200, true), {},
       sampleReply + hex("8A 7E 00 C8") + long200, true, ""},
      {"empty text is an empty message", sampleRequest + hex("81 00") + clientFrame(0x81, "x", true), {"", "x"},
       sampleReply, true, ""},
      {"close frame", sampleRequest + clientFrame(0x81, "last", true) + hex("88 80 01 02 03 04 81 01") + "x",
       {"last"}, sampleReply, false, "Closed by host"},
      {"binary frame", sampleRequest + clientFrame(0x82, "bin", true), {}, sampleReply, false,
       "WS: bad opcode/flags 0x82 !"},
      {"fragment without FIN", sampleRequest + clientFrame(0x01, "frag", true) + clientFrame(0x80, "ment", true), {},
       sampleReply, false, "WS: bad opcode/flags 0x01 !"},
      {"continuation frame", sampleRequest + clientFrame(0x00, "c", false), {}, sampleReply, false,
       "WS: bad opcode/flags 0x00 !"},
      {"reserved bit set", sampleRequest + clientFrame(0xC1, "r", true), {}, sampleReply, false,
       "WS: bad opcode/flags 0xc1 !"},
      {"pong from the client", sampleRequest + clientFrame(0x8A, "", true), {}, sampleReply, false,
       "WS: bad opcode/flags 0x8a !"},
      {"client stops mid-frame", sampleRequest + clientFrame(0x81, "hello", true).substr(0, 8), {}, sampleReply, true,
       ""},
  };
  for (const StreamCase& c : cases) expectSameOutcomeHoweverSplit(c);
}

TEST(WSParser, ClosingStatesAreFinal) {
  WSParser parser([] { return int64_t{0}; });
  std::string stream = sampleRequest + clientFrame(0x81, pattern(513), true) + clientFrame(0x89, "ab", false);
  parser.feed(reinterpret_cast<const uint8_t*>(stream.data()), stream.size());
  EXPECT_EQ(parser.currentFrameState(), WSParser::FrameState::Closed);
  EXPECT_FALSE(parser.isOpen());
  EXPECT_EQ(parser.outputQueue().size(), 1u) << "only the handshake reply, no pong";
}

TEST(WSParser, LastActivityFollowsBytesWhileOpen) {
  int64_t now = 1000;
  WSParser parser([&now] { return now; });
  EXPECT_EQ(parser.lastActivitySeconds(), 1000);
  EXPECT_EQ(parser.idleLimitSeconds(), 30);

  now = 1010;
  parser.feed(reinterpret_cast<const uint8_t*>(sampleRequest.data()), sampleRequest.size());
  EXPECT_EQ(parser.lastActivitySeconds(), 1010);
  now = 1020;
  parser.feed(nullptr, 0);
  EXPECT_EQ(parser.lastActivitySeconds(), 1010) << "an empty read is no activity";
  EXPECT_FALSE(parser.idleAt(1040)) << "30 s after the last byte is still within the limit";
  EXPECT_TRUE(parser.idleAt(1041));

  std::string close = hex("88 00");
  parser.feed(reinterpret_cast<const uint8_t*>(close.data()), close.size());
  now = 1030;
  parser.feed(reinterpret_cast<const uint8_t*>(close.data()), close.size());
  EXPECT_EQ(parser.lastActivitySeconds(), 1020) << "a closed parser takes no activity";
}

TEST(WSParser, SendTextFrames) {
  struct Case {
    size_t length;
    std::string header;  // empty: nothing queued
  };
  const Case cases[] = {
      {0, ""},
      {5, hex("81 05")},
      {125, hex("81 7D")},
      {126, hex("81 7E 00 7E")},
      {65531, hex("81 7E FF FB")},  // the largest frame a ByteBuffer holds
      {65532, ""},
      {70000, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    WSParser parser([] { return int64_t{0}; });
    std::string text = pattern(c.length);
    CaptureStdout capture;
    parser.sendText(text);
    if (c.header.empty()) {
      EXPECT_TRUE(parser.outputQueue().empty());
      EXPECT_EQ(countOccurrences(capture.text(), "too long"), c.length == 0 ? 0 : 1) << capture.text();
      continue;
    }
    ASSERT_EQ(parser.outputQueue().size(), 1u);
    EXPECT_EQ(parser.outputQueue().front().view(), c.header + text);
  }
}

}  // namespace
