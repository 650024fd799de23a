#pragma once
// Panel texts (node, device and list names) are KOI8-R (RFC 1489). Only the
// Cyrillic letters are taken from the upper half; other bytes from 0x80 on
// become spaces.
//
//   F0 D2 C9 ("При") -> D0 9F D1 80 D0 B8
//   "USO-1" 00 ...   -> "USO-1" (the text ends at the first NUL)
#include <cstddef>
#include <cstdint>
#include <string>

namespace KREL {

// The UTF-8 form of at most `length` bytes of KOI8-R text, up to the first NUL.
std::string koi8rToUtf8(const uint8_t* text, size_t length);

}  // namespace KREL
