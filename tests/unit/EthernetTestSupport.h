#pragma once
// The Ethernet side of a network worker on a test's own catalogue: its tree,
// ports, status group, configuration file and fake shell. Tests set the
// button, LED, clock and waits they need on top.
#include <string>

#include "FakeShell.h"
#include "net/Network.h"
#include "registry/Catalogue.h"

inline Network::EthernetContext testEthernet(RegistryRoot& tree, Catalogue::All& catalogue, FakeShell& shell,
                                             const std::string& configPath) {
  Network::EthernetContext ethernet;
  ethernet.tree = &tree;
  ethernet.ports[0] = &catalogue.eth0;
  ethernet.ports[1] = &catalogue.eth1;
  ethernet.status = &catalogue.ethStatus;
  ethernet.configPath = configPath;
  ethernet.shell = shell.runner();
  ethernet.readButton = [] { return 1; };
  ethernet.setLed = [](bool) {};
  return ethernet;
}

// The MAC set-up of a worker whose tests never reach it.
inline Network::MacSetupContext unusedMacSetup() {
  return {"/nonexistent/interfaces", "/nonexistent/urandom", "/etc/init.d/S40network", [](const std::string&) {}};
}
