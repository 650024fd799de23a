#pragma once
// Which radio devices of a node are in alarm. Never published. For each
// alarm kind active at the node (fire state 0, fire state 1, zone state 0,
// zone state 1) every block b of the kind is read as entry 4b + kind; block
// b's words of all kinds are ORed: bit j is device 32b + j in alarm.
#include <cstdint>

#include "can/krel/polls/Assembleble.h"
#include "can/krel/polls/RegisterMap.h"

namespace KREL {

class AlertDevices final : public Assembleble {
 public:
  static constexpr unsigned maxBlocks = 8;

  // kinds: bit k set when alarm kind k is active.
  AlertDevices(uint16_t node, const RegisterMap& map, uint8_t kinds);

  std::unique_ptr<MeterData> clone() const override { return std::make_unique<AlertDevices>(*this); }
  void writeFields(JsonWriter&) const override {}
  void buildRequest(RequestRegisters& request) const override;
  void storeAnswer(unsigned entry, const IOPacket& answer) override;

  unsigned blockCount() const;
  bool inAlarm(unsigned device) const { return device < 32 * maxBlocks && (blocks[device / 32] >> device % 32 & 1) != 0; }

  uint32_t blocks[maxBlocks] = {};

 private:
  const RegisterMap* map;
  uint8_t kinds;
};

}  // namespace KREL
