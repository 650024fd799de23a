#pragma once
// The alive panel nodes, as the status "krel_devices_list": "[" then the node
// number of every alive node in ascending order, separated by ",", then "]"
// ("[]" when none is alive). The panel layer installs `aliveNodes` once its
// digest store exists (under the registry mutex); until then no node is alive.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "registry/EntryText.h"

struct KrelDevicesStatus {
  // Fills `nodes` with the alive node numbers in ascending order.
  std::function<void(std::vector<uint16_t>& nodes)> aliveNodes;
};

template <>
struct EntryText<KrelDevicesStatus> {
  static std::string toText(const KrelDevicesStatus& value);
  static void fromText(KrelDevicesStatus&, const char*) {}
};
