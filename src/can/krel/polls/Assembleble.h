#pragma once
// Base of the records the poll thread reads from a panel node: a record says
// which registers it needs (at most 32 of one node) and takes the answers
// one by one; once every register is answered it is complete and may be
// published (method set) or only used by the poll (method null).
#include <cstdint>

#include "can/krel/IOPacket.h"
#include "meterdata/MeterData.h"

namespace KREL {

// The registers of one request: entry i is registers[i], asked for while bit
// i of mask is set.
struct RequestRegisters {
  static constexpr unsigned capacity = 32;
  uint32_t mask = 0;
  uint16_t registers[capacity] = {};

  void add(unsigned entry, uint16_t reg) {
    registers[entry] = reg;
    mask |= uint32_t{1} << entry;
  }
};

class Assembleble : public MeterData {
 public:
  // Fills the register list and the mask.
  virtual void buildRequest(RequestRegisters& request) const = 0;
  // The answer to entry `entry`.
  virtual void storeAnswer(unsigned entry, const IOPacket& answer) = 0;

  uint16_t node() const { return nodeNumber; }

 protected:
  explicit Assembleble(uint16_t node) : nodeNumber(node) {}
  Assembleble(const Assembleble&) = default;

  uint16_t nodeNumber;
};

}  // namespace KREL
