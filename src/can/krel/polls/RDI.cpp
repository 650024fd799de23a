#include "can/krel/polls/RDI.h"

#include <zlib.h>

#include <cstring>
#include <string>

#include "can/krel/Koi8r.h"
#include "can/krel/polls/PollValues.h"
#include "registry/JsonWriter.h"

namespace KREL {
namespace {

void putWord(uint8_t* at, uint32_t word) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(word >> (8 * i));
}

}  // namespace

RDI::RDI(uint16_t node, const RegisterMap& registers, uint16_t index)
    : Assembleble(node), device(index), map(&registers) {
  method = "rf_dev";
}

void RDI::buildRequest(RequestRegisters& request) const {
  for (unsigned k = 0; k < RegisterMap::radioRegisterCount; ++k) request.add(k, map->radioRegister(k, device));
}

void RDI::storeAnswer(unsigned entry, const IOPacket& answer) {
  uint32_t word = PollValues::wordOf(answer);
  switch (entry) {
    case 0: serial = word; break;
    case 1: type = word; break;
    case 2: std::memcpy(name, answer.data, 8); break;
    case 3: std::memcpy(name + 8, answer.data, 8); break;
    case 4: group = word; break;
    case 5: disabled = word; break;
    case 6: status = word; break;
    case 7: v_main = PollValues::floatOf(answer); break;
    case 8: v_backup = PollValues::floatOf(answer); break;
    case 9: fault = word; break;
    case 10: signal = word; break;
    case 11: version = word; break;
    case 12: hub = word; break;
    default: break;
  }
}

uint32_t RDI::continueCrc(uint32_t crc) const {
  uint8_t details[16 + 8 + 2 + sizeof name];
  putWord(details, serial);
  putWord(details + 4, type);
  putWord(details + 8, group);
  putWord(details + 12, disabled);
  putWord(details + 16, version);
  putWord(details + 20, hub);
  details[24] = PollValues::saturatedByte(v_main);
  details[25] = PollValues::saturatedByte(v_backup);
  std::memcpy(details + 26, name, sizeof name);
  return static_cast<uint32_t>(::crc32(crc, details, sizeof details));
}

void RDI::writeFields(JsonWriter& writer) const {
  writer.addField("can_id", formatInt(nodeNumber));
  writer.beginObject("device");
  writer.addField("number", formatInt(device + 1));
  writer.addField("serial", formatUnsigned(serial));
  if (serial != 0) {
    writer.addField("name", quoteText(koi8rToUtf8(name, nameBytes)));
    writer.addField("type", formatUnsigned(type));
    writer.addField("group", formatUnsigned(group));
    writer.addField("status", formatUnsigned(status));
    writer.addField("fault", formatUnsigned(fault));
    if ((type & 0x80) == 0) {
      int first = static_cast<int>(signal >> 8 & 0xFF) - 128;
      int second = static_cast<int>(signal & 0xFF) - 128;
      writer.addField("signal_quality", "[" + formatInt(first) + "," + formatInt(second) + "]");
      writer.addField("fw_ver", quoteText(PollValues::versionText(version)));
      writer.addField("hub", formatUnsigned(hub));
      writer.addField("v_main", PollValues::floatText(v_main));
      writer.addField("v_backup", PollValues::floatText(v_backup));
    }
    writer.addField("disabled", disabled != 0 ? "true" : "false");
  }
  writer.close();
}

}  // namespace KREL
