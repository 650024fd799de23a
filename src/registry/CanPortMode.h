#pragma once
// What a CAN port carries: nothing, the fire-alarm panel network (krel) or the
// metering radio network (volmar). The port supervisor names it
// svThread::portModeEnum.
//
// Text form: "off", "krel", "volmar" (quoted), and "error" for any other
// stored value. Reading takes exactly krel, volmar or off; any other text
// leaves the mode unchanged.
#include <cstdint>
#include <string>

#include "registry/EntryText.h"

enum class CanPortMode : int32_t { off = 0, krel = 1, volmar = 2 };

template <>
struct EntryText<CanPortMode> {
  static std::string toText(CanPortMode value);
  static void fromText(CanPortMode& value, const char* text);
};
