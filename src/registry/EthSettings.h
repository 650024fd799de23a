#pragma once
// eth0, eth1: one Ethernet port's configuration. The network worker keeps it
// in the DHCP client's configuration file, not under /data/dps/, and writes
// it into that file and restarts the client whenever it changes.
//
// Start values (before the file is read): DHCP, with the default name
// servers 8.8.8.8 and 4.4.4.4; no static address, mask, router or servers.
//
// Every value reaches a file line and the U-Boot environment, so an applied
// object is checked whole first: each of "ip", "netmask", "gateway", "dns1"
// and "dns2" that it names must be null or a dotted quad (Ipv4::parse), and
// a netmask must be contiguous. Otherwise nothing of it is taken:
//   {"ip":"10.0.0.9 ;reboot","dhcp":false}  ->  W "Refused invalid eth0 settings"
// the values stay, the port's Waiters are not woken, and the group is still
// announced, so the client is sent the settings as they are.
#include "registry/Entry.h"
#include "registry/Registry.h"

class EthSettings : public Registry {
 public:
  // The group {port} ("eth0" or "eth1") and its members, at the start values.
  EthSettings(RegistryRoot& root, const char* port);
  ~EthSettings() override;

  void fromText(const char* text, const Origin& origin) override;

  Entry<IP4> ip;
  Entry<IP4> netmask;
  Entry<IP4> gateway;
  Entry<IP4> dns1;
  Entry<IP4> dns2;
  Entry<bool> dhcp;
  Entry<bool> staticFallback;
  Entry<bool> addDefaultDns;
};

// True when every address member of the object text is null or a dotted quad
// and its netmask is contiguous (members the object does not name pass).
bool acceptableEthObject(const char* text);
