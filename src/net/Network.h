#pragma once
// The network worker: owns the configuration of the two Ethernet ports. For
// now it carries the ports' MAC address set-up (SetMac.cpp), which the factory
// identity calls at start and at commissioning; its thread only idles until
// the dhcpcd handling arrives.
#include <functional>
#include <mutex>
#include <string>

#include "core/Thread.h"

class Network : public Thread {
 public:
  // Where the MAC set-up reads and writes, and how it runs platform commands.
  struct MacSetupContext {
    std::string interfacesPath;    // /data/etc/network/interfaces as this process opens it
    std::string randomSourcePath;  // /dev/urandom
    std::string networkScript;     // /etc/init.d/S40network, as named in the commands
    std::function<void(const std::string& command)> runCommand;
  };

  // The board's files, the network start script and Platform::shell.
  static MacSetupContext boardMacSetup();

  // The process-wide worker, created on first call and never destroyed.
  static Network* instance();

  explicit Network(MacSetupContext macSetup = boardMacSetup());

  // Makes the interfaces file give eth0 the address mac1 and eth1 the address
  // mac2 ("02:51:90:00:00:2A", upper-case digits). When the file already does,
  // nothing happens. Otherwise the file is rewritten as interfaces.next; with
  // `apply` networking is stopped, the new file moved into place and
  // networking started again, without it the new file waits as
  // interfaces.next for the next boot's scripts.
  void setMacs(const char* mac1, const char* mac2, bool apply);
  // Two random unicast addresses for a board without factory parameters,
  // set up as above; then the ports' old IP addresses are flushed.
  void randomMacs(bool apply);

 protected:
  void run() override;

 private:
  MacSetupContext macSetup;
  // Start-up, commissioning and a settings reset may all set the addresses.
  std::mutex macMutex;
};
