#include "net/sim800/cmux.h"

#include <algorithm>
#include <utility>

#include "core/Log.h"

namespace Cmux {
namespace {

constexpr uint8_t crcStart = 0xFF;
constexpr uint8_t crcPolynomial = 0xE0;  // x^8 + x^2 + x + 1, reflected
// A two-octet length field carries 15 bits.
constexpr size_t maxSendLength = 0x7FFF;

uint8_t crcStep(uint8_t crc, uint8_t octet) {
  crc ^= octet;
  for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? static_cast<uint8_t>((crc >> 1) ^ crcPolynomial) : crc >> 1;
  return crc;
}

// UIH frames (with or without the poll/final bit) check the header only.
bool isUih(uint8_t control) { return (control & ~0x10) == controlUih; }

}  // namespace

uint8_t fcs(const uint8_t* octets, size_t count) {
  uint8_t crc = crcStart;
  for (size_t i = 0; i < count; ++i) crc = crcStep(crc, octets[i]);
  return static_cast<uint8_t>(0xFF - crc);
}

std::vector<uint8_t> encodeFrame(uint8_t channel, const uint8_t* bytes, size_t length) {
  std::vector<uint8_t> frame;
  if (length > maxSendLength) return frame;
  frame.reserve(length + 7);
  frame.push_back(flag);
  frame.push_back(static_cast<uint8_t>(channel << 2 | 1));
  frame.push_back(controlUih);
  if (length < 128) {
    frame.push_back(static_cast<uint8_t>(length << 1 | 1));
  } else {
    frame.push_back(static_cast<uint8_t>((length % 128) << 1));
    frame.push_back(static_cast<uint8_t>(length / 128));
  }
  uint8_t check = fcs(frame.data() + 1, frame.size() - 1);
  frame.insert(frame.end(), bytes, bytes + length);
  frame.push_back(check);
  frame.push_back(flag);
  return frame;
}

const std::vector<uint8_t>& openingFrames() {
  static const std::vector<uint8_t> frames = [] {
    std::vector<uint8_t> all;
    for (uint8_t channel = 0; channel < 4; ++channel) {
      uint8_t header[3] = {static_cast<uint8_t>(channel << 2 | 3), controlSabm, 0x01};
      all.insert(all.end(), {flag, header[0], header[1], header[2], fcs(header, 3), flag});
    }
    return all;
  }();
  return frames;
}

void CmuxDecoder::reset() {
  current = State::Idle;
  frameChannel = 0;
  headerLength = 0;
  length = 0;
  frameBytes.clear();
  garbageReported = false;
}

bool CmuxDecoder::inFrame() const {
  return current != State::Idle && current != State::Address && current != State::Skip;
}

void CmuxDecoder::startError(uint8_t byte) {
  // One line per run of garbage: a line full of noise would otherwise log
  // every byte.
  if (garbageReported) return;
  garbageReported = true;
  LOGW("start error :%d", byte);
}

bool CmuxDecoder::push(uint8_t byte, int64_t nowSeconds) {
  switch (current) {
    case State::Idle:
      if (byte == flag) {
        current = State::Address;
        garbageReported = false;
      } else {
        startError(byte);
      }
      return false;
    case State::Skip:
      if (byte == flag) current = State::Address;
      return false;
    case State::Address:
      if (byte == flag) return false;  // repeated flags
      frameChannel = static_cast<uint8_t>(byte >> 2);
      if (frameChannel >= channelCount) {
        LOGW("Frame for channel %u ignored", static_cast<unsigned>(frameChannel));
        current = State::Skip;
        return false;
      }
      header[0] = byte;
      headerLength = 1;
      frameStart = nowSeconds;
      current = State::Control;
      return false;
    case State::Control:
      header[headerLength++] = byte;
      current = State::Length;
      return false;
    case State::Length:
      header[headerLength++] = byte;
      length = byte >> 1;
      if ((byte & 1) == 0) {
        current = State::Length2;
        return false;
      }
      break;
    case State::Length2:
      header[headerLength++] = byte;
      length |= static_cast<size_t>(byte) << 7;
      if (length > maxPayload) {
        LOGW("Frame of %zu bytes dropped", length);
        current = State::Skip;
        return false;
      }
      break;
    case State::Payload:
      frameBytes.push_back(byte);
      if (frameBytes.size() == length) current = State::Fcs;
      return false;
    case State::Fcs: {
      uint8_t crc = crcStart;
      for (size_t i = 0; i < headerLength; ++i) crc = crcStep(crc, header[i]);
      if (!isUih(header[1])) {
        for (uint8_t octet : frameBytes) crc = crcStep(crc, octet);
      }
      fcsGood = static_cast<uint8_t>(0xFF - crc) == byte;
      if (!fcsGood) LOGW("FCS error");
      current = State::Close;
      return false;
    }
    case State::Close:
      if (byte != flag) {
        LOGW("end error");
        current = State::Idle;
        return false;
      }
      // Every frame of the modem has its own opening flag: a byte after the
      // closing flag that is not one is garbage, never an address.
      current = State::Idle;
      return fcsGood;
  }
  // The length is known.
  frameBytes.clear();
  frameBytes.reserve(length);
  current = length == 0 ? State::Fcs : State::Payload;
  return false;
}

bool CmuxDecoder::expire(int64_t nowSeconds) {
  if (!inFrame() || nowSeconds - frameStart < payloadLimitSeconds) return false;
  LOGW("Frame cut off after %zu of %zu bytes, dropped", frameBytes.size(), length);
  reset();
  return true;
}

void handleControl(const uint8_t* payload, size_t length, ReadySignals& signals) {
  for (size_t i = 0; i + 4 <= length; i += 4) {
    if (payload[i] != modemStatusCommand) continue;
    uint8_t address = payload[i + 2];
    bool ready = (payload[i + 3] & readyToReceive) != 0;
    if (address >= 8 && address <= 11) signals.ready2 = ready;
    if (address >= 12 && address <= 15) signals.ready3 = ready;
  }
}

Multiplexer::Multiplexer(Links multiplexerLinks) : links(std::move(multiplexerLinks)) {}

void Multiplexer::startMux() {
  static const char command[] = "\r\nAT+CMUX=0\r\n";
  demux.reset();
  inputAt = inputLength = 0;
  links.port->send(reinterpret_cast<const uint8_t*>(command), sizeof command - 1);
  links.sleep(2000);
  // The modem's "OK" to the switch is not a frame.
  links.port->flushInput();
  ready = {};
  const std::vector<uint8_t>& frames = openingFrames();
  links.port->send(frames.data(), frames.size());
  links.sleep(20);
}

void Multiplexer::sendFrame(uint8_t channel, const void* bytes, size_t length) {
  std::vector<uint8_t> frame = encodeFrame(channel, static_cast<const uint8_t*>(bytes), length);
  if (frame.empty()) {
    LOGW("Frame of %zu bytes not sent", length);
    return;
  }
  links.port->writeAll(frame.data(), frame.size());
}

ByteBuffer Multiplexer::readAtText() {
  size_t budget = readBudget;
  int64_t now = links.seconds();
  for (;;) {
    while (inputAt < inputLength) {
      if (!demux.push(input[inputAt++], now)) continue;
      const std::vector<uint8_t>& payload = demux.payload();
      switch (demux.channel()) {
        case 0: handleControl(payload.data(), payload.size(), ready); break;
        case 1:
          if (!payload.empty()) return ByteBuffer(payload.data(), static_cast<uint16_t>(payload.size()));
          break;
        case 2:
          if (links.dataCall) links.dataCall(payload.data(), payload.size());
          break;
        default: break;
      }
    }
    if (budget == 0) return {};
    now = links.seconds();
    demux.expire(now);
    uint16_t got = links.port->read(input, static_cast<uint16_t>(std::min(readBlock, budget)));
    inputAt = 0;
    inputLength = got;
    if (got == 0) return {};
    budget -= got;
  }
}

}  // namespace Cmux
