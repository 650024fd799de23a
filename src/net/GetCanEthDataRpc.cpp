#include "net/GetCanEthDataRpc.h"

#include <mutex>
#include <string_view>
#include <utility>

#include "core/FixedText.h"
#include "registry/Factory.h"
#include "registry/Ipv4Address.h"
#include "registry/JsonWriter.h"

namespace Hidden {

GetCanEthDataRpc::Sources GetCanEthDataRpc::process() {
  Sources sources;
  sources.tree = &RegistryRoot::global();
  sources.status = &Catalogue::ethStatus();
  sources.eth0 = &Catalogue::eth0();
  sources.brokers = &Catalogue::mqtt();
  sources.uuid = [] { return Factory::deviceUuid(); };
  return sources;
}

GetCanEthDataRpc::GetCanEthDataRpc(Sources sources) : SyncRPC("caneth_config"), sources(std::move(sources)) {}

RpcResult GetCanEthDataRpc::call(const std::string&) {
  std::string uuid = sources.uuid();
  std::lock_guard<std::recursive_mutex> lock(sources.tree->mutex());
  const Catalogue::EthStatus& status = *sources.status;
  const ServerSettings& main = sources.brokers->main.value;
  const ServerSettings& alt = sources.brokers->alt.value;
  auto address = [](const Entry<IP4>& entry) { return quoteText(Ipv4::text(entry.value)); };

  JsonWriter writer;
  writer.addField("uuid", quoteText(uuid));
  writer.beginObject("ethernet");
  writer.addField("ip_type", quoteText(sources.eth0->dhcp.value ? "DHCP" : "Static"));
  writer.addField("ip", address(status.ip1));
  writer.addField("ip2", address(status.ip2));
  writer.addField("mask", address(status.mask1));
  writer.addField("mask2", address(status.mask2));
  writer.addField("gateway", address(status.gateway1));
  writer.addField("gateway2", address(status.gateway2));
  writer.addField("id_virtual_network", quoteText("none"));
  writer.addField("network_name", quoteText("none"));
  writer.close();
  writer.beginObject("mqtt");
  writer.addField("proto", quoteText("MQTT/TCP"));
  writer.addField("broker", quoteText(fieldText(main.host)));
  writer.addField("broker2", quoteText(fieldText(alt.host)));
  writer.addField("port", formatInt(main.port));
  writer.addField("port2", formatInt(alt.port));
  writer.addField("client_id_prefix", quoteText(""));
  writer.addField("username", quoteText(fieldText(main.user)));
  writer.addField("username2", quoteText(fieldText(alt.user)));
  writer.close();
  writer.beginObject("can");
  writer.addField("can_id", "100");
  writer.addField("visibility", "false");
  writer.addField("groups", "[]");
  writer.close();
  writer.close();
  return {writer.take(), 0};
}

namespace {
// A global static: registered in RpcMethods before any request can arrive.
GetCanEthDataRpc canEthDataRpc;
}  // namespace

}  // namespace Hidden
