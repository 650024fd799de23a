#pragma once
// How the poll records read answers and write values.
//
// An answer's value is its first four data bytes as a little-endian word;
// voltages are that word as an IEEE-754 single:
//   00 00 C0 41 -> 24.0
// A version word v holds m = bits 7-14 (months since January 2020), the
// build in bits 0-6 and in bit 15 the kind of build:
//   0x1A91 (m 53, build 17)          -> "2024-06(17)"
//   0x9A91 (the same with bit 15)    -> "2024-06#17"
#include <cstdint>
#include <string>

#include "can/krel/IOPacket.h"

namespace KREL::PollValues {

uint32_t wordOf(const IOPacket& answer);
float floatOf(const IOPacket& answer);

// "%.3f", or null for a value that is not finite: JSON has no NaN.
std::string floatText(float value);
std::string versionText(uint32_t word);

// Float to integer conversions that are defined for every bus value: NaN
// gives 0, values beyond the range give its ends (a plain cast would be
// undefined behaviour).
int32_t saturatedInt(float value);
uint8_t saturatedByte(float value);

}  // namespace KREL::PollValues
