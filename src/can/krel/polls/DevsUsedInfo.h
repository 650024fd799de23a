#pragma once
// Which radio devices a node has: method "rf_dev_used". Bit j of word k is
// device 32k + j; "devices" lists the 32 bytes of the eight words, least
// significant byte of word 0 first (words a layout does not have are 0).
//   {"can_id":5,"devices":[15,0,0,...,0]}     (devices 0-3)
#include "can/krel/polls/Assembleble.h"
#include "can/krel/polls/RegisterMap.h"

namespace KREL {

class DevsUsedInfo final : public Assembleble {
 public:
  static constexpr unsigned maxWords = 8;

  DevsUsedInfo(uint16_t node, const RegisterMap& map);

  std::unique_ptr<MeterData> clone() const override { return std::make_unique<DevsUsedInfo>(*this); }
  void writeFields(JsonWriter& writer) const override;
  void buildRequest(RequestRegisters& request) const override;
  void storeAnswer(unsigned entry, const IOPacket& answer) override;

  // The layout's number of words.
  unsigned wordCount() const { return map->usedDevices.count; }
  bool isUsed(unsigned device) const { return device < 32 * maxWords && (words[device / 32] >> device % 32 & 1) != 0; }

  uint32_t words[maxWords] = {};

 private:
  const RegisterMap* map;
};

}  // namespace KREL
