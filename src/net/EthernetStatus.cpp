// What the Ethernet ports use and what the boot loader is told: the
// "eth_status" group from `ip`, and eth0's addressing in the U-Boot
// environment (usedhcp, ipaddr), which the boot loader's own network uses.
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "core/Log.h"
#include "core/SysEnv.h"
#include "net/Network.h"
#include "registry/Ipv4Address.h"

#undef FIELDHUB_FILE_NAME
#define FIELDHUB_FILE_NAME "Network.cpp"

namespace {

// Each `ip` question is answered with one short word; more is no answer.
constexpr size_t maxAnswer = 29;

IP4 addressOf(const std::string& answer) {
  IP4 address;
  Ipv4::parseWord(answer, address);
  return address;
}

// "printf $2" of the port's first primary address line, once its "/" became
// a space: "    inet 192.168.1.100/24 scope global eth0" -> $2 address, $3 prefix.
std::string addressField(const std::string& port, char field) {
  return "ip -4 addr show " + port + " primary | grep inet -m 1 | sed 's/\\// /g' | awk '{printf $" + field + "}'";
}

// The value of a "name=value" line of fw_printenv output; nothing when the
// output has no such line.
std::optional<std::string_view> variableValue(std::string_view output, std::string_view name) {
  while (!output.empty()) {
    size_t end = output.find('\n');
    std::string_view line = output.substr(0, end);
    output = end == std::string_view::npos ? std::string_view() : output.substr(end + 1);
    if (line.size() > name.size() && line.substr(0, name.size()) == name && line[name.size()] == '=') {
      line.remove_prefix(name.size() + 1);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      return line;
    }
  }
  return std::nullopt;
}

}  // namespace

void Network::refreshStatus() {
  IP4 addresses[2];
  IP4 masks[2];
  IP4 gateways[2];
  for (int n = 0; n < 2; ++n) {
    std::string port = "eth" + std::to_string(n);
    addresses[n] = addressOf(ethernet.shell.output(addressField(port, '2'), maxAnswer));
    // No address gives prefix 0: the mask is always set, 0.0.0.0 then.
    int prefix = std::atoi(ethernet.shell.output(addressField(port, '3'), maxAnswer).c_str());
    masks[n] = Ipv4::maskOfPrefix(prefix >= 0 && prefix <= 32 ? prefix : 0);
    gateways[n] = addressOf(ethernet.shell.output("ip -4 route show dev " + port + " default | awk '{printf $3}'",
                                                  maxAnswer));
  }
  std::lock_guard<std::recursive_mutex> lock(ethernet.tree->mutex());
  Catalogue::EthStatus& status = *ethernet.status;
  status.ip1.value = addresses[0];
  status.mask1.value = masks[0];
  status.gateway1.value = gateways[0];
  status.ip2.value = addresses[1];
  status.mask2.value = masks[1];
  status.gateway2.value = gateways[1];
  ethernet.tree->commit(status.ip1);
}

void Network::syncBootEnv(bool dhcp, const IP4& ip) {
  if (!SysEnv::checkBootEnvironment(ethernet.shell)) return;
  std::string output = SysEnv::printBootVariables("usedhcp ipaddr", 50, ethernet.shell);
  if (output.empty()) return;
  bool wantDhcp = dhcp || !ip.valid;
  if ((variableValue(output, "usedhcp") == "1") != wantDhcp) {
    SysEnv::setBootVariable("usedhcp", wantDhcp ? "1" : "0", ethernet.shell);
    LOGI("Set U-Boot dhcp %d", wantDhcp ? 1 : 0);
  }
  // The whole value counts: 10.0.0.5 is not the address 10.0.0.50.
  std::string address = Ipv4::text(ip);
  if (!wantDhcp && variableValue(output, "ipaddr") != address) {
    SysEnv::setBootVariable("ipaddr", address, ethernet.shell);
    LOGI("Set U-Boot static ip: %s", address.c_str());
  }
}
