#include "can/krel/polls/HubsInfo.h"

#include "can/krel/polls/PollValues.h"
#include "registry/JsonWriter.h"

namespace KREL {

HubsInfo::HubsInfo(uint16_t node, const RegisterMap& registers) : Assembleble(node), map(&registers) {
  method = "hubs";
}

void HubsInfo::buildRequest(RequestRegisters& request) const {
  request.add(0, map->hubsUsed);
  request.add(1, map->hubsFault);
}

void HubsInfo::storeAnswer(unsigned entry, const IOPacket& answer) {
  auto value = static_cast<uint16_t>(PollValues::wordOf(answer));
  if (entry == 0) hubs_used = value;
  if (entry == 1) hubs_fault = value;
}

void HubsInfo::writeFields(JsonWriter& writer) const {
  writer.addField("can_id", formatInt(nodeNumber));
  writer.addField("hubs_used", formatInt(hubs_used));
  writer.addField("hubs_fault", formatInt(hubs_fault));
}

}  // namespace KREL
