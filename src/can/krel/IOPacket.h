#pragma once
// One panel frame in a form that does not depend on the installation's CAN
// identifier layout: which node, which register, and the data.
#include <cstdint>

namespace KREL {

struct IOPacket {
  uint8_t data[8] = {0, 0, 0, 0, 0, 0, 0, 0};  // zero past the frame's data
  uint8_t error = 0;   // not a valid packet of the current layout
  uint8_t length = 0;  // the frame's data length; 0 = a read request / no data
  uint16_t reg = 0;    // register number
  uint16_t node = 0;   // node (USO) number
};

// Node numbers of a panel installation: 0 to 250.
constexpr uint16_t maxNode = 250;

}  // namespace KREL
