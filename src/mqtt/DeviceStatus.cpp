#include "mqtt/DeviceStatus.h"

#include "registry/JsonWriter.h"

namespace Mqtt {

namespace {
constexpr const char* model = "QTR90";
constexpr const char* firmwareVersion = "2023.2.7";
}  // namespace

DeviceStatus::DeviceStatus(std::string deviceUuid, std::string deviceSerial, AliveNodes alive)
    : uuid(std::move(deviceUuid)), serial(std::move(deviceSerial)), aliveNodes(std::move(alive)) {}

std::array<uint32_t, DeviceStatus::maskCount> DeviceStatus::deviceMasks(const std::vector<uint16_t>& nodes) {
  std::array<uint32_t, maskCount> masks{};
  for (uint16_t node : nodes) {
    if (node < panelNodeCount) masks[node / 8] |= 1u << (node % 8);
  }
  return masks;
}

std::string DeviceStatus::text(bool online) {
  JsonWriter writer;
  writer.addField("jsonrpc", "\"2.0\"");
  writer.addField("method", "\"device_status\"");
  writer.beginObject("params");
  writer.addField("uuid", quoteText(uuid));
  writer.addField("model", quoteText(model));
  writer.addField("sn", quoteText(serial));
  writer.addField("fw_ver", quoteText(firmwareVersion));
  writer.addField("online", online ? "true" : "false");
  if (online) {
    writer.addField("is_boot", boot.exchange(false) ? "true" : "false");
    writer.addField("timezone", "0");
    std::vector<uint16_t> nodes;
    if (aliveNodes) aliveNodes(nodes);
    writer.addKey("devices");
    std::string list = "[";
    for (uint32_t mask : deviceMasks(nodes)) {
      list += formatUnsigned(mask);
      list += ',';
    }
    list.back() = ']';
    writer.append(list);
    writer.append(",");
  }
  writer.close();
  writer.close();
  return writer.take();
}

}  // namespace Mqtt
