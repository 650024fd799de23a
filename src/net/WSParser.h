#pragma once
// Server side of the WebSocket protocol (RFC 6455) for one TCP connection,
// reduced to what the local API needs: the opening handshake, unfragmented
// text frames of up to 512 bytes from the client, ping answered by pong, and
// text frames to the client. A pure byte-stream state machine: the owner
// feeds it whatever arrived on the socket and writes out whatever it queued.
//
//   feed("GET / HTTP/1.1\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n")
//     -> sendQueue: "HTTP/1.1 101 Switching Protocols\r\n...Sec-WebSocket-Accept:
//        s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n"
//   feed(81 05 "hello")          -> received: "hello"
//   feed(89 82 m0 m1 m2 m3 ...)  -> sendQueue: 8A 02 + the unmasked ping payload
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include "core/ByteBuffer.h"

class WSParser {
 public:
  enum class State { Start, Header, FrameHeader, MaskKey, Payload };
  enum class FrameState { FirstByte, Length, ExtLengthLow, ExtLengthHigh, Complete, Closed };

  // Whole seconds of a monotonic clock.
  using SecondsClock = std::function<int64_t()>;

  // Longest text frame a client may send.
  static constexpr uint32_t maxPayload = 512;
  // A client must complete its opening handshake this long after it was
  // accepted, and each frame this long after its first byte; a client that
  // trickles bytes would otherwise hold its place for good.
  static constexpr int32_t handshakeLimitSeconds = 10;
  static constexpr int32_t frameLimitSeconds = 10;
  // Longest opening request (all its lines) before the empty line.
  static constexpr uint32_t maxRequestBytes = 4096;

  explicit WSParser(SecondsClock clock);

  // Consumes received bytes; may append to the received and send queues and
  // may end the connection (isOpen() false or frame state Closed).
  void feed(const uint8_t* bytes, size_t length);
  // Queues one text frame; an empty text queues nothing, and a text whose frame
  // would not fit a ByteBuffer is dropped with a warning.
  void sendText(std::string_view text);

  bool isOpen() const { return open; }
  // The 101 reply has been queued: frames flow from now on.
  bool handshakeDone() const { return state != State::Start && state != State::Header; }
  State currentState() const { return state; }
  FrameState currentFrameState() const { return frameState; }

  int64_t lastActivitySeconds() const { return lastActivity; }
  int32_t idleLimitSeconds() const { return idleLimit; }
  void setIdleLimit(int32_t seconds) { idleLimit = seconds; }
  // No byte arrived for longer than the idle limit.
  bool idleAt(int64_t now) const { return lastActivity + idleLimit < now; }
  // Why the connection must end at `now` although the protocol is fine: the
  // handshake or a frame took too long. Null while neither holds.
  const char* overdueAt(int64_t now) const;
  // Why the parser closed the connection itself, when it was for a limit of
  // its own (an over-long request); null otherwise.
  const char* failure() const { return failureReason; }
  // The last second that is still on time for every limit: at the next
  // second the idle limit, the handshake limit or the frame limit ends the
  // connection unless a byte (or the missing bytes) came meanwhile.
  int64_t lastSecondOnTime() const;

  // Complete text messages from the client, oldest first; the owner takes them.
  std::deque<ByteBuffer>& receivedMessages() { return received; }
  // Bytes to write to the socket, oldest first; the owner takes them.
  std::deque<ByteBuffer>& outputQueue() { return sendQueue; }

 private:
  void startHeader();
  void headerByte(uint8_t byte);
  void endHeaderLine();
  void frameHeaderByte(uint8_t byte);
  void stepFrameHeader(uint8_t byte);
  void maskKeyByte(uint8_t byte);
  size_t payloadBytes(const uint8_t* bytes, size_t length);
  void startPayload();
  void finishPayload();
  void queueFrame(uint8_t operation, const uint8_t* payload, size_t length);

  SecondsClock now;
  int64_t acceptedAt;
  // Bytes of the opening request so far.
  uint32_t requestBytes = 0;
  // A frame's first byte came and the frame is not complete yet.
  bool frameStarted = false;
  int64_t frameStartedAt = 0;
  const char* failureReason = nullptr;
  uint8_t maskKey[4] = {};
  std::string key;
  uint32_t count = 0;
  ByteBuffer buffer;
  bool open = true;
  int64_t lastActivity;
  int32_t idleLimit = 30;
  std::deque<ByteBuffer> received;
  std::deque<ByteBuffer> sendQueue;
  State state = State::Start;
  FrameState frameState = FrameState::FirstByte;
  bool masked = false;
  bool isPing = false;
  uint32_t payloadLength = 0;
};
