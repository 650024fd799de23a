#pragma once
// Keeps /etc/avahi/services/ws.service current, so the avahi daemon announces
// the local WebSocket API on the LAN as a _ws._tcp service on port 80 with
// text records for the firmware version, the uptime, the Ethernet addresses
// and, on a board not yet commissioned, the modem's IMEI (which the factory
// tester reads). The file is rewritten every 30 s: at once on a commissioned
// board, after up to 30 one-second waits for the IMEI on a blank one.
//
// The file is written as ws.service.new (a name avahi does not read) and
// renamed over ws.service, mode 0644, so avahi never reads half a file.
#include <cstdint>
#include <functional>
#include <string>

#include "core/Thread.h"
#include "registry/Catalogue.h"

class MDNS : public Thread {
 public:
  static constexpr int imeiWaits = 30;
  static constexpr int imeiWaitMilliseconds = 1000;
  static constexpr int periodMilliseconds = 30000;

  struct Environment {
    RegistryRoot* tree = nullptr;
    Catalogue::EthStatus* addresses = nullptr;  // ip1 (eth0), ip2 (eth1)
    Catalogue::GsmStatus* modem = nullptr;      // imei
    std::function<bool()> commissioned;
    // Whole seconds since the process started.
    std::function<int32_t()> uptimeSeconds;
    // The service file as this process opens it.
    std::string servicePath;

    // The process-wide entries, the factory identity, the log's uptime and
    // /etc/avahi/services/ws.service.
    static Environment process();
  };

  // The file's text; the imei record only for a board not yet commissioned
  // (null: none), an address that is not set shows as null.
  static std::string serviceText(int32_t uptime, const uint64_t* imei, const IP4& eth0, const IP4& eth1);

  explicit MDNS(Environment environment = Environment::process());
  ~MDNS() override;

  // Writes the file once, as it is now; false when it could not be written.
  bool writeServiceFile();

 protected:
  void run() override;

 private:
  uint64_t readImei();

  Environment environment;
  // The modem's IMEI, 0 until it was read.
  uint64_t imei = 0;
};
