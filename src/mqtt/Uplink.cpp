#include "mqtt/Uplink.h"

#include "net/Network.h"

namespace Mqtt {

namespace {

class NetworkUplink : public Uplink {
 public:
  void switchBackup(bool on) override { Network::instance()->switchBackup(on); }
  bool networkReady() override { return Network::instance()->networkReady(); }
};

}  // namespace

Uplink& processUplink() {
  static NetworkUplink* uplink = new NetworkUplink();
  return *uplink;
}

}  // namespace Mqtt
