#pragma once
// Pieces of the RS485 records' JSON members.
#include <string>

#include "registry/JsonWriter.h"

namespace RS485 {

// "[a,b,c]" of `count` values, each written by `format`:
//   jsonArray(3, [&](size_t i) { return formatDouble(voltage[i] * 0.01); })
template <typename Format>
std::string jsonArray(size_t count, Format format) {
  std::string text = "[";
  for (size_t i = 0; i < count; ++i) {
    if (i != 0) text += ',';
    text += format(i);
  }
  text += ']';
  return text;
}

}  // namespace RS485
