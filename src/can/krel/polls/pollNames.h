#pragma once
// One page of a node's name list ("event_names", "rf_group_names",
// "valve_names"): names 16p to 16p + 15 of the list, each 16 KOI8-R
// characters in two registers of 8. The method is the list's name.
//   {"can_id":5,"part":0,"names":["Пожар 1","Пожар 2",...]}   (at most 16)
// A page beyond the list is a fault of its caller: W "Corrupted Data!" and
// no members.
#include <cstdint>

#include "can/krel/polls/Assembleble.h"
#include "can/krel/polls/RegisterMap.h"

namespace KREL {

class BSLReader final : public Assembleble {
 public:
  static constexpr unsigned namesPerPage = 16;
  static constexpr size_t nameBytes = 16;

  // listName: the method; list: the list's registers; page: p.
  BSLReader(uint16_t node, const char* listName, const RegisterRange& list, uint16_t page);

  std::unique_ptr<MeterData> clone() const override { return std::make_unique<BSLReader>(*this); }
  void writeFields(JsonWriter& writer) const override;
  void buildRequest(RequestRegisters& request) const override;
  void storeAnswer(unsigned entry, const IOPacket& answer) override;

  // Names on this page (0 for a page beyond the list).
  unsigned nameCount() const;
  // Pages of a list: every page p with 16p below the list's count.
  static unsigned pageCount(const RegisterRange& list) { return (list.count + namesPerPage - 1) / namesPerPage; }

  uint16_t page;
  uint8_t names[namesPerPage][nameBytes] = {};

 private:
  RegisterRange list;
};

}  // namespace KREL
