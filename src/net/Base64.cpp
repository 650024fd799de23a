#include "net/Base64.h"

#include <cstdint>

namespace {
constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t lineLength = 72;
}  // namespace

std::string base64Encode(const void* data, size_t length) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  std::string out;
  out.reserve((length + 2) / 3 * 4 + length / 54);
  size_t onLine = 0;
  for (size_t at = 0; at < length; at += 3) {
    if (onLine == lineLength) {
      out += '\n';
      onLine = 0;
    }
    size_t take = length - at < 3 ? length - at : 3;
    uint32_t group = static_cast<uint32_t>(bytes[at]) << 16;
    if (take > 1) group |= static_cast<uint32_t>(bytes[at + 1]) << 8;
    if (take > 2) group |= bytes[at + 2];
    out += alphabet[(group >> 18) & 0x3F];
    out += alphabet[(group >> 12) & 0x3F];
    out += take > 1 ? alphabet[(group >> 6) & 0x3F] : '=';
    out += take > 2 ? alphabet[group & 0x3F] : '=';
    onLine += 4;
  }
  return out;
}
