#include "can/volmar/PRdata.h"

#include <cstdio>

#include "can/volmar/CanCMT.h"
#include "can/volmar/MeterData.h"
#include "can/volmar/RadioTag.h"
#include "core/Log.h"

namespace {

constexpr uint8_t directionBit = 0x01;
constexpr uint8_t rssiRequestBit = 0x02;

// " 0A 02 ..." for the debug line; a packet is at most 253 bytes.
void formatBytes(const uint8_t* bytes, size_t length, char* text, size_t size) {
  size_t used = 0;
  text[0] = '\0';
  for (size_t i = 0; i < length && used + 4 <= size; ++i) {
    used += static_cast<size_t>(std::snprintf(text + used, size - used, " %02X", static_cast<unsigned>(bytes[i])));
  }
}

}  // namespace

namespace PRdata {

uint8_t rssiAnswerValue(int8_t rssi) {
  int above = rssi + 90;
  if (above < 0) above = 0;
  if (above > 127) above = 127;
  return static_cast<uint8_t>(above * 2 + 1);
}

void process(const PRMessage& message, CanCMT& protocol) {
  const uint8_t* packet = message.bytes();
  size_t length = message.packetLength;
  char hex[PRMessage::maxPacketLength * 3 + 1];
  formatBytes(packet, length, hex, sizeof hex);
  LOGD("PRdata (rssi=%d):%s", static_cast<int>(message.bestRssi), hex);

  // The control byte is the fourth; a shorter packet has no header at all.
  if (length < 4) {
    LOGW("PRdata: bad format");
    return;
  }
  uint8_t control = packet[3];
  if ((control & directionBit) != 0) {
    LOGD("PRdata: dir set");
    return;
  }
  size_t extraAddressBytes = (control >> 2) & 0x03u;
  size_t pathLength = (control >> 4) + 1u;
  size_t valueStart = 4 + extraAddressBytes + pathLength;
  if (length < valueStart) {
    LOGW("PRdata: bad format");
    return;
  }
  RadioTag tag(packet + 4 + extraAddressBytes, pathLength, packet + valueStart, length - valueStart);
  if (tag.isEmpty()) {
    LOGW("PRdata: bad tag format (or empty data)");
    return;
  }
  if ((control & rssiRequestBit) != 0) {
    uint8_t answer[4] = {packet[0], packet[1], packet[2], rssiAnswerValue(message.bestRssi)};
    protocol.sendMessage(message.bestPR, answer, sizeof answer);
    LOGD("Send RSSI answer");
  }
  LOGD("Processing tag");
  Metering::decode(tag, message, protocol.registry());
}

void onVersionReport(PRRegistry& registry, uint32_t address, uint8_t yearMonth, uint8_t build) {
  LOGD("Got PR 0x%X version 20%d.%02d.%d", static_cast<unsigned>(address), 21 + yearMonth / 12, yearMonth % 12,
       static_cast<int>(build));
  PREntry* entry = registry.find(address);
  if (entry == nullptr) return;
  registry.markAlive(*entry);
  if (entry->versionYearMonth != yearMonth || entry->versionBuild != build) {
    entry->versionYearMonth = yearMonth;
    entry->versionBuild = build;
    registry.setChanged();
  }
}

void onSerialAnnouncement(PRRegistry& registry, uint32_t address, uint64_t serial) {
  LOGD("Got PR serial=%08X%08X", static_cast<unsigned>(serial >> 32), static_cast<unsigned>(serial & 0xFFFFFFFFu));
  registry.announceSerial(address, serial);
}

}  // namespace PRdata
