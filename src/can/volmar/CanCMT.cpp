#include "can/volmar/CanCMT.h"

#include <cstring>
#include <utility>

#include "can/volmar/CmtIdentifier.h"
#include "can/volmar/PRdata.h"
#include "core/Crc16.h"
#include "core/LittleEndian.h"
#include "core/Log.h"

namespace {

// Service reports: the code in data byte 0 of a frame whose low nine
// identifier bits are 0x5F.
constexpr uint8_t versionReport = 0x02;
constexpr uint8_t bootloaderReport = 0x04;
constexpr uint8_t lengthReport = 0x08;
constexpr uint8_t crcReport = 0x10;

size_t dataLength(const CanFrame& frame) { return frame.length < CanFrame::maxLength ? frame.length : CanFrame::maxLength; }

// Data byte i, or 0 past the frame's data length.
uint8_t byteAt(const CanFrame& frame, size_t i) { return i < dataLength(frame) ? frame.data[i] : 0; }

// The four bytes from i on, least significant first; bytes past the frame's
// data length count 0.
uint32_t littleEndian32At(const CanFrame& frame, size_t i) {
  size_t length = dataLength(frame);
  return i < length ? static_cast<uint32_t>(littleEndian(frame.data + i, length - i < 4 ? length - i : 4)) : 0;
}

}  // namespace

CanCMT::CanCMT(Clock clock, FrameSink frameSink) : now(std::move(clock)), sink(std::move(frameSink)) {
  LOGI("Can CMT Protocol started");
}

void CanCMT::onFrame(const CanFrame& frame) {
  uint32_t identifier = frame.identifier();
  uint32_t address = CmtIdentifier::address(identifier);
  if ((identifier & CmtIdentifier::lowBitsMask) == CmtIdentifier::serviceLowBits &&
      handleServiceFrame(frame, address)) {
    return;
  }
  if (handleSerialAnnouncement(frame, address)) return;
  reassemble(frame, identifier);
}

// Layout of the service reports (byte 0 is the code):
//   0x02 version     byte 6 months since January 2021, byte 7 build
//   0x04 bootloader  byte 7 state code
//   0x08 FW length   byte 1 sub-code (0x11 expected, 0x22 received), bytes 2-5 length, little-endian
//   0x10 FW CRC      byte 1 sub-code (0x11 match, 0x22 mismatch, 0x33 received), bytes 2-5 CRC, little-endian
bool CanCMT::handleServiceFrame(const CanFrame& frame, uint32_t address) {
  uint8_t code = byteAt(frame, 0);
  if (code != versionReport && code != bootloaderReport && code != lengthReport && code != crcReport) return false;
  PREntry* entry = prs.find(address);
  if (code == versionReport) {
    PRdata::onVersionReport(prs, address, byteAt(frame, 6), byteAt(frame, 7));
    return true;
  }
  if (entry != nullptr) prs.markAlive(*entry);

  if (code == bootloaderReport) {
    bool inBootloader = entry != nullptr && entry->inBootloader;
    switch (byteAt(frame, 7)) {
      case 0x11:
        LOGD("PR 0x%X in bootloader", static_cast<unsigned>(address));
        inBootloader = true;
        break;
      case 0x22:
        LOGD("PR exited bootloader");
        inBootloader = false;
        break;
      case 0x33:
        LOGW("PR restarted from Watchdog");
        break;
      case 0x44:
        LOGD("PR succesfully updated FW");
        inBootloader = false;
        break;
      case 0x66:
        LOGD("PR started update");
        inBootloader = false;
        break;
      case 0x88:
        LOGD("PR finished uploading data");
        inBootloader = false;
        break;
      default:
        break;
    }
    if (entry != nullptr && entry->inBootloader != inBootloader) {
      entry->inBootloader = inBootloader;
      prs.setChanged();
    }
    return true;
  }

  uint8_t subCode = byteAt(frame, 1);
  uint32_t value = littleEndian32At(frame, 2);
  if (code == lengthReport) {
    if (subCode == 0x11) LOGD("PR expected FW length: %d", static_cast<int>(value));
    if (subCode == 0x22) LOGD("PR received FW length: %d", static_cast<int>(value));
    return true;
  }
  switch (subCode) {
    case 0x11:
      LOGD("PR calculated CRC: 0x%X", static_cast<unsigned>(value));
      LOGD("CRC matches");
      break;
    case 0x22:
      LOGD("PR calculated CRC: 0x%X", static_cast<unsigned>(value));
      LOGW("CRC does't match!");
      break;
    case 0x33:
      LOGD("PR received CRC: 0x%X", static_cast<unsigned>(value));
      break;
    default:
      break;
  }
  return true;
}

// A PR announces its serial in a frame of eight data bytes, the serial least
// significant byte first, whose low 20 bits are the PR's address.
bool CanCMT::handleSerialAnnouncement(const CanFrame& frame, uint32_t address) {
  if (dataLength(frame) != 8) return false;
  if ((littleEndian32At(frame, 0) & CmtIdentifier::addressMask) != address) return false;
  uint64_t serial = littleEndian32At(frame, 0) | static_cast<uint64_t>(littleEndian32At(frame, 4)) << 32;
  PRdata::onSerialAnnouncement(prs, address, serial);
  return true;
}

