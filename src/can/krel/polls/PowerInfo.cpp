#include "can/krel/polls/PowerInfo.h"

#include "can/krel/polls/PollValues.h"
#include "registry/JsonWriter.h"

namespace KREL {

PowerInfo::PowerInfo(uint16_t node, const RegisterMap& registers) : Assembleble(node), map(&registers) {
  method = "power";
}

void PowerInfo::buildRequest(RequestRegisters& request) const {
  for (unsigned i = 0; i < 4; ++i) request.add(i, map->power[i]);
}

void PowerInfo::storeAnswer(unsigned entry, const IOPacket& answer) {
  switch (entry) {
    case 0:
      v_main = PollValues::floatOf(answer);
      break;
    case 1:
      v_backup = PollValues::floatOf(answer);
      break;
    case 2:
      v_main_ok = PollValues::wordOf(answer) != 0;
      break;
    case 3:
      v_backup_ok = PollValues::wordOf(answer) != 0;
      break;
    default:
      break;
  }
}

void PowerInfo::writeFields(JsonWriter& writer) const {
  writer.addField("can_id", formatInt(nodeNumber));
  writer.addField("v_main", PollValues::floatText(v_main));
  writer.addField("v_backup", PollValues::floatText(v_backup));
  writer.addField("v_main_ok", v_main_ok ? "true" : "false");
  writer.addField("v_backup_ok", v_backup_ok ? "true" : "false");
}

}  // namespace KREL
