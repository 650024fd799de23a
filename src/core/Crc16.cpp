#include "core/Crc16.h"

#include <array>

namespace {

// One entry per value of the low register byte XORed with the next data byte:
// the eight shift-and-XOR steps done in advance.
constexpr std::array<uint16_t, 256> makeTable() {
  std::array<uint16_t, 256> table{};
  for (uint32_t value = 0; value < 256; ++value) {
    uint16_t crc = static_cast<uint16_t>(value);
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<uint16_t>((crc & 1u) != 0 ? (crc >> 1) ^ 0xA001u : crc >> 1);
    }
    table[value] = crc;
  }
  return table;
}

constexpr std::array<uint16_t, 256> table = makeTable();

}  // namespace

uint16_t crc16Modbus(const uint8_t* data, size_t length) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < length; ++i) {
    crc = static_cast<uint16_t>((crc >> 8) ^ table[(crc ^ data[i]) & 0xFFu]);
  }
  return crc;
}