// Part i fills bytes 8i to 8i + 7; the last part fixes the length:
// parts 0, 1 and 2 (last, 5 bytes) make a message of 21 bytes.
void CanCMT::reassemble(const CanFrame& frame, uint32_t identifier) {
  uint32_t key = CmtIdentifier::key(identifier);
  PartialMessage* message = nullptr;
  for (PartialMessage& partial : partials) {
    if (partial.key == key) {
      message = &partial;
      break;
    }
  }
  if (message == nullptr) {
    partials.emplace_back();
    message = &partials.back();
    message->key = key;
    message->createdAt = now();
  }

  uint32_t part = CmtIdentifier::partIndex(identifier);
  size_t length = dataLength(frame);
  // 31 * 8 + 8 = 256: every part lands inside the buffer.
  std::memcpy(message->buffer + 8 * part, frame.data, length);
  message->parts |= 1u << part;
  if (CmtIdentifier::isLastPart(identifier)) message->length = static_cast<uint16_t>(length + 8 * part);
  if (message->length == 0) return;

  uint32_t partsNeeded = (message->length + 7u) / 8u;
  uint32_t needed = partsNeeded >= 32 ? 0xFFFFFFFFu : (1u << partsNeeded) - 1u;
  if ((message->parts & needed) != needed) return;

  complete(*message);
  partials.erase(partials.begin() + (message - partials.data()));
}

void CanCMT::complete(const PartialMessage& message) {
  uint32_t address = CmtIdentifier::keyAddress(message.key);
  size_t length = message.length;
  // The CRC covers the packet and itself, not the RSSI byte; a message too
  // short to hold a CRC fails as well.
  if (length < 3 || crc16Modbus(message.buffer + 1, length - 1) != 0) {
    LOGW("CMT crc error %05X/%X len=%d", static_cast<unsigned>(address),
         static_cast<unsigned>(CmtIdentifier::keySequence(message.key)), static_cast<int>(length));
    return;
  }
  PRMessage received;
  received.receivedAt = now();
  received.packetLength = static_cast<uint16_t>(length - 3);
  std::memcpy(received.packet.data(), message.buffer + 1, received.packetLength);
  received.packetCrc = littleEndian16(message.buffer + length - 2);
  received.bestPR = received.worstPR = address;
  received.bestRssi = received.worstRssi = static_cast<int8_t>(message.buffer[0]);
  prFilter.add(received);
}

void CanCMT::tick() {
  prFilter.process(now(), [this](const PRMessage& message) { PRdata::process(message, *this); });
  expireParts();
}

void CanCMT::expireParts() {
  int64_t time = now();
  size_t i = 0;
  while (i < partials.size()) {
    const PartialMessage& message = partials[i];
    if (time - message.createdAt <= partTimeoutMilliseconds) {
      ++i;
      continue;
    }
    LOGI("Remove %05X/%X parts=%08X len=%d", static_cast<unsigned>(CmtIdentifier::keyAddress(message.key)),
         static_cast<unsigned>(CmtIdentifier::keySequence(message.key)), static_cast<unsigned>(message.parts),
         static_cast<int>(message.length));
    partials.erase(partials.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

int64_t CanCMT::nextDeadline() const {
  int64_t due = prFilter.nextDue();
  for (const PartialMessage& message : partials) {
    int64_t at = message.createdAt + partTimeoutMilliseconds + 1;
    if (due < 0 || at < due) due = at;
  }
  return due;
}

void CanCMT::offlineCheck() {
  prs.countDown([](uint32_t address) { LOGW("Can ID %d is offline!", static_cast<int>(address)); });
}

bool CanCMT::sendMessage(uint32_t address, const uint8_t* bytes, size_t length) {
  size_t total = length > 4 ? length + 2 : length;
  if (length == 0 || total > maxMessageLength) {
    // The part index has five bits: a 33rd frame would carry into the
    // last-part bit and the sequence number.
    LOGW("CMT message to %05X refused: %d bytes, at most 256 with CRC", static_cast<unsigned>(address),
         static_cast<int>(total));
    return false;
  }
  uint8_t wire[maxMessageLength];
  std::memcpy(wire, bytes, length);
  if (length > 4) {
    uint16_t crc = crc16Modbus(bytes, length);
    wire[length] = static_cast<uint8_t>(crc & 0xFFu);
    wire[length + 1] = static_cast<uint8_t>(crc >> 8);
  }
  uint8_t sequence = sequenceCounter++;
  uint32_t part = 0;
  for (size_t offset = 0; offset < total; offset += CanFrame::maxLength, ++part) {
    size_t chunk = total - offset < CanFrame::maxLength ? total - offset : CanFrame::maxLength;
    CanFrame frame;
    frame.id = sendFlags | CmtIdentifier::make(address, sequence, part, offset + chunk == total);
    frame.length = static_cast<uint8_t>(chunk);
    std::memcpy(frame.data, wire + offset, chunk);
    if (sink) sink(frame);
  }
  return true;
}
