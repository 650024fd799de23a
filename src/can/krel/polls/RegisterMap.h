#pragma once
// Where a panel node keeps the registers the poll thread reads, in each of
// the two installation layouts (64 and 250 nodes).
#include <cstdint>

namespace KREL {

// A list of registers: item k is base + stride x k, for k below count.
struct RegisterRange {
  uint16_t base;
  uint16_t stride;
  uint16_t count;
};

struct RegisterMap {
  // Alarm device registers, one per kind: fire state 0, fire state 1, zone
  // state 0, zone state 1; block b of a kind is its register + stride x b.
  static constexpr unsigned alarmKinds = 4;
  uint16_t alarm[alarmKinds];
  uint16_t alarmBlocks;
  uint16_t alarmBlockStride;
  // Radio device registers r0-r12 of device 0; device d has rk + stride x d,
  // stride A for r0-r5 and stride B for r6-r12.
  static constexpr unsigned radioRegisterCount = 13;
  uint16_t radio[radioRegisterCount];
  uint16_t radioStrideA;
  uint16_t radioStrideB;
  // Name lists: every name is two registers, base + stride x e and the one
  // after it.
  RegisterRange eventNames;
  RegisterRange rfGroupNames;
  RegisterRange valveNames;
  // Words of the used-devices bitmap.
  RegisterRange usedDevices;
  uint16_t hubsUsed;
  uint16_t hubsFault;
  // Main and backup voltage, main ok, backup ok.
  uint16_t power[4];
  // Code, version, radio channel, radio key words 0-3.
  uint16_t deviceInfo[7];

  uint16_t radioRegister(unsigned k, unsigned device) const {
    return static_cast<uint16_t>(radio[k] + (k < 6 ? radioStrideA : radioStrideB) * device);
  }

  // The map of a layout by its installation size (64, otherwise 250).
  static const RegisterMap& of(uint16_t layoutNodes);
};

}  // namespace KREL
