#include "rs485/DeviceRecord.h"

namespace RS485 {
namespace {

uint64_t readLittleEndian(const uint8_t* bytes, int width) {
  uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

void writeLittleEndian(uint8_t* bytes, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

DeviceRecord DeviceRecord::decode(const uint8_t* bytes) {
  DeviceRecord record;
  record.serial = readLittleEndian(bytes, 8);
  record.net_id = readLittleEndian(bytes + 8, 8);
  record.baudrate = static_cast<uint32_t>(readLittleEndian(bytes + 16, 4));
  record.driver = static_cast<uint16_t>(readLittleEndian(bytes + 20, 2));
  for (int i = 0; i < 3; ++i) record.mode[i] = static_cast<char>(bytes[22 + i]);
  record.mode[3] = '\0';
  record.flags = bytes[26];
  return record;
}

std::array<uint8_t, DeviceRecord::size> DeviceRecord::encode() const {
  std::array<uint8_t, size> bytes{};
  writeLittleEndian(bytes.data(), serial, 8);
  writeLittleEndian(bytes.data() + 8, net_id, 8);
  writeLittleEndian(bytes.data() + 16, baudrate, 4);
  writeLittleEndian(bytes.data() + 20, driver, 2);
  for (int i = 0; i < 3; ++i) bytes[22 + i] = static_cast<uint8_t>(mode[i]);
  bytes[26] = flags;
  return bytes;
}

}  // namespace RS485
