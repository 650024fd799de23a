#pragma once
// A node's identity and radio set-up: method "device_info".
//   {"can_id":5,"code":4660,"fw_ver":"2024-06(17)","rf_channel":3,
//    "rf_key":"0000000100000002000000030000000A"}
#include "can/krel/polls/Assembleble.h"
#include "can/krel/polls/RegisterMap.h"

namespace KREL {

class DeviceInfo final : public Assembleble {
 public:
  DeviceInfo(uint16_t node, const RegisterMap& map);

  std::unique_ptr<MeterData> clone() const override { return std::make_unique<DeviceInfo>(*this); }
  void writeFields(JsonWriter& writer) const override;
  void buildRequest(RequestRegisters& request) const override;
  void storeAnswer(unsigned entry, const IOPacket& answer) override;

  uint32_t code = 0;
  uint32_t version = 0;
  uint32_t rf_channel = 0;
  uint32_t rf_key[4] = {};

 private:
  const RegisterMap* map;
};

}  // namespace KREL
