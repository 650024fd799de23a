#pragma once
// The service endpoints of the local API: "fw_update" schedules a firmware
// update through the U-Boot environment and restarts the board, "reset"
// restarts it or erases stored data. A client sends {"fw_update":"full"} or
// {"reset":"reboot"} and is answered {"reset":{"result":"ok"}} (results
// "ok", "error", "unknown", "nope"); an answer for a client that is gone is
// dropped, the command still runs. The handlers run in the WebSocket thread.
//
//   reset value   commands, in order
//   reboot        reboot -d 1
//   mass_erase    killall -9 dhcpcd ; umount -l /data ; flash_erase -j /dev/mtd5 0 0 ; /etc/init.d/S10data start
//                 (the factory MAC addresses into a new interfaces file, not applied)
//                 /etc/init.d/S10data stop ; reboot -d 1
//   mqtt_erase    rm /data/dps/mqtt ; reboot -d 1
//   eth_erase     (both ports to their start values in dhcpcd.conf, see Network::eraseEthernet)
//                 rm /data/dps/eth* ; reboot -d 1
//
// Every path is one single-quoted word below the simulation root
// (Platform::shellPath); client values are only compared, never put into a
// command. The board restarts after a reset, so one reset runs at most; a
// second one is refused with "error" at once.
#include <atomic>
#include <functional>
#include <string>

#include "platform/Shell.h"
#include "registry/Entry.h"

class ServiceEndpoints {
 public:
  // What the endpoints reach outside themselves; boardServices() gives the
  // real ones, tests their fakes.
  struct Services {
    Platform::ShellRunner shell;
    // The factory MAC addresses, false when the factory parameters are not
    // valid. Called under the registry mutex.
    std::function<bool(std::string& mac1, std::string& mac2)> factoryMacs;
    std::function<void(const char* mac1, const char* mac2, bool apply)> setMacs;
    std::function<void()> eraseEthernet;
    std::function<void()> freezeEthernet;
  };
  static Services boardServices();

  explicit ServiceEndpoints(Services services);

  // Attaches the process-wide endpoints' handlers to an instance with the
  // board's services (once; later calls do nothing).
  static void attach();

  void firmwareUpdate(const char* value, const Origin& origin);
  void reset(const char* value, const Origin& origin);

 private:
  void massErase();

  Services services;
  // Taken by the first reset and never given back: the board restarts.
  std::atomic<bool> resetTaken{false};
};
