#pragma once
// A node's hubs in use and in fault: method "hubs".
//   {"can_id":5,"hubs_used":3,"hubs_fault":0}
#include "can/krel/polls/Assembleble.h"
#include "can/krel/polls/RegisterMap.h"

namespace KREL {

class HubsInfo final : public Assembleble {
 public:
  HubsInfo(uint16_t node, const RegisterMap& map);

  std::unique_ptr<MeterData> clone() const override { return std::make_unique<HubsInfo>(*this); }
  void writeFields(JsonWriter& writer) const override;
  void buildRequest(RequestRegisters& request) const override;
  void storeAnswer(unsigned entry, const IOPacket& answer) override;

  uint16_t hubs_used = 0;
  uint16_t hubs_fault = 0;

 private:
  const RegisterMap* map;
};

}  // namespace KREL
