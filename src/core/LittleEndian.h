#pragma once
// Unsigned numbers stored least significant byte first, as CAN payloads,
// radio tags and panel registers carry them, read the same on any host.
//
//   littleEndian16({0x34, 0x12})            -> 0x1234
//   littleEndian32({0x78, 0x56, 0x34, 0x12}) -> 0x12345678
//   littleEndian({0x56, 0x34, 0x12}, 3)      -> 0x123456
#include <cstddef>
#include <cstdint>

// The first `count` bytes (at most 8; more are not read).
inline uint64_t littleEndian(const uint8_t* bytes, size_t count) {
  uint64_t number = 0;
  for (size_t i = 0; i < count && i < 8; ++i) number |= static_cast<uint64_t>(bytes[i]) << (8 * i);
  return number;
}

// Writes the low `count` bytes of `number` (at most 8), least significant first.
inline void storeLittleEndian(uint8_t* bytes, uint64_t number, size_t count) {
  for (size_t i = 0; i < count && i < 8; ++i) bytes[i] = static_cast<uint8_t>(number >> (8 * i));
}

inline uint16_t littleEndian16(const uint8_t* bytes) { return static_cast<uint16_t>(littleEndian(bytes, 2)); }
inline uint32_t littleEndian32(const uint8_t* bytes) { return static_cast<uint32_t>(littleEndian(bytes, 4)); }
