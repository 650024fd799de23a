// The catalogue: every path with its type and default, the root's order, and
// how clients meet it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <string>

#include "RegistryTestTree.h"
#include "registry/Catalogue.h"
#include "registry/Rpc.h"

namespace {

std::vector<std::string_view> catalogueOrder() {
  return {Catalogue::topLevelOrder.begin(), Catalogue::topLevelOrder.end()};
}

// A whole catalogue in a tree of the test's own, loaded from an empty directory.
struct CatalogueTree {
  TestTree tree{catalogueOrder()};
  Catalogue::All all{tree.root};
};

std::string withoutBuildAndClock(std::string text) {
  text = std::regex_replace(text, std::regex("\"time\":[0-9]+"), "\"time\":T");
  return std::regex_replace(text, std::regex("\"commit\":\"[0-9a-f]{14}\""), "\"commit\":C");
}

const char* const eth = R"({"ip":null,"netmask":null,"gateway":null,"dns1":null,"dns2":null,)"
                        R"("dhcp":true,"static_fallback":false,"add_default_dns":true})";
const char* const broker = R"({"host":"","user":"","pass":"","port":0})";

TEST(Catalogue, FreshTreeTextHasEveryGroupInOrderWithDefaults) {
  CatalogueTree catalogue;
  std::string expected = std::string("{") +
                         R"("power_status":{"main":0.00,"backup":0.00,"alarm":false},)"
                         R"("power_limits":{"main":{"min":20.00,"max":30.00},"backup":{"min":20.00,"max":30.00},)"
                         R"("need_both":true},)"
                         R"("eth_status":{"ip1":null,"ip2":null,"mask1":null,"mask2":null,"gateway1":null,)"
                         R"("gateway2":null},)" +
                         "\"eth0\":" + eth + ",\"eth1\":" + eth + ",\"mqtt\":{\"main\":" + broker +
                         ",\"alt\":" + broker + "}," +
                         R"("mqtt_status":{"connected":false,"using_alt_mqtt":false},)"
                         R"("wsc":{"password":"5172839406"},)"
                         R"("system":{"time":T,"commit":C,"release":"2023.2.7"},)"
                         R"("gsm_status":{"rssi":0,"imei":0},)"
                         R"("can":{"port1":"off","port2":"off","x2krel":false},)"
                         R"("krel_devices_list":[],)"
                         R"("pult":{"is_server":false,"target":null,"enabled":false},)"
                         R"("rs485":{"poll":false,"poll_interval":0},)"
                         R"("rs485_status":{"devices":0},)"
                         R"("root":{"login_enabled":false,"password":""}})";
  EXPECT_EQ(withoutBuildAndClock(catalogue.tree.root.toText()), expected);
  EXPECT_FALSE(std::filesystem::exists(catalogue.tree.root.directory())) << "building writes no file";
}

// Every path of the catalogue, checked for its class and value type.
struct PathCase {
  std::vector<const char*> path;
  std::function<bool(EntryNode*)> hasType;
};

template <typename T>
std::function<bool(EntryNode*)> is() {
  return [](EntryNode* node) { return dynamic_cast<T*>(node) != nullptr; };
}

template <typename T>
std::function<bool(EntryNode*)> isSetting() {
  return [](EntryNode* node) {
    return dynamic_cast<Entry<T>*>(node) != nullptr && dynamic_cast<WSStatus<T>*>(node) == nullptr;
  };
}

TEST(Catalogue, EveryPathHasItsClassAndType) {
  CatalogueTree catalogue;
  const PathCase cases[] = {
      {{"power_status", "main"}, isSetting<float>()},
      {{"power_status", "backup"}, isSetting<float>()},
      {{"power_status", "alarm"}, isSetting<bool>()},
      {{"power_limits", "main", "min"}, isSetting<float>()},
      {{"power_limits", "main", "max"}, isSetting<float>()},
      {{"power_limits", "backup", "min"}, isSetting<float>()},
      {{"power_limits", "backup", "max"}, isSetting<float>()},
      {{"power_limits", "need_both"}, isSetting<bool>()},
      {{"eth_status", "ip1"}, isSetting<IP4>()},
      {{"eth_status", "gateway2"}, isSetting<IP4>()},
      {{"eth0", "dns2"}, isSetting<IP4>()},
      {{"eth1", "ip"}, isSetting<IP4>()},
      {{"eth1", "add_default_dns"}, isSetting<bool>()},
      {{"mqtt", "main"}, isSetting<ServerSettings>()},
      {{"mqtt", "alt"}, isSetting<ServerSettings>()},
      {{"mqtt_status", "connected"}, is<WSStatus<bool>>()},
      {{"mqtt_status", "using_alt_mqtt"}, is<WSStatus<bool>>()},
      {{"mqtt_test"}, is<Catalogue::MqttTestEndpoint>()},
      {{"wsc", "password"}, isSetting<char[32]>()},
      {{"fw_update"}, is<Catalogue::FirmwareUpdateEndpoint>()},
      {{"reset"}, is<Catalogue::ResetEndpoint>()},
      {{"system", "time"}, isSetting<current_time>()},
      {{"system", "commit"}, isSetting<System::_git_commit>()},
      {{"system", "release"}, isSetting<System::_release_label>()},
      {{"gsm_status", "rssi"}, is<WSStatus<int>>()},
      {{"gsm_status", "imei"}, is<WSStatus<unsigned long long>>()},
      {{"can", "port1"}, isSetting<CanPortMode>()},
      {{"can", "port2"}, isSetting<CanPortMode>()},
      {{"can", "x2krel"}, isSetting<bool>()},
      {{"krel_tx"}, is<Catalogue::KrelTxEndpoint>()},
      {{"krel_rx"}, is<Catalogue::KrelRxEndpoint>()},
      {{"krel_devices_list"}, is<WSStatus<KrelDevicesStatus>>()},
      {{"pult", "is_server"}, isSetting<bool>()},
      {{"pult", "target"}, isSetting<IP4>()},
      {{"pult", "enabled"}, isSetting<bool>()},
      {{"rs485", "poll"}, isSetting<bool>()},
      {{"rs485", "poll_interval"}, isSetting<int>()},
      {{"rs485_status", "devices"}, is<WSStatus<int>>()},
      {{"rs485_device"}, is<Catalogue::Rs485DeviceEndpoint>()},
      {{"root", "login_enabled"}, isSetting<bool>()},
      {{"root", "password"}, isSetting<char[32]>()},
  };
  for (const PathCase& c : cases) {
    EntryNode* node = &catalogue.tree.root;
    for (const char* name : c.path) {
      Registry* group = node != nullptr ? node->asRegistry() : nullptr;
      node = group != nullptr ? group->child(name) : nullptr;
    }
    std::string path;
    for (const char* name : c.path) path += std::string("/") + name;
    ASSERT_NE(node, nullptr) << path;
    EXPECT_EQ(node->asRegistry(), nullptr) << path << " is a leaf";
    EXPECT_TRUE(c.hasType(node)) << path;
  }

  // Which top-level groups are persisted.
  std::set<std::string> persisted;
  for (EntryNode* node : catalogue.tree.root.children) {
    if (node->persistent) persisted.insert(node->name);
  }
  EXPECT_EQ(persisted, (std::set<std::string>{"power_limits", "mqtt", "wsc", "can", "pult", "rs485", "root"}));
}

void expectUniqueNames(const Registry& group, const std::string& where) {
  std::set<std::string> seen;
  for (const EntryNode* node : group.children) {
    EXPECT_TRUE(seen.insert(node->name).second) << where << "/" << node->name << " twice";
    if (const Registry* inner = const_cast<EntryNode*>(node)->asRegistry()) {
      expectUniqueNames(*inner, where + "/" + node->name);
    }
  }
}

TEST(Catalogue, RootOrderFollowsTheTableAndLateEntriesTakeTheirPlace) {
  CatalogueTree catalogue;
  RegistryRoot& root = catalogue.tree.root;
  // The owners of these come later (factory identity, factory-test mode).
  Catalogue::FactoryTest factoryTest(root);
  Entry<bool> resetFactoryTests(root, {"reset_factory_tests"});
  Entry<int> factory(root, {"factory"});

  std::vector<std::string> names;
  for (const EntryNode* node : root.children) names.emplace_back(node->name);
  EXPECT_EQ(names, std::vector<std::string>(Catalogue::topLevelOrder.begin(), Catalogue::topLevelOrder.end()));
  expectUniqueNames(root, "");
  EXPECT_EQ(root.bitOf(root.child("mqtt")), 1u << 5);
  EXPECT_EQ(root.bitOf(root.child("reset_factory_tests")), 1u << 24);
  EXPECT_EQ(withoutBuildAndClock(root.childText(23)),
            R"({"factoryTest":{"type":"","model":0,"cpu_id":0,"finished":false,"results":{"uart":"","can":"",)"
            R"("eth1":"","eth2":"","gsm":"","usb":"","sd":"","buttons":{"test":"","reset":"","tamper":""},)"
            R"("power_sense":{"main":"","backup":""}}}})");
}

TEST(Catalogue, RootTextNeverShowsEndpoints) {
  CatalogueTree catalogue;
  std::string text = catalogue.tree.root.toText();
  for (const char* key : {"mqtt_test", "fw_update", "reset", "krel_tx", "krel_rx", "rs485_device"}) {
    EXPECT_EQ(text.find(std::string("\"") + key + "\""), std::string::npos) << key;
  }
}

TEST(Catalogue, ClientsChangeMemoryAndPersistedFilesOnly) {
  CatalogueTree catalogue;
  RegistryRoot& root = catalogue.tree.root;
  std::vector<std::string> testCalls;
  catalogue.all.mqttTest.setHandler([&](const char* value, const Origin&) { testCalls.emplace_back(value); });
  ScopedListener listener(root);

  root.apply(R"({"power_status":{"main":23.5},"mqtt_test":{"gsm":false},"eth0":{"dhcp":false}})");
  EXPECT_FLOAT_EQ(catalogue.all.powerStatus.main.value, 23.5f);
  EXPECT_FALSE(catalogue.all.eth0.dhcp.value);
  EXPECT_EQ(testCalls, std::vector<std::string>{R"({"gsm":false})"});
  EXPECT_FALSE(std::filesystem::exists(root.directory())) << "nothing persisted was named";

  root.apply(R"({"mqtt":{"main":{"host":"broker","port":1883}},"can":{"port1":"volmar"}})");
  EXPECT_EQ(catalogue.tree.read("mqtt"),
            R"({"main":{"host":"broker","user":"","pass":"","port":1883},"alt":{"host":"","user":"","pass":"","port":0}})");
  EXPECT_EQ(catalogue.tree.read("can"), R"({"port1":"volmar","port2":"off","x2krel":false})");
  EXPECT_EQ(listener.masks.back(), root.bitOf(root.child("mqtt")) | root.bitOf(root.child("can")));
  std::set<std::string> files;
  for (const auto& file : std::filesystem::directory_iterator(root.directory())) {
    files.insert(file.path().filename().string());
  }
  EXPECT_EQ(files, (std::set<std::string>{"mqtt", "can"}));
}

TEST(Catalogue, StoredGroupsAreLoadedOverTheDefaults) {
  TestTree tree(catalogueOrder());
  tree.write("power_limits", R"({"main":{"min":18.5},"need_both":false})");
  tree.write("wsc", "{");
  tree.write("pult", R"({"is_server":true,"target":"192.168.0.7","enabled":true})");
  Catalogue::All all(tree.root);
  EXPECT_EQ(tree.root.child("power_limits")->toText(),
            R"({"main":{"min":18.50,"max":30.00},"backup":{"min":20.00,"max":30.00},"need_both":false})");
  EXPECT_EQ(tree.root.child("wsc")->toText(), R"({"password":"5172839406"})");
  EXPECT_EQ(tree.root.child("pult")->toText(), R"({"is_server":true,"target":"192.168.0.7","enabled":true})");
}

TEST(Catalogue, ProcessWideTreeHoldsTheCatalogue) {
  RegistryRoot& root = RegistryRoot::global();
  std::lock_guard<std::recursive_mutex> lock(registryMutex());
  for (const char* name : Catalogue::topLevelOrder) {
    std::string_view n = name;
    if (n == "factory" || n == "factoryTest" || n == "reset_factory_tests") continue;
    EXPECT_NE(root.child(name), nullptr) << name;
  }
  EXPECT_EQ(root.find({"mqtt", "main"}), &Catalogue::mqtt().main);
  EXPECT_EQ(root.child("mqtt_test"), &Catalogue::mqttTest());
  for (const char* method : {"reboot", "caneth_config", "set_time", "get_connect_data"}) {
    std::vector<const char*> names = RpcMethods::names();
    EXPECT_TRUE(std::any_of(names.begin(), names.end(), [&](const char* n) { return std::string_view(n) == method; }))
        << method;
  }
}

}  // namespace
