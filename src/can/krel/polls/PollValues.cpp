#include "can/krel/polls/PollValues.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/LittleEndian.h"
#include "registry/JsonWriter.h"

namespace KREL::PollValues {

uint32_t wordOf(const IOPacket& answer) { return littleEndian32(answer.data); }

float floatOf(const IOPacket& answer) {
  uint32_t word = wordOf(answer);
  float value;
  std::memcpy(&value, &word, sizeof value);
  return value;
}

std::string floatText(float value) { return std::isfinite(value) ? formatFloat(value) : "null"; }

std::string versionText(uint32_t word) {
  unsigned months = (word >> 7) & 0xFF;
  unsigned build = word & 0x7F;
  char text[32];
  std::snprintf(text, sizeof text, (word & 0x8000) != 0 ? "%u-%02u#%u" : "%u-%02u(%u)", 2020 + months / 12,
                months % 12 + 1, build);
  return text;
}

int32_t saturatedInt(float value) {
  if (std::isnan(value)) return 0;
  if (value <= -2147483648.0f) return INT32_MIN;
  if (value >= 2147483647.0f) return INT32_MAX;
  return static_cast<int32_t>(value);
}

uint8_t saturatedByte(float value) {
  if (std::isnan(value) || value <= 0.0f) return 0;
  if (value >= 255.0f) return 255;
  return static_cast<uint8_t>(value);
}

}  // namespace KREL::PollValues
