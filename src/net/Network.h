#pragma once
// The network worker: owns the configuration of the two Ethernet ports and
// the choice of the uplink the MQTT client runs over (Ethernet, or the GSM
// modem's PPP link as backup). For now it carries the ports' MAC address
// set-up (SetMac.cpp), which the factory identity calls at start and at
// commissioning, and the uplink choice; its thread only idles until the
// dhcpcd handling arrives, and without a modem controller the PPP link never
// comes up.
#include <atomic>
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

  // The GSM modem's PPP link as the uplink choice sees it.
  struct PppLink {
    std::function<void(bool up)> request;  // asks the modem controller for the link up or down
    std::function<bool()> isUp;             // the modem controller reports the link up
    std::function<void(int milliseconds)> sleep;
  };

  // No modem controller yet: requests go nowhere and the link is never up.
  static PppLink noModem();

  // How long switchBackup waits for the modem to report the wanted state.
  static constexpr int switchWaitMilliseconds = 3000;
  static constexpr int switchPollMilliseconds = 10;
  static constexpr int switchSettleMilliseconds = 100;

  // The process-wide worker, created on first call and never destroyed.
  static Network* instance();

  explicit Network(MacSetupContext macSetup = boardMacSetup(), PppLink ppp = noModem());
  ~Network() override;

  // Selects the PPP uplink (on) or Ethernet (off), asks the modem controller
  // for the matching link state and waits until it reports that state, at
  // most 3 s, then 100 ms more. Selecting the uplink already selected does
  // nothing. Called by the MQTT thread, which it blocks meanwhile.
  void switchBackup(bool on);
  // The selected uplink can carry traffic: with PPP selected, the PPP link is
  // up; with Ethernet, the PPP link is down (its default route would take the
  // traffic) and no Ethernet reconfiguration is in progress.
  bool networkReady();

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
  PppLink ppp;
  // The PPP uplink is selected. Written by the MQTT thread, read by others.
  std::atomic<bool> backupOn{false};
  // The Ethernet configuration is being rewritten and dhcpcd restarted.
  // Nothing rewrites it yet, so Ethernet counts as ready from the start.
  std::atomic<bool> reloadPending{false};
  // Start-up, commissioning and a settings reset may all set the addresses.
  std::mutex macMutex;
};
