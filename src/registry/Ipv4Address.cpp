#include "registry/Ipv4Address.h"

#include <arpa/inet.h>

#include <cstdint>

namespace Ipv4 {

bool parse(std::string_view text, IP4& address) {
  uint32_t value = 0;
  size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (at >= text.size() || text[at] != '.') return false;
      ++at;
    }
    size_t start = at;
    uint32_t number = 0;
    while (at < text.size() && at - start < 3 && text[at] >= '0' && text[at] <= '9') {
      number = number * 10 + static_cast<uint32_t>(text[at] - '0');
      ++at;
    }
    size_t digits = at - start;
    if (digits == 0 || number > 255 || (digits > 1 && text[start] == '0')) return false;
    value = (value << 8) | number;
  }
  if (at != text.size()) return false;
  address.address.s_addr = htonl(value);
  address.valid = true;
  return true;
}

bool parseWord(std::string_view text, IP4& address) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return parse(text, address);
}

std::string text(const IP4& address) {
  if (!address.valid) return "null";
  char buffer[INET_ADDRSTRLEN];
  if (inet_ntop(AF_INET, &address.address, buffer, sizeof buffer) == nullptr) return "null";
  return buffer;
}

int prefixLength(const IP4& mask) {
  if (!mask.valid) return 0;
  uint32_t bits = ntohl(mask.address.s_addr);
  int length = 0;
  while (length < 32 && (bits & (uint32_t{1} << (31 - length))) != 0) ++length;
  return length;
}

IP4 maskOfPrefix(int bits) {
  IP4 mask;
  if (bits < 0) bits = 0;
  if (bits > 32) bits = 32;
  uint32_t value = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
  mask.address.s_addr = htonl(value);
  mask.valid = true;
  return mask;
}

bool isContiguousMask(const IP4& mask) {
  IP4 rebuilt = maskOfPrefix(prefixLength(mask));
  return mask.valid && rebuilt.address.s_addr == mask.address.s_addr;
}

bool same(const IP4& a, const IP4& b) {
  return a.valid == b.valid && (!a.valid || a.address.s_addr == b.address.s_addr);
}

}  // namespace Ipv4
