#pragma once
// One radio device of a node (registers r0-r12): method "rf_dev". A device
// whose serial is 0 is an empty place and shows only its number and serial;
// the radio details (signal, version, hub, voltages) are left out when bit 7
// of its type is set.
//   {"can_id":5,"device":{"number":1,"serial":0}}
//   {"can_id":5,"device":{"number":2,"serial":3001,"name":"Дым 1","type":1,"group":2,"status":0,
//    "fault":0,"signal_quality":[-30,-42],"fw_ver":"2024-06(17)","hub":1,"v_main":3.100,
//    "v_backup":2.900,"disabled":false}}
#include <cstdint>

#include "can/krel/polls/Assembleble.h"
#include "can/krel/polls/RegisterMap.h"

namespace KREL {

class RDI final : public Assembleble {
 public:
  static constexpr size_t nameBytes = 16;

  // device: the device's index d (published as number d + 1).
  RDI(uint16_t node, const RegisterMap& map, uint16_t device);

  std::unique_ptr<MeterData> clone() const override { return std::make_unique<RDI>(*this); }
  void writeFields(JsonWriter& writer) const override;
  void buildRequest(RequestRegisters& request) const override;
  void storeAnswer(unsigned entry, const IOPacket& answer) override;

  // Continues a zlib CRC-32 over the details that make the node's radio
  // state: r0, r1, r4, r5, r11, r12 (32-bit little-endian each), the two
  // voltages as whole volts (one byte each) and the name with its ending
  // zero (17 bytes).
  uint32_t continueCrc(uint32_t crc) const;

  uint16_t device;
  uint32_t serial = 0;
  uint32_t type = 0;
  uint8_t name[nameBytes + 1] = {};  // KOI8-R, always ended
  uint32_t group = 0;
  uint32_t disabled = 0;
  uint32_t status = 0;
  float v_main = 0;
  float v_backup = 0;
  uint32_t fault = 0;
  uint32_t signal = 0;
  uint32_t version = 0;
  uint32_t hub = 0;

 private:
  const RegisterMap* map;
};

}  // namespace KREL
