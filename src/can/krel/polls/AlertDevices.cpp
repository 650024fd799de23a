#include "can/krel/polls/AlertDevices.h"

#include "can/krel/polls/PollValues.h"

namespace KREL {

AlertDevices::AlertDevices(uint16_t node, const RegisterMap& registers, uint8_t activeKinds)
    : Assembleble(node), map(&registers), kinds(activeKinds) {}

unsigned AlertDevices::blockCount() const { return map->alarmBlocks < maxBlocks ? map->alarmBlocks : maxBlocks; }

void AlertDevices::buildRequest(RequestRegisters& request) const {
  for (unsigned block = 0; block < blockCount(); ++block) {
    for (unsigned kind = 0; kind < RegisterMap::alarmKinds; ++kind) {
      if ((kinds >> kind & 1) == 0) continue;
      request.add(4 * block + kind, static_cast<uint16_t>(map->alarm[kind] + map->alarmBlockStride * block));
    }
  }
}

void AlertDevices::storeAnswer(unsigned entry, const IOPacket& answer) {
  unsigned block = entry / 4;
  if (block < maxBlocks) blocks[block] |= PollValues::wordOf(answer);
}

}  // namespace KREL
