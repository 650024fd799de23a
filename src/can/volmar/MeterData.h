#pragma once
// Turns a metering tag into a heat or water meter record and hands it to every
// record consumer. The tag's path is (10, meter type, meter serial): type 1 a
// water meter with 7 value items, type 2 a heat meter with 13.
//
//   item  water meter               heat meter
//   0     meter clock               meter clock
//   1     flags                     -
//   2     battery, 0.1 V            battery, 0.1 V
//   3     -                         model (text)
//   4     radio firmware (text)     radio firmware (text)
//   5     -                         heat energy x 100
//   6     volume, litres            cold energy x 100
//   7                               volume x 100
//   8                               -
//   9                               power x 100
//   10                              flow x 10000
//   11                              inlet temperature x 100
//   12                              outlet temperature x 100
//
// Heat values are signed 32-bit numbers: 0xFFFFFE0C / 100 -> -5.00.
#include "can/volmar/PRMessage.h"
#include "can/volmar/PRRegistry.h"
#include "can/volmar/RadioTag.h"

namespace Metering {

constexpr uint64_t rootTag = 10;
constexpr uint64_t waterMeterType = 1;
constexpr uint64_t heatMeterType = 2;
constexpr size_t waterMeterItems = 7;
constexpr size_t heatMeterItems = 13;

// Receivers are looked up by address for their serials, which also marks them alive.
void decode(const RadioTag& tag, const PRMessage& message, PRRegistry& registry);

}  // namespace Metering
