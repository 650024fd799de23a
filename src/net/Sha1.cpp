#include "net/Sha1.h"

#include <cstring>

namespace {

uint32_t rotateLeft(uint32_t value, int bits) { return (value << bits) | (value >> (32 - bits)); }

uint32_t loadBigEndian(const uint8_t* bytes) {
  return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
         (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

void processBlock(uint32_t state[5], const uint8_t block[64]) {
  uint32_t w[80];
  for (int t = 0; t < 16; ++t) w[t] = loadBigEndian(block + 4 * t);
  for (int t = 16; t < 80; ++t) w[t] = rotateLeft(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

  uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  for (int t = 0; t < 80; ++t) {
    uint32_t f, k;
    if (t < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (t < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (t < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    uint32_t next = rotateLeft(a, 5) + f + e + k + w[t];
    e = d;
    d = c;
    c = rotateLeft(b, 30);
    b = a;
    a = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
}

}  // namespace

Sha1Digest sha1(const void* data, size_t length) {
  uint32_t state[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t whole = length - length % 64;
  for (size_t at = 0; at < whole; at += 64) processBlock(state, bytes + at);

  // The tail, the 0x80 marker and the message length in bits (big-endian)
  // fill one or two final blocks.
  uint8_t tail[128] = {};
  size_t rest = length - whole;
  if (rest != 0) std::memcpy(tail, bytes + whole, rest);
  tail[rest] = 0x80;
  size_t tailLength = rest < 56 ? 64 : 128;
  uint64_t bits = static_cast<uint64_t>(length) * 8;
  for (int i = 0; i < 8; ++i) tail[tailLength - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
  for (size_t at = 0; at < tailLength; at += 64) processBlock(state, tail + at);

  Sha1Digest digest{};
  for (int i = 0; i < 5; ++i) {
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<uint8_t>(state[i] >> (24 - 8 * j));
  }
  return digest;
}
