#pragma once
// "caneth_config": how the gateway is connected, in one object. Takes no
// parameters and always succeeds:
//
//   {"uuid":"3f1c...","ethernet":{"ip_type":"DHCP","ip":"192.168.1.100","ip2":"null",
//    "mask":"255.255.255.0","mask2":"0.0.0.0","gateway":"192.168.1.1","gateway2":"null",
//    "id_virtual_network":"none","network_name":"none"},
//    "mqtt":{"proto":"MQTT/TCP","broker":"10.0.0.1","broker2":"","port":1883,"port2":0,
//    "client_id_prefix":"","username":"u","username2":""},
//    "can":{"can_id":100,"visibility":false,"groups":[]}}
//
// The addresses are those in use ("eth_status"), as strings ("null" when not
// known); "ip_type" follows eth0's "dhcp"; the brokers are the "mqtt" group's,
// without their passwords. Everything is read under the registry mutex at
// the moment of the call.
#include <functional>
#include <string>

#include "registry/Catalogue.h"
#include "registry/Rpc.h"

namespace Hidden {

class GetCanEthDataRpc : public Rpc::SyncRPC {
 public:
  // Where the values come from: the process-wide tree (process()) or a test's.
  struct Sources {
    RegistryRoot* tree = nullptr;
    Catalogue::EthStatus* status = nullptr;
    EthSettings* eth0 = nullptr;
    Catalogue::Mqtt* brokers = nullptr;
    std::function<std::string()> uuid;
  };
  static Sources process();

  explicit GetCanEthDataRpc(Sources sources = process());

  RpcResult call(const std::string& params) override;

 private:
  Sources sources;
};

}  // namespace Hidden
