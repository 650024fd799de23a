#include "can/krel/polls/pollNames.h"

#include <cstring>
#include <string>

#include "can/krel/Koi8r.h"
#include "core/Log.h"
#include "registry/JsonWriter.h"

namespace KREL {

BSLReader::BSLReader(uint16_t node, const char* listName, const RegisterRange& registers, uint16_t pageNumber)
    : Assembleble(node), page(pageNumber), list(registers) {
  method = listName;
}

unsigned BSLReader::nameCount() const {
  unsigned first = namesPerPage * page;
  if (first >= list.count) return 0;
  unsigned left = list.count - first;
  return left < namesPerPage ? left : namesPerPage;
}

void BSLReader::buildRequest(RequestRegisters& request) const {
  for (unsigned i = 0; i < nameCount(); ++i) {
    auto first = static_cast<uint16_t>(list.base + list.stride * (namesPerPage * page + i));
    request.add(2 * i, first);
    request.add(2 * i + 1, static_cast<uint16_t>(first + 1));
  }
}

void BSLReader::storeAnswer(unsigned entry, const IOPacket& answer) {
  if (entry >= 2 * namesPerPage) return;
  std::memcpy(names[entry / 2] + 8 * (entry % 2), answer.data, 8);
}

void BSLReader::writeFields(JsonWriter& writer) const {
  unsigned count = nameCount();
  if (count == 0) {
    LOGW("Corrupted Data!");
    return;
  }
  std::string items = "[";
  for (unsigned i = 0; i < count; ++i) {
    if (i != 0) items += ',';
    items += quoteText(koi8rToUtf8(names[i], nameBytes));
  }
  items += ']';
  writer.addField("can_id", formatInt(nodeNumber));
  writer.addField("part", formatInt(page));
  writer.addField("names", items);
}

}  // namespace KREL
