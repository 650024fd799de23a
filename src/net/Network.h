#pragma once
// The network worker: owns the configuration of the two Ethernet ports and
// the choice of the uplink the MQTT client runs over (Ethernet, or the GSM
// modem's PPP link as backup), and carries the ports' MAC address set-up
// (SetMac.cpp), which the factory identity calls at start and at
// commissioning.
//
// Ethernet: the "eth0" and "eth1" settings live in /data/etc/dhcpcd.conf
// (DhcpcdConf.h). At start the thread offers the fallback button
// (FallbackButton.cpp), restores a configuration saved while the fallback
// was active, and reads the file into the settings. Then, whenever a client
// changes a port, and once at the start, it writes the file anew, mirrors
// eth0's addressing into the U-Boot environment and restarts dhcpcd
// (EthernetConfig.cpp); after every restart and every 30 s it publishes the
// addresses in use as "eth_status" (EthernetStatus.cpp). The PPP link is the
// modem controller's (net/sim800/controller.h).
//
// Files: Network.cpp (thread, loop, uplink), EthernetConfig.cpp,
// FallbackButton.cpp, EthernetStatus.cpp, SetMac.cpp; all but SetMac.cpp
// log as "Network.cpp".
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "core/Thread.h"
#include "net/DhcpcdConf.h"
#include "platform/Shell.h"
#include "registry/AtomicFile.h"
#include "registry/Catalogue.h"
#include "registry/Waiter.h"

class Network : public Thread {
 public:
  // Where the MAC set-up reads and writes, and how it runs platform commands.
  struct MacSetupContext {
    std::string interfacesPath;    // /data/etc/network/interfaces as this process opens it
    std::string randomSourcePath;  // /dev/urandom
    std::string networkScript;     // /etc/init.d/S40network as one shell word (Platform::shellPath)
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

  // The modem controller's link: a request sets Sim800::wantPpp, the link is
  // up while its pppd runs.
  static PppLink modemLink();
  // No modem (tests of the Ethernet side): requests go nowhere and the link
  // is never up.
  static PppLink noModem();

  // What the Ethernet configuration reaches outside itself: the board's
  // (boardEthernet()), or a test's tree, files and fakes.
  struct EthernetContext {
    RegistryRoot* tree = nullptr;
    EthSettings* ports[2] = {nullptr, nullptr};
    Catalogue::EthStatus* status = nullptr;
    // /data/etc/dhcpcd.conf as this process opens it; ".next" and ".fb" sit
    // next to it.
    std::string configPath;
    FileOperations files = systemFileOperations();
    // dhcpcd, ip, fw_printenv and fw_setenv.
    Platform::ShellRunner shell;
    // The service button "button1": the digit of its first character (1 is
    // released), -1 when it cannot be read.
    std::function<int()> readButton;
    // The yellow LED.
    std::function<void(bool on)> setLed;
    // Monotonic milliseconds.
    std::function<int64_t()> milliseconds;
    // Empty: the worker's own sleep, cut short when it is stopped.
    std::function<void(int milliseconds)> sleep;
    // Waits up to the time for a client's change of eth0 or eth1 (0: only
    // looks); true when one came. Empty: the worker's Waiter.
    std::function<bool(int milliseconds)> waitForChange;
  };

  static EthernetContext boardEthernet();

  // How long switchBackup waits for the modem to report the wanted state.
  static constexpr int switchWaitMilliseconds = 3000;
  static constexpr int switchPollMilliseconds = 10;
  static constexpr int switchSettleMilliseconds = 100;

  // The addresses in use are published at least this often.
  static constexpr int64_t statusRefreshMilliseconds = 30000;
  // The fallback button: more than buttonChangesNeeded level changes within
  // the window, sampled every 10 ms, apply the fallback settings for
  // fallbackHoldMilliseconds unless a client changes a port meanwhile.
  static constexpr int buttonSampleMilliseconds = 10;
  static constexpr int buttonSamples = 1200;
  static constexpr int64_t buttonWindowMilliseconds = 12000;
  static constexpr int buttonChangesNeeded = 10;
  static constexpr int ledFlashMilliseconds = 30;
  static constexpr int fallbackHoldMilliseconds = 240000;
  static constexpr int fallbackSettleMilliseconds = 3000;
  // Configuration files longer than this count as unreadable.
  static constexpr size_t maxConfigBytes = 1024 * 1024;

  // The process-wide worker, created on first call and never destroyed.
  static Network* instance();

  explicit Network(MacSetupContext macSetup = boardMacSetup(), PppLink ppp = modemLink(),
                   EthernetContext ethernet = boardEthernet());
  ~Network() override;

