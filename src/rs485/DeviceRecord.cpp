#include "rs485/DeviceRecord.h"

#include "core/LittleEndian.h"

namespace RS485 {

DeviceRecord DeviceRecord::decode(const uint8_t* bytes) {
  DeviceRecord record;
  record.serial = littleEndian(bytes, 8);
  record.net_id = littleEndian(bytes + 8, 8);
  record.baudrate = static_cast<uint32_t>(littleEndian(bytes + 16, 4));
  record.driver = static_cast<uint16_t>(littleEndian(bytes + 20, 2));
  for (int i = 0; i < 3; ++i) record.mode[i] = static_cast<char>(bytes[22 + i]);
  record.mode[3] = '\0';
  record.flags = bytes[26];
  return record;
}

std::array<uint8_t, DeviceRecord::size> DeviceRecord::encode() const {
  std::array<uint8_t, size> bytes{};
  storeLittleEndian(bytes.data(), serial, 8);
  storeLittleEndian(bytes.data() + 8, net_id, 8);
  storeLittleEndian(bytes.data() + 16, baudrate, 4);
  storeLittleEndian(bytes.data() + 20, driver, 2);
  for (int i = 0; i < 3; ++i) bytes[22 + i] = static_cast<uint8_t>(mode[i]);
  bytes[26] = flags;
  return bytes;
}

}  // namespace RS485
