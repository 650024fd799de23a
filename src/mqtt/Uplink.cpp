#include "mqtt/Uplink.h"

#include <atomic>

namespace Mqtt {

namespace {

class EthernetOnlyUplink : public Uplink {
 public:
  void switchBackup(bool on) override { backup.store(on); }
  bool networkReady() override { return !backup.load(); }

 private:
  std::atomic<bool> backup{false};
};

}  // namespace

Uplink& processUplink() {
  static EthernetOnlyUplink* uplink = new EthernetOnlyUplink();
  return *uplink;
}

}  // namespace Mqtt