  // Selects the PPP uplink (on) or Ethernet (off), asks the modem controller
  // for the matching link state and waits until it reports that state, at
  // most 3 s, then 100 ms more. Selecting the uplink already selected does
  // nothing. Called by the MQTT thread, which it blocks meanwhile.
  void switchBackup(bool on);
  // The selected uplink can carry traffic: with PPP selected, the PPP link is
  // up; with Ethernet, the PPP link is down (its default route would take the
  // traffic) and no Ethernet reconfiguration is in progress (none has
  // finished yet counts as one in progress).
  bool networkReady();

  // Makes the interfaces file give eth0 the address mac1 and eth1 the address
  // mac2 ("02:51:90:00:00:2A", upper-case digits). When the file already does,
  // nothing happens. Otherwise the file is rewritten as interfaces.next; with
  // `apply` networking is stopped, the new file moved into place and
  // networking started again, without it the new file waits as
  // interfaces.next for the next boot's scripts. False (logged E) when the
  // new file could not be written or moved into place.
  bool setMacs(const char* mac1, const char* mac2, bool apply);
  // Two random unicast addresses for a board without factory parameters,
  // set up as above; then the ports' old IP addresses are flushed.
  void randomMacs(bool apply);

  // The "eth_erase" reset: both ports back to their start values, written to
  // dhcpcd.conf (global part kept) and mirrored into the U-Boot environment,
  // without restarting dhcpcd; a configuration saved by the fallback button
  // is dropped. The caller reboots the board; until then the configuration
  // is not written again.
  void eraseEthernet();
  // The board is about to erase its data partition: the configuration is
  // not written any more.
  void freezeConfiguration();

  // The thread body's pieces, public so tests drive them step by step.
  //
  // Start: the fallback button, the saved configuration, reading the file.
  void startUp();
  // One pass of the loop: waits for a change (or, while one is pending, not
  // at all) until the next status refresh is due; rewrites and reloads after
  // a change or at the first pass; refreshes the status when due.
  void pass();
  // The button procedure; true when the fallback settings were applied.
  bool fallbackRequest();
  // Puts a configuration saved by the button procedure back in place.
  void recoverSavedConfig();
  // The settings from dhcpcd.conf (start values where it says nothing).
  void readConfig();
  enum class WriteResult { written, unchanged, failed };
  // dhcpcd.conf.next from the settings and the current file's global part,
  // then the U-Boot environment in line with eth0. A text equal to the live
  // file is not written again.
  WriteResult writeConfig();
  // Stops dhcpcd, moves dhcpcd.conf.next into place when `install`, starts
  // dhcpcd.
  void reloadNetwork(bool install);
  // usedhcp and ipaddr of the U-Boot environment for eth0's addressing.
  void syncBootEnv(bool dhcp, const IP4& ip);
  // "eth_status" from the addresses, prefixes and default routes in use.
  void refreshStatus();

 protected:
  void run() override;

 private:
  bool finishing() const { return ending.load() || stopRequested(); }
  int64_t now() const { return ethernet.milliseconds(); }
  void sleepFor(int milliseconds) { ethernet.sleep(milliseconds); }

  std::string nextPath() const { return ethernet.configPath + ".next"; }
  std::string savedPath() const { return ethernet.configPath + ".fb"; }
  // The settings of both ports, read and written under the registry mutex;
  // a group that changed is announced to the clients.
  Dhcpcd::Ports portSettings();
  void storePortSettings(const Dhcpcd::Ports& ports);
  // dhcpcd.conf.next written completely and flushed; the caller holds
  // configMutex.
  bool writeNextLocked(const std::string& text);
  // dhcpcd.conf.next moved over dhcpcd.conf; the caller holds configMutex.
  bool installNextLocked();
  // The content of a configuration file; empty when it is missing, nothing
  // when it cannot be read or is too long.
  std::optional<std::string> readFile(const std::string& path, bool* missing = nullptr) const;
  // dhcpcd.conf.fb as a copy of dhcpcd.conf, kept when it exists already.
  bool saveFallbackCopy();
  int countButtonChanges();
  void drainChanges();

  MacSetupContext macSetup;
  PppLink ppp;
  EthernetContext ethernet;
  // The PPP uplink is selected. Written by the MQTT thread, read by others.
  std::atomic<bool> backupOn{false};
  // The Ethernet configuration is being rewritten and dhcpcd restarted; set
  // from the start until the first reload has finished.
  std::atomic<bool> reloadPending{true};
  // The worker is being destroyed: every wait ends and no step starts.
  std::atomic<bool> ending{false};
  // Start of the current 30 s status period (worker thread only).
  int64_t lastTimedRefresh = 0;
  // Start-up, commissioning and a settings reset may all set the addresses.
  std::mutex macMutex;
  // The network thread and a reset in the WebSocket thread both write
  // dhcpcd.conf.next and move it into place. Taken after the registry mutex,
  // never before it.
  std::mutex configMutex;
  // Set by a reset: the configuration is not written any more (configMutex).
  bool configFrozen = false;
  Waiter settingsWaiter;
};
