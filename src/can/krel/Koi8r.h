#pragma once
// Panel texts (node, device and list names) are KOI8-R (RFC 1489). Only the
// Cyrillic letters are taken from the upper half; other bytes from 0x80 on
// become spaces.
//
//   F0 D2 C9 ("При") -> D0 9F D1 80 D0 B8
//   "USO-1" 00 ...   -> "USO-1" (the text ends at the first NUL)
//
// The other way, for texts a client writes to a panel register, the Cyrillic
// letters (two-byte UTF-8) become their KOI8-R codes and every other byte
// from 0x80 on becomes '?':
//   "Пр é" -> F0 D2 20 3F 3F
#include <cstddef>
#include <cstdint>
#include <string>

namespace KREL {

// The UTF-8 form of at most `length` bytes of KOI8-R text, up to the first NUL.
std::string koi8rToUtf8(const uint8_t* text, size_t length);

// The KOI8-R form of UTF-8 `text`, at most `capacity` characters.
std::string utf8ToKoi8r(const char* text, size_t capacity);

}  // namespace KREL
