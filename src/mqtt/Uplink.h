#pragma once
// The uplink the broker connection runs over: Ethernet, or the GSM modem's
// PPP link as backup. The MQTT thread asks for the backup after every 24
// failed attempts and waits until the chosen link is ready.
namespace Mqtt {

class Uplink {
 public:
  virtual ~Uplink() = default;
  // Selects the PPP link (on) or Ethernet (off); may wait for the modem.
  virtual void switchBackup(bool on) = 0;
  // True when the selected link can carry traffic.
  virtual bool networkReady() = 0;
};

// The uplink of the process: the network worker's choice
// (Network::switchBackup / Network::networkReady).
Uplink& processUplink();

}  // namespace Mqtt
