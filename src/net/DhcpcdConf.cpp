#include "net/DhcpcdConf.h"

#include <vector>

#include "registry/Ipv4Address.h"

namespace Dhcpcd {
namespace {

constexpr std::string_view defaultServers[] = {"8.8.8.8", "4.4.4.4"};

bool startsWith(std::string_view line, std::string_view prefix) { return line.substr(0, prefix.size()) == prefix; }

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view withoutTrailingBlanks(std::string_view text) {
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  return withoutTrailingBlanks(text);
}

// The lines of a text; a last line without a line feed counts too.
std::vector<std::string_view> linesOf(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t end = text.find('\n');
    if (end == std::string_view::npos) {
      lines.push_back(text);
      break;
    }
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  return lines;
}

IP4 addressOf(std::string_view text) {
  IP4 address;
  Ipv4::parseWord(text, address);
  return address;
}

bool isDefaultServer(const IP4& server) {
  for (std::string_view text : defaultServers) {
    if (Ipv4::same(server, addressOf(text))) return true;
  }
  return false;
}

// "interface eth1" -> 1; -1 for any other interface, or another line.
int portOfInterfaceLine(std::string_view line) {
  if (!startsWith(line, "interface ")) return -1;
  std::string_view name = trimmed(line.substr(10));
  if (name == "eth0") return 0;
  if (name == "eth1") return 1;
  return -1;
}

// What one section said beyond the settings themselves.
struct Section {
  bool staticBlock = false;
  bool defaultServerNamed = false;
};

// "10.0.0.5/16": the address, and the mask when a prefix of 0 to 32 follows.
void readAddressAndPrefix(std::string_view value, PortSettings& port) {
  size_t slash = value.find('/');
  port.ip = addressOf(value.substr(0, slash));
  if (slash == std::string_view::npos) return;
  std::string_view prefix = trimmed(value.substr(slash + 1));
  if (prefix.empty() || prefix.size() > 2) return;
  int bits = 0;
  for (char c : prefix) {
    if (c < '0' || c > '9') return;
    bits = bits * 10 + (c - '0');
  }
  if (bits <= 32) port.netmask = Ipv4::maskOfPrefix(bits);
}

// "10.0.0.2 8.8.8.8 4.4.4.4": the default servers are a flag, the others
// fill dns1, then dns2; empty pieces (doubled spaces) are skipped.
void readServers(std::string_view value, PortSettings& port, Section& section) {
  while (!value.empty()) {
    size_t end = value.find(' ');
    std::string_view piece = trimmed(value.substr(0, end));
    value = end == std::string_view::npos ? std::string_view() : value.substr(end + 1);
    if (piece.empty()) continue;
    if (piece == defaultServers[0] || piece == defaultServers[1]) {
      section.defaultServerNamed = true;
      continue;
    }
    (port.dns1.valid ? port.dns2 : port.dns1) = addressOf(piece);
  }
}

void endSection(PortSettings& port, const Section& section) {
  if (section.staticBlock) port.addDefaultDns = section.defaultServerNamed;
  if (!port.addDefaultDns) return;
  if (!port.dns1.valid) port.dns1 = addressOf(defaultServers[0]);
  if (!port.dns2.valid) port.dns2 = addressOf(defaultServers[1]);
}

// One line of a section; false when the line ends it.
bool readSectionLine(std::string_view line, PortSettings& port, Section& section) {
  static constexpr std::string_view addressKey = "static ip_address=";
  static constexpr std::string_view routerKey = "static routers=";
  static constexpr std::string_view serversKey = "static domain_name_servers=";
  if (startsWith(line, "profile") || startsWith(line, "metric")) return true;
  if (startsWith(line, "fallback")) {
    port.staticFallback = true;
  } else if (startsWith(line, addressKey)) {
    port.dhcp = port.staticFallback;
    readAddressAndPrefix(line.substr(addressKey.size()), port);
    section.staticBlock = true;
  } else if (startsWith(line, routerKey)) {
    port.gateway = addressOf(line.substr(routerKey.size()));
    section.staticBlock = true;
  } else if (startsWith(line, serversKey)) {
    readServers(line.substr(serversKey.size()), port, section);
    section.staticBlock = true;
  } else {
    return false;
  }
  return true;
}

void appendStaticBlock(std::string& text, const PortSettings& port) {
  text += "static ip_address=" + Ipv4::text(port.ip) + "/" + std::to_string(Ipv4::prefixLength(port.netmask)) + "\n";
  text += "static routers=" + Ipv4::text(port.gateway) + "\n";
  // With the default servers on, a dns1 or dns2 that is one of them (as a
  // read file fills them in) is not named twice.
  bool first = port.dns1.valid && !(port.addDefaultDns && isDefaultServer(port.dns1));
  bool second = port.dns2.valid && !(port.addDefaultDns && isDefaultServer(port.dns2));
  if (!first && !second && !port.addDefaultDns) return;
  text += "static domain_name_servers=";
  if (first) text += Ipv4::text(port.dns1) + " ";
  if (second) text += Ipv4::text(port.dns2) + " ";
  if (port.addDefaultDns) text += std::string(defaultServers[0]) + " " + std::string(defaultServers[1]);
  text += "\n";
}

}  // namespace

bool same(const PortSettings& a, const PortSettings& b) {
  return Ipv4::same(a.ip, b.ip) && Ipv4::same(a.netmask, b.netmask) && Ipv4::same(a.gateway, b.gateway) &&
         Ipv4::same(a.dns1, b.dns1) && Ipv4::same(a.dns2, b.dns2) && a.dhcp == b.dhcp &&
         a.staticFallback == b.staticFallback && a.addDefaultDns == b.addDefaultDns;
}

PortSettings withFallbackAddress(PortSettings settings, int port) {
  settings.dhcp = false;
  settings.ip = addressOf(port == 0 ? "192.168.0.101" : "192.168.0.102");
  settings.netmask = addressOf("255.255.255.0");
  return settings;
}

Ports readConfig(std::string_view text) {
  Ports ports{};
  int port = -1;
  Section section;
  for (std::string_view line : linesOf(text)) {
    if (port < 0) {
      port = portOfInterfaceLine(line);
      // A port's section says all about it: a later one replaces an earlier.
      if (port >= 0) ports[port] = PortSettings();
      section = Section();
      continue;
    }
    // A carriage return (CR LF line ends) belongs to no value.
    if (!readSectionLine(withoutTrailingBlanks(line), ports[port], section)) {
      endSection(ports[port], section);
      port = -1;
    }
  }
  if (port >= 0) endSection(ports[port], section);
  return ports;
}

std::string writeConfig(std::string_view current, const Ports& ports, bool* globalCut) {
  std::string text;
  bool cut = false;
  for (std::string_view line : linesOf(current)) {
    if (startsWith(line, "interface ") || startsWith(line, "denyinterfaces ")) break;
    if (text.size() + line.size() + 1 > maxGlobalPart) {
      cut = true;
      break;
    }
    text.append(line);
    text += '\n';
  }
  if (globalCut != nullptr) *globalCut = cut;
  text += "denyinterfaces can0\ndenyinterfaces can1\ndenyinterfaces ppp0\n\n";
  for (int n = 0; n < 2; ++n) {
    const PortSettings& port = ports[n];
    text += "interface eth" + std::to_string(n) + "\n";
    text += "metric " + std::to_string(800 + n) + "\n";
    if (!port.dhcp || port.staticFallback) {
      if (port.dhcp) {
        text += "fallback eth" + std::to_string(n) + "_fallback\n";
        text += "profile eth" + std::to_string(n) + "_fallback\n";
      }
      appendStaticBlock(text, port);
    }
    text += "\n";
  }
  return text;
}

}  // namespace Dhcpcd
