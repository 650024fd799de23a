#pragma once
// The retained device_status message on "status":
//
//   online   {"jsonrpc":"2.0","method":"device_status","params":{"uuid":"...","model":"QTR90",
//             "sn":"100042","fw_ver":"2023.2.7","online":true,"is_boot":true,"timezone":0,
//             "devices":[3,0,...,0]}}                       (exactly 32 masks)
//   offline  {"jsonrpc":"2.0","method":"device_status","params":{...,"online":false}}  (the last will)
//
// "devices" element g is the bit mask of the panel nodes 8g to 8g+7 that are
// alive (bit b: node 8g+b); nodes 250 to 255 are never set. "is_boot" is true
// only in the first online text made after start.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Mqtt {

// Fills `nodes` with the numbers of the alive panel nodes.
using AliveNodes = std::function<void(std::vector<uint16_t>& nodes)>;

class DeviceStatus {
 public:
  static constexpr size_t maskCount = 32;
  static constexpr uint16_t panelNodeCount = 250;

  DeviceStatus(std::string uuid, std::string serial, AliveNodes aliveNodes);

  // The message text; an online text clears the boot flag.
  std::string text(bool online);

  static std::array<uint32_t, maskCount> deviceMasks(const std::vector<uint16_t>& aliveNodes);

 private:
  std::string uuid;
  std::string serial;
  AliveNodes aliveNodes;
  std::atomic<bool> boot{true};
};

}  // namespace Mqtt
