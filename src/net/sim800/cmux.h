#pragma once
// The host side of the 3GPP TS 27.010 (GSM 07.10) multiplexer, basic option,
// as the modem controller uses it: four channels on the modem's one serial
// line (0 control, 1 AT commands, 2 the data call, 3 opened and unused), UIH
// frames for data.
//
// Frame: F9, address (channel * 4 + 1 sent: EA bit set, C/R clear), control
// (EF: UIH; 3F: SABM with poll), length (n * 2 + 1 below 128 bytes; else
// (n % 128) * 2 then n / 128), n bytes, FCS, F9. The FCS is the TS 27.010
// CRC-8 (reflected polynomial 0xE0, start 0xFF, complemented) over address,
// control and length; for frames other than UIH it covers the information
// too.
//
//   sendFrame(1, "AT+CSQ\r\n", 8) -> F9 05 EF 11 41 54 2B 43 53 51 0D 0A 4A F9
//
// Received frames are taken only whole: the FCS and the closing flag are
// checked before the payload is handed on, so a damaged frame is dropped
// ("FCS error") instead of being read as an AT answer or PPP data.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/ByteBuffer.h"
#include "platform/SerialPort.h"

namespace Cmux {

constexpr uint8_t flag = 0xF9;
constexpr uint8_t controlUih = 0xEF;
constexpr uint8_t controlSabm = 0x3F;
// Modem status command of the control channel (TS 27.010 5.4.6.3.7).
constexpr uint8_t modemStatusCommand = 0xE3;
// Ready to receive in the V.24 signal octet of a modem status command.
constexpr uint8_t readyToReceive = 0x08;
// Longest payload taken from the modem; a frame announcing more is dropped.
constexpr size_t maxPayload = 2048;
// A frame whose rest does not arrive within this time is dropped.
constexpr int64_t payloadLimitSeconds = 10;
// Channels a frame may be addressed to (0 to 4); others are ignored.
constexpr uint8_t channelCount = 5;

// The TS 27.010 frame check sequence of the given octets.
uint8_t fcs(const uint8_t* octets, size_t count);

// One UIH frame carrying `length` bytes on `channel`.
std::vector<uint8_t> encodeFrame(uint8_t channel, const uint8_t* bytes, size_t length);

// The four SABM frames that open channels 0 to 3, 24 octets.
const std::vector<uint8_t>& openingFrames();

// Receive state, fed one byte at a time.
class CmuxDecoder {
 public:
  enum class State { Idle, Address, Control, Length, Length2, Payload, Fcs, Close, Skip };

  // Back to Idle, nothing received.
  void reset();
  // Takes the next byte; true when it completed a frame with a good FCS and
  // closing flag, whose channel() and payload() stay valid until the next
  // push. `nowSeconds` dates the start of a frame for expired().
  bool push(uint8_t byte, int64_t nowSeconds = 0);
  // Between the address octet and the closing flag of a frame.
  bool inFrame() const;
  // A frame began more than payloadLimitSeconds before `nowSeconds` and is
  // still incomplete: it is dropped (logged) and the decoder reset. True
  // when it dropped one.
  bool expire(int64_t nowSeconds);

  State state() const { return current; }
  uint8_t channel() const { return frameChannel; }
  const std::vector<uint8_t>& payload() const { return frameBytes; }

 private:
  void startError(uint8_t byte);

  State current = State::Idle;
  uint8_t frameChannel = 0;
  uint8_t header[4] = {};
  size_t headerLength = 0;
  size_t length = 0;
  std::vector<uint8_t> frameBytes;
  int64_t frameStart = 0;
  bool fcsGood = false;
  // Garbage is reported once per run of bytes between flags.
  bool garbageReported = false;
};

// Ready-to-receive of channels 2 and 3, as the modem last reported them.
struct ReadySignals {
  bool ready2 = false;
  bool ready3 = false;
};

// A control-channel payload: every modem status command (E3 05 <address>
// <signals>) for channel 2 or 3 sets that channel's flag to the signals'
// ready-to-receive bit. E3 05 0B 8D: channel 2 ready; E3 05 0B 85: not.
void handleControl(const uint8_t* payload, size_t length, ReadySignals& signals);

// The multiplexer on one serial line. Used by the modem thread only.
class Multiplexer {
 public:
  struct Links {
    Platform::SerialPort* port = nullptr;
    // Whole seconds of the coarse monotonic clock.
    std::function<int64_t()> seconds;
    // Pauses the thread; the controller's sleep, cut short at a stop.
    std::function<void(int milliseconds)> sleep;
    // Channel 2 payloads: the data call.
    std::function<void(const uint8_t* bytes, size_t length)> dataCall;
  };

  explicit Multiplexer(Links links);

  // Switches the modem into multiplexer mode ("AT+CMUX=0"), waits 2 s,
  // drops the modem's answer and opens channels 0 to 3; their
  // acknowledgements are not awaited.
  void startMux();
  // One UIH frame in one write, without waiting for it to be transmitted.
  void sendFrame(uint8_t channel, const void* bytes, size_t length);
  // The next complete channel-1 payload, or an empty buffer when the line
  // has nothing more for now. Channel 0 and 2 frames met on the way are
  // served on the spot. Reads at most readBudget bytes per call, so a line
  // busy with data cannot hold the caller.
  ByteBuffer readAtText();
  // Bytes read from the line and not yet decoded: the caller must come back
  // without waiting for the line.
  bool hasPendingInput() const { return inputAt < inputLength; }

  const ReadySignals& signals() const { return ready; }
  CmuxDecoder& decoder() { return demux; }

  static constexpr size_t readBlock = 512;
  static constexpr size_t readBudget = 16 * readBlock;

 private:
  Links links;
  CmuxDecoder demux;
  ReadySignals ready;
  uint8_t input[readBlock] = {};
  size_t inputLength = 0;
  size_t inputAt = 0;
};

}  // namespace Cmux
