#pragma once
// One configured RS485 meter as the device store keeps it: 30 bytes,
// little-endian.
//
//   offset  0  serial     u64      16  baudrate  u32     22  mode  3 chars, 0
//           8  net_id     u64      20  driver    u16     26  flags, 3 zero bytes
//
// flags: bits 0-2 the RS485 line (port), bit 3 serial is null, bit 4 net_id is
// null.
#include <array>
#include <cstddef>
#include <cstdint>

namespace RS485 {

struct DeviceRecord {
  static constexpr size_t size = 30;
  static constexpr uint8_t portMask = 0x07;
  static constexpr uint8_t serialIsNull = 0x08;
  static constexpr uint8_t netIdIsNull = 0x10;

  uint64_t serial = 0;
  uint64_t net_id = 0;
  uint32_t baudrate = 0;
  uint16_t driver = 0;
  // Three characters and a terminator.
  char mode[4] = {};
  uint8_t flags = 0;

  uint8_t port() const { return flags & portMask; }
  bool hasSerial() const { return (flags & serialIsNull) == 0; }
  bool hasNetId() const { return (flags & netIdIsNull) == 0; }

  static DeviceRecord decode(const uint8_t* bytes);
  std::array<uint8_t, size> encode() const;
};

}  // namespace RS485
