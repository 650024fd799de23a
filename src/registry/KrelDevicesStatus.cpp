#include "registry/KrelDevicesStatus.h"

std::string EntryText<KrelDevicesStatus>::toText(const KrelDevicesStatus& value) {
  std::vector<uint16_t> nodes;
  if (value.aliveNodes) value.aliveNodes(nodes);
  std::string text = "[";
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (i != 0) text += ',';
    text += std::to_string(nodes[i]);
  }
  text += ']';
  return text;
}
