// "caneth_config": the exact connection data text, before the first status
// refresh and with the values of a running board.
#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "RegistryTestTree.h"
#include "net/GetCanEthDataRpc.h"
#include "registry/Catalogue.h"
#include "registry/Ipv4Address.h"

namespace {

const char* const uuid = "3f1c2a9e-5b7d-4e10-9a6b-0c8d2e4f6a01";

struct CanEthTree {
  TestTree tree{{Catalogue::topLevelOrder.begin(), Catalogue::topLevelOrder.end()}};
  Catalogue::All all{tree.root};
  Hidden::GetCanEthDataRpc method{{&tree.root, &all.ethStatus, &all.eth0, &all.mqtt, [] { return uuid; }}};
};

void set(Entry<IP4>& entry, const char* text) { Ipv4::parse(text, entry.value); }

TEST(GetCanEthDataRpc, BeforeTheFirstRefreshAndWithoutABackupBroker) {
  CanEthTree board;
  board.tree.root.apply(R"({"mqtt":{"main":{"host":"broker.example","user":"gw","pass":"secret","port":1883}}})");
  RpcResult result = board.method.call("");
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.text,
            std::string(R"({"uuid":")") + uuid +
                R"(","ethernet":{"ip_type":"DHCP","ip":"null","ip2":"null","mask":"null","mask2":"null",)"
                R"("gateway":"null","gateway2":"null","id_virtual_network":"none","network_name":"none"},)"
                R"("mqtt":{"proto":"MQTT/TCP","broker":"broker.example","broker2":"","port":1883,"port2":0,)"
                R"("client_id_prefix":"","username":"gw","username2":""},)"
                R"("can":{"can_id":100,"visibility":false,"groups":[]}})");
  EXPECT_EQ(result.text.find("secret"), std::string::npos) << "no passwords";
}

TEST(GetCanEthDataRpc, AddressesInUseAndBothBrokers) {
  CanEthTree board;
  board.tree.root.apply(R"({"eth0":{"dhcp":false,"ip":"10.0.0.5"},"mqtt":{"main":{"host":"10.0.0.1","port":1883},)"
                        R"("alt":{"host":"backup.example","user":"altuser","pass":"p2","port":8883}}})");
  {
    std::lock_guard<std::recursive_mutex> lock(board.tree.root.mutex());
    set(board.all.ethStatus.ip1, "10.0.0.5");
    set(board.all.ethStatus.mask1, "255.255.0.0");
    set(board.all.ethStatus.gateway1, "10.0.0.1");
    set(board.all.ethStatus.mask2, "0.0.0.0");
  }
  EXPECT_EQ(board.method.call("{\"ignored\":1}").text,
            std::string(R"({"uuid":")") + uuid +
                R"(","ethernet":{"ip_type":"Static","ip":"10.0.0.5","ip2":"null","mask":"255.255.0.0",)"
                R"("mask2":"0.0.0.0","gateway":"10.0.0.1","gateway2":"null","id_virtual_network":"none",)"
                R"("network_name":"none"},)"
                R"("mqtt":{"proto":"MQTT/TCP","broker":"10.0.0.1","broker2":"backup.example","port":1883,)"
                R"("port2":8883,"client_id_prefix":"","username":"","username2":"altuser"},)"
                R"("can":{"can_id":100,"visibility":false,"groups":[]}})");
}

TEST(GetCanEthDataRpc, IsTheProcessWideMethod) {
  Rpc::PureRPC* method = RpcMethods::find("caneth_config");
  ASSERT_NE(method, nullptr);
  EXPECT_NE(dynamic_cast<Hidden::GetCanEthDataRpc*>(method), nullptr);
}

}  // namespace
