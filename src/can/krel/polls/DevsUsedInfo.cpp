#include "can/krel/polls/DevsUsedInfo.h"

#include <string>

#include "can/krel/polls/PollValues.h"
#include "registry/JsonWriter.h"

namespace KREL {

DevsUsedInfo::DevsUsedInfo(uint16_t node, const RegisterMap& registers) : Assembleble(node), map(&registers) {
  method = "rf_dev_used";
}

void DevsUsedInfo::buildRequest(RequestRegisters& request) const {
  const RegisterRange& used = map->usedDevices;
  for (unsigned k = 0; k < used.count && k < maxWords; ++k) {
    request.add(k, static_cast<uint16_t>(used.base + used.stride * k));
  }
}

void DevsUsedInfo::storeAnswer(unsigned entry, const IOPacket& answer) {
  if (entry < maxWords) words[entry] = PollValues::wordOf(answer);
}

void DevsUsedInfo::writeFields(JsonWriter& writer) const {
  std::string bytes = "[";
  for (unsigned i = 0; i < 4 * maxWords; ++i) {
    if (i != 0) bytes += ',';
    bytes += formatInt(static_cast<int>(words[i / 4] >> (8 * (i % 4)) & 0xFF));
  }
  bytes += ']';
  writer.addField("can_id", formatInt(nodeNumber));
  writer.addField("devices", bytes);
}

}  // namespace KREL
