#include "can/volmar/RadioTag.h"

#include <cmath>
#include <cstring>

#include "core/LittleEndian.h"

namespace {

constexpr uint8_t typeBoolean = 0;
constexpr uint8_t typeUnsigned = 1;
constexpr uint8_t typeFloat = 2;
constexpr uint8_t typeText = 3;

int64_t roundedHalfAwayFromZero(float number) {
  if (std::isnan(number)) return 0;
  // 2^63 is exact in a float; anything at or beyond it saturates.
  if (number >= 9223372036854775808.0f) return INT64_MAX;
  if (number <= -9223372036854775808.0f) return INT64_MIN;
  return static_cast<int64_t>(std::llround(static_cast<double>(number)));
}

}  // namespace

RadioTag::RadioTag(const uint8_t* pathBytes, size_t pathLength, const uint8_t* valueBytes, size_t valueLength)
    : value(valueBytes) {
  if (pathLength > maxPathLength) pathLength = maxPathLength;
  uint64_t number = 0;
  unsigned shift = 0;
  bool open = false;
  for (size_t i = 0; i < pathLength; ++i) {
    uint8_t byte = pathBytes[i];
    if (shift < 64) number |= static_cast<uint64_t>(byte & 0x7Fu) << shift;
    shift += 7;
    open = true;
    if ((byte & 0x80u) == 0) {
      path[pathCount++] = number;
      number = 0;
      shift = 0;
      open = false;
    }
  }
  if (open) path[pathCount++] = number;

  size_t at = 0;
  while (at < valueLength && itemTotal < maxItems) {
    uint8_t header = valueBytes[at];
    size_t length = header & 0x3Fu;
    if (length > valueLength - at - 1) break;
    items[itemTotal++] = Item{static_cast<uint8_t>(header >> 6), static_cast<uint8_t>(length),
                              static_cast<uint16_t>(at + 1)};
    at += 1 + length;
  }
}

RadioTag::Kind RadioTag::kind() const {
  if (itemTotal == 0) return Kind::empty;
  if (itemTotal > 1) return Kind::array;
  return static_cast<Kind>(items[0].type + 1);
}

const RadioTag::Item* RadioTag::itemAt(size_t i) const {
  if (itemTotal == 1) return &items[0];
  if (i < itemTotal) return &items[i];
  return nullptr;
}

int64_t RadioTag::itemAsInteger(size_t i) const {
  const Item* item = itemAt(i);
  if (item == nullptr) return 0;
  const uint8_t* data = value + item->offset;
  switch (item->type) {
    case typeBoolean:
      return item->length != 0 && data[0] != 0 ? 1 : 0;
    case typeUnsigned:
      // Only the first four bytes count: a 32-bit value.
      return static_cast<uint32_t>(littleEndian(data, item->length < 4 ? item->length : 4));
    case typeFloat: {
      if (item->length != 4) return 0;
      uint32_t bits = littleEndian32(data);
      float number;
      std::memcpy(&number, &bits, sizeof number);
      return roundedHalfAwayFromZero(number);
    }
    default:
      return 0;
  }
}

std::string_view RadioTag::itemAsText(size_t i) const {
  const Item* item = itemAt(i);
  if (item == nullptr || item->type != typeText) return {};
  const char* text = reinterpret_cast<const char*>(value + item->offset);
  const void* end = std::memchr(text, 0, item->length);
  return std::string_view(text, end == nullptr ? item->length : static_cast<size_t>(static_cast<const char*>(end) - text));
}
