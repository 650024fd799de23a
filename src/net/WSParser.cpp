#include "net/WSParser.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "core/Log.h"
#include "net/Base64.h"
#include "net/Sha1.h"

namespace {

// Header lines are kept up to 255 characters in a 256-byte buffer.
constexpr uint16_t lineBufferSize = 256;
constexpr uint32_t maxLineCharacters = lineBufferSize - 1;

// The header name is compared together with exactly one space.
constexpr std::string_view keyHeader = "sec-websocket-key: ";
// Longest key kept; a longer one is ignored.
constexpr size_t maxKeyLength = 62;

// RFC 6455, section 1.3: appended to the client's key before hashing.
constexpr std::string_view acceptGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

constexpr std::string_view badRequest = "HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n";

// RFC 6455, section 5.2: first byte = FIN, RSV1-3, opcode.
constexpr uint8_t finalText = 0x81;
constexpr uint8_t finalPing = 0x89;
constexpr uint8_t finalPong = 0x8A;
constexpr uint8_t finalClose = 0x88;
// Clears the bit that tells ping (0x9) from text (0x1).
constexpr uint8_t pingOrTextMask = 0xF7;

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

std::string acceptValue(const std::string& key) {
  std::string joined = key;
  joined += acceptGuid;
  Sha1Digest digest = sha1(joined.data(), joined.size());
  return base64Encode(digest.data(), digest.size());
}

}  // namespace

WSParser::WSParser(SecondsClock clock) : now(std::move(clock)), acceptedAt(now()), lastActivity(acceptedAt) {}

const char* WSParser::overdueAt(int64_t current) const {
  if (!handshakeDone() && acceptedAt + handshakeLimitSeconds < current) return "handshake not complete after 10 s";
  if (frameStarted && frameStartedAt + frameLimitSeconds < current) return "frame not complete after 10 s";
  return nullptr;
}

int64_t WSParser::lastSecondOnTime() const {
  int64_t last = lastActivity + idleLimit;
  if (!handshakeDone()) last = std::min<int64_t>(last, acceptedAt + handshakeLimitSeconds);
  if (frameStarted) last = std::min<int64_t>(last, frameStartedAt + frameLimitSeconds);
  return last;
}

void WSParser::feed(const uint8_t* bytes, size_t length) {
  if (length != 0 && open) lastActivity = now();
  size_t at = 0;
  while (open && at < length) {
    switch (state) {
      case State::Start:
        startHeader();  // the byte is handled in Header
        break;
      case State::Header:
        if (++requestBytes > maxRequestBytes) {
          failureReason = "request over 4 KiB without its end";
          open = false;
          break;
        }
        headerByte(bytes[at++]);
        break;
      case State::FrameHeader:
        if (!frameStarted) {
          frameStarted = true;
          frameStartedAt = now();
        }
        frameHeaderByte(bytes[at++]);
        break;
      case State::MaskKey:
        maskKeyByte(bytes[at++]);
        break;
      case State::Payload:
        at += payloadBytes(bytes + at, length - at);
        break;
    }
  }
}

void WSParser::startHeader() {
  buffer = ByteBuffer(lineBufferSize);
  count = 0;
  key.clear();
  state = State::Header;
}

void WSParser::headerByte(uint8_t byte) {
  if (byte == '\r') return;
  if (byte == '\n') {
    endHeaderLine();
    return;
  }
  if (count < maxLineCharacters) buffer.data()[count++] = byte;
}

void WSParser::endHeaderLine() {
  std::string_view line(reinterpret_cast<const char*>(buffer.data()), count);
  count = 0;
  if (startsWithIgnoringCase(line, keyHeader)) {
    std::string_view value = line.substr(keyHeader.size());
    if (value.size() <= maxKeyLength) key.assign(value);
    return;
  }
  if (!line.empty()) return;  // every other header line is ignored

  buffer = ByteBuffer();
  if (key.empty()) {
    LOGW("Sending 400");
    sendQueue.emplace_back(badRequest.data(), static_cast<uint16_t>(badRequest.size()));
    open = false;
    return;
  }
  std::string reply =
      "HTTP/1.1 101 Switching Protocols\r\n"
      "Upgrade: websocket\r\n"
      "Connection: Upgrade\r\n"
      "Sec-WebSocket-Accept: ";
  reply += acceptValue(key);
  reply += "\r\n\r\n";
  sendQueue.emplace_back(reply.data(), static_cast<uint16_t>(reply.size()));
  state = State::FrameHeader;
  frameState = FrameState::FirstByte;
}

