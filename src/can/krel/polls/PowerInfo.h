#pragma once
// A node's main and backup supply: method "power".
//   {"can_id":5,"v_main":24.000,"v_backup":13.500,"v_main_ok":true,"v_backup_ok":false}
// A voltage that is not a finite number is written as null.
#include "can/krel/polls/Assembleble.h"
#include "can/krel/polls/RegisterMap.h"

namespace KREL {

class PowerInfo final : public Assembleble {
 public:
  PowerInfo(uint16_t node, const RegisterMap& map);

  std::unique_ptr<MeterData> clone() const override { return std::make_unique<PowerInfo>(*this); }
  void writeFields(JsonWriter& writer) const override;
  void buildRequest(RequestRegisters& request) const override;
  void storeAnswer(unsigned entry, const IOPacket& answer) override;

  float v_main = 0;
  float v_backup = 0;
  bool v_main_ok = false;
  bool v_backup_ok = false;

 private:
  const RegisterMap* map;
};

}  // namespace KREL
