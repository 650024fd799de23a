#pragma once
// The Ethernet ports' sections of the DHCP client's configuration file, read
// into settings and written from them. The file is the only store of these
// settings. A written file:
//
//   <global part: the platform's own lines, kept as they were>
//   denyinterfaces can0
//   denyinterfaces can1
//   denyinterfaces ppp0
//   (empty line)
//   interface eth0                          a static port
//   metric 800
//   static ip_address=10.0.0.5/16
//   static routers=10.0.0.1                 "null" without a router
//   static domain_name_servers=10.0.0.2 8.8.8.8 4.4.4.4
//   (empty line)
//   interface eth1                          DHCP, static settings as fallback
//   metric 801
//   fallback eth1_fallback
//   profile eth1_fallback
//   static ip_address=192.168.0.102/24
//   ...
//   (empty line)
//
// A DHCP port without fallback has only its "interface" and "metric" lines.
// Every value is written from parsed numbers and flags, never as text taken
// from a client.
#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "registry/EntryText.h"

namespace Dhcpcd {

// One port's settings; the start values are DHCP with the default name
// servers.
struct PortSettings {
  IP4 ip{};
  IP4 netmask{};
  IP4 gateway{};
  IP4 dns1{};
  IP4 dns2{};
  bool dhcp = true;
  bool staticFallback = false;
  bool addDefaultDns = true;
};

using Ports = std::array<PortSettings, 2>;

bool same(const PortSettings& a, const PortSettings& b);

// The recovery settings of the fallback button: port n static 192.168.0.10(n+1)
// with mask 255.255.255.0; the other members as they were.
PortSettings withFallbackAddress(PortSettings settings, int port);

// The global part kept from the current file is cut (at a line end) beyond
// this, so a file filled with garbage cannot grow or push the sections past
// what the next start reads.
inline constexpr size_t maxGlobalPart = 64 * 1024;

// The settings a file text gives, starting from the start values. A section
// begins at "interface eth0" or "interface eth1" (a later section of a port
// replaces an earlier one) and ends at the first line
// it does not understand (which is not examined again) or at the end of the
// text; "metric" and "profile" lines are passed over, "fallback" sets the
// static fallback, and the static lines give the address and prefix, the
// router and the name servers. 8.8.8.8 and 4.4.4.4 among the servers stand
// for the default servers; a static block whose server line holds neither,
// or that has no server line, does without them. With the default servers,
// unset dns1 and dns2 read as 8.8.8.8 and 4.4.4.4 when the section ends.
Ports readConfig(std::string_view text);

// The whole new file for these settings, keeping the global part of
// `current`: its lines before the first "interface " or "denyinterfaces "
// line, each ending with a line feed. `globalCut` (when given) tells whether
// that part had to be cut at maxGlobalPart.
std::string writeConfig(std::string_view current, const Ports& ports, bool* globalCut = nullptr);

}  // namespace Dhcpcd