void WSParser::frameHeaderByte(uint8_t byte) {
  stepFrameHeader(byte);
  if (frameState == FrameState::Closed) {
    open = false;
  } else if (frameState == FrameState::Complete) {
    buffer = ByteBuffer(static_cast<uint16_t>(payloadLength));
    count = 0;
    if (masked) {
      state = State::MaskKey;
    } else {
      startPayload();
    }
  }
}

// One byte of the frame header (RFC 6455, section 5.2). Only final text and
// ping frames are served; anything else ends the connection.
//   81 05          -> text, 5 bytes, unmasked
//   89 80          -> ping, 0 bytes, masked
//   81 FE 01 00    -> text, 256 bytes, masked
void WSParser::stepFrameHeader(uint8_t byte) {
  switch (frameState) {
    case FrameState::FirstByte:
      if ((byte & pingOrTextMask) == finalText) {
        isPing = byte == finalPing;
        frameState = FrameState::Length;
        return;
      }
      frameState = FrameState::Closed;
      if (byte == finalClose) {
        LOGI("Closed by host\n");
      } else {
        LOGW("WS: bad opcode/flags 0x%02x !", static_cast<unsigned>(byte));
      }
      return;
    case FrameState::Length: {
      masked = (byte & 0x80) != 0;
      uint32_t length = byte & 0x7F;
      if (length < 126) {
        payloadLength = length;
        frameState = FrameState::Complete;
      } else if (length == 126) {
        frameState = FrameState::ExtLengthHigh;
      } else {
        frameState = FrameState::Closed;  // 64-bit lengths are never needed here
      }
      return;
    }
    case FrameState::ExtLengthHigh:
      payloadLength = static_cast<uint32_t>(byte) * 256;
      frameState = FrameState::ExtLengthLow;
      return;
    case FrameState::ExtLengthLow:
      payloadLength += byte;
      frameState = payloadLength <= maxPayload ? FrameState::Complete : FrameState::Closed;
      return;
    case FrameState::Complete:
    case FrameState::Closed:
      return;
  }
}

void WSParser::maskKeyByte(uint8_t byte) {
  maskKey[count++] = byte;
  if (count == 4) {
    count = 0;
    startPayload();
  }
}

void WSParser::startPayload() {
  state = State::Payload;
  // An empty payload is complete at once: an empty ping is answered without
  // waiting for the client's next frame.
  if (payloadLength == 0) finishPayload();
}

size_t WSParser::payloadBytes(const uint8_t* bytes, size_t length) {
  size_t take = std::min<size_t>(payloadLength - count, length);
  std::memcpy(buffer.data() + count, bytes, take);
  count += static_cast<uint32_t>(take);
  if (count == payloadLength) finishPayload();
  return take;
}

void WSParser::finishPayload() {
  if (masked) {
    for (uint32_t j = 0; j < payloadLength; ++j) buffer.data()[j] ^= maskKey[j % 4];
  }
  if (isPing) {
    queueFrame(finalPong, buffer.data(), payloadLength);
    buffer = ByteBuffer();
  } else {
    received.push_back(std::move(buffer));
  }
  state = State::FrameHeader;
  frameState = FrameState::FirstByte;
  frameStarted = false;
}

void WSParser::sendText(std::string_view text) {
  if (text.empty()) return;
  queueFrame(finalText, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Server frames (RFC 6455, section 5.2) are never masked:
//   n < 126:  op, n, payload
//   else:     op, 126, n >> 8, n & 0xFF, payload
void WSParser::queueFrame(uint8_t operation, const uint8_t* payload, size_t length) {
  size_t headerLength = length < 126 ? 2 : 4;
  if (headerLength + length > ByteBuffer::maxLength) {
    LOGW("WS: frame of %zu bytes too long, dropped", length);
    return;
  }
  ByteBuffer frame(static_cast<uint16_t>(headerLength + length));
  uint8_t* out = frame.data();
  out[0] = operation;
  if (headerLength == 2) {
    out[1] = static_cast<uint8_t>(length);
  } else {
    out[1] = 126;
    out[2] = static_cast<uint8_t>(length >> 8);
    out[3] = static_cast<uint8_t>(length & 0xFF);
  }
  if (length != 0) std::memcpy(out + headerLength, payload, length);
  sendQueue.push_back(std::move(frame));
}
