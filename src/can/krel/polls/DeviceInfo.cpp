#include "can/krel/polls/DeviceInfo.h"

#include <cstdio>

#include "can/krel/polls/PollValues.h"
#include "registry/JsonWriter.h"

namespace KREL {

DeviceInfo::DeviceInfo(uint16_t node, const RegisterMap& registers) : Assembleble(node), map(&registers) {
  method = "device_info";
}

void DeviceInfo::buildRequest(RequestRegisters& request) const {
  for (unsigned i = 0; i < 7; ++i) request.add(i, map->deviceInfo[i]);
}

void DeviceInfo::storeAnswer(unsigned entry, const IOPacket& answer) {
  uint32_t value = PollValues::wordOf(answer);
  if (entry == 0) code = value;
  if (entry == 1) version = value;
  if (entry == 2) rf_channel = value;
  if (entry >= 3 && entry < 7) rf_key[entry - 3] = value;
}

void DeviceInfo::writeFields(JsonWriter& writer) const {
  char key[33];
  std::snprintf(key, sizeof key, "%08X%08X%08X%08X", rf_key[0], rf_key[1], rf_key[2], rf_key[3]);
  writer.addField("can_id", formatInt(nodeNumber));
  writer.addField("code", formatUnsigned(code));
  writer.addField("fw_ver", quoteText(PollValues::versionText(version)));
  writer.addField("rf_channel", formatUnsigned(rf_channel));
  writer.addField("rf_key", quoteText(key));
}

}  // namespace KREL
