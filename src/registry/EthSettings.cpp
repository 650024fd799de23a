#include "registry/EthSettings.h"

#include <cstring>
#include <string>

#include "core/Log.h"
#include "registry/Ipv4Address.h"
#include "registry/Json.h"

EthSettings::EthSettings(RegistryRoot& root, const char* port)
    : Registry(root, {port}),
      ip(root, {port, "ip"}),
      netmask(root, {port, "netmask"}),
      gateway(root, {port, "gateway"}),
      dns1(root, {port, "dns1"}),
      dns2(root, {port, "dns2"}),
      dhcp(root, {port, "dhcp"}),
      staticFallback(root, {port, "static_fallback"}),
      addDefaultDns(root, {port, "add_default_dns"}) {
  dhcp.value = true;
  addDefaultDns.value = true;
}

EthSettings::~EthSettings() = default;

bool acceptableEthObject(const char* text) {
  static const char* const addressMembers[] = {"ip", "netmask", "gateway", "dns1", "dns2"};
  std::string buffer(text);  // the scanner cuts its input in place
  for (const JsonPair& member : scanJsonObject(buffer.data())) {
    for (const char* name : addressMembers) {
      if (std::strcmp(member.key, name) != 0) continue;
      if (member.type == JsonNull) break;
      // The text form of an unset address, as a client may send it back.
      if (member.type == JsonString && std::strcmp(member.value, "null") == 0) break;
      IP4 address;
      if (member.type != JsonString || !Ipv4::parse(member.value, address)) return false;
      if (std::strcmp(name, "netmask") == 0 && !Ipv4::isContiguousMask(address)) return false;
      break;
    }
  }
  return true;
}

void EthSettings::fromText(const char* text, const Origin& origin) {
  if (!acceptableEthObject(text)) {
    LOGW("Refused invalid %s settings", name);
    return;
  }
  Registry::fromText(text, origin);
}
