#pragma once
// Text in a fixed-size field (char name[N]): the characters up to the first
// zero byte, or all N when the field has none, so a full field is never read
// past its end.
#include <cstddef>
#include <cstring>
#include <string_view>

template <size_t N>
std::string_view fieldText(const char (&field)[N]) {
  return std::string_view(field, strnlen(field, N));
}
