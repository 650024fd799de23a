#pragma once
// Unsigned numbers stored most significant byte first, as Modbus registers
// carry them, read the same on any host.
//
//   bigEndian({0x12, 0x34}, 2)             -> 0x1234
//   bigEndian({0x00, 0x0B, 0xDB, 0x29}, 4) -> 777001
#include <cstddef>
#include <cstdint>

// The first `count` bytes (at most 8; more are not read).
inline uint64_t bigEndian(const uint8_t* bytes, size_t count) {
  uint64_t number = 0;
  for (size_t i = 0; i < count && i < 8; ++i) number = number << 8 | bytes[i];
  return number;
}
