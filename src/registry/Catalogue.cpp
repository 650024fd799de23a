#include "registry/Catalogue.h"

#include <mutex>

#include "registry/Rpc.h"

namespace Catalogue {

PowerStatus::PowerStatus(RegistryRoot& root)
    : main(root, {"power_status", "main"}),
      backup(root, {"power_status", "backup"}),
      alarm(root, {"power_status", "alarm"}) {}

PowerRange::PowerRange(RegistryRoot& root, const char* supply)
    : min(root, {"power_limits", supply, "min"}), max(root, {"power_limits", supply, "max"}) {}

PowerLimits::PowerLimits(RegistryRoot& root)
    : main(root, "main"),
      backup(root, "backup"),
      needBoth(root, {"power_limits", "need_both"}),
      defaults("power_limits", powerLimitsDefault, root),
      loader("power_limits", root) {}

EthStatus::EthStatus(RegistryRoot& root)
    : ip1(root, {"eth_status", "ip1"}),
      ip2(root, {"eth_status", "ip2"}),
      mask1(root, {"eth_status", "mask1"}),
      mask2(root, {"eth_status", "mask2"}),
      gateway1(root, {"eth_status", "gateway1"}),
      gateway2(root, {"eth_status", "gateway2"}) {}

Mqtt::Mqtt(RegistryRoot& root) : main(root, {"mqtt", "main"}), alt(root, {"mqtt", "alt"}), loader("mqtt", root) {}

MqttStatus::MqttStatus(RegistryRoot& root)
    : connected(root, {"mqtt_status", "connected"}), usingAltMqtt(root, {"mqtt_status", "using_alt_mqtt"}) {}

Wsc::Wsc(RegistryRoot& root)
    : password(root, {"wsc", "password"}), defaults("wsc", wscDefault, root), loader("wsc", root) {}

SystemGroup::SystemGroup(RegistryRoot& root)
    : time(root, {"system", "time"}), commit(root, {"system", "commit"}), release(root, {"system", "release"}) {}

GsmStatus::GsmStatus(RegistryRoot& root) : rssi(root, {"gsm_status", "rssi"}), imei(root, {"gsm_status", "imei"}) {}

Can::Can(RegistryRoot& root)
    : port1(root, {"can", "port1"}),
      port2(root, {"can", "port2"}),
      x2krel(root, {"can", "x2krel"}),
      loader("can", root) {}

Pult::Pult(RegistryRoot& root)
    : isServer(root, {"pult", "is_server"}),
      target(root, {"pult", "target"}),
      enabled(root, {"pult", "enabled"}),
      loader("pult", root) {}

Rs485::Rs485(RegistryRoot& root)
    : poll(root, {"rs485", "poll"}), pollInterval(root, {"rs485", "poll_interval"}), loader("rs485", root) {}

Rs485Status::Rs485Status(RegistryRoot& root) : devices(root, {"rs485_status", "devices"}) {}

RootAccess::RootAccess(RegistryRoot& root)
    : loginEnabled(root, {"root", "login_enabled"}), password(root, {"root", "password"}), loader("root", root) {}

All::All(RegistryRoot& root)
    : powerStatus(root),
      powerLimits(root),
      ethStatus(root),
      eth0(root, "eth0"),
      eth1(root, "eth1"),
      mqtt(root),
      mqttStatus(root),
      mqttTest(root, {"mqtt_test"}),
      wsc(root),
      fwUpdate(root, {"fw_update"}),
      resetEndpoint(root, {"reset"}),
      systemInfo(root),
      gsmStatus(root),
      can(root),
      krelTx(root, {"krel_tx"}),
      krelRx(root, {"krel_rx"}),
      krelDevicesList(root, {"krel_devices_list"}),
      pult(root),
      rs485(root),
      rs485Status(root),
      rs485Device(root, {"rs485_device"}),
      rootAccess(root) {}

FactoryButtons::FactoryButtons(RegistryRoot& root)
    : test(root, {"factoryTest", "results", "buttons", "test"}),
      reset(root, {"factoryTest", "results", "buttons", "reset"}),
      tamper(root, {"factoryTest", "results", "buttons", "tamper"}) {}

FactoryPowerSense::FactoryPowerSense(RegistryRoot& root)
    : main(root, {"factoryTest", "results", "power_sense", "main"}),
      backup(root, {"factoryTest", "results", "power_sense", "backup"}) {}

FactoryTest::FactoryTest(RegistryRoot& root)
    : type(root, {"factoryTest", "type"}),
      model(root, {"factoryTest", "model"}),
      cpuId(root, {"factoryTest", "cpu_id"}),
      finished(root, {"factoryTest", "finished"}),
      uart(root, {"factoryTest", "results", "uart"}),
      can(root, {"factoryTest", "results", "can"}),
      eth1(root, {"factoryTest", "results", "eth1"}),
      eth2(root, {"factoryTest", "results", "eth2"}),
      gsm(root, {"factoryTest", "results", "gsm"}),
      usb(root, {"factoryTest", "results", "usb"}),
      sd(root, {"factoryTest", "results", "sd"}),
      buttons(root),
      powerSense(root) {}

All& all() {
  static All* catalogue = new All(RegistryRoot::global());
  return *catalogue;
}

// Entries made after start-up are constructed under the registry mutex, so no
// reader meets one half-built.
FactoryTest& factoryTest() {
  static FactoryTest* group = [] {
    std::lock_guard<std::recursive_mutex> lock(registryMutex());
    return new FactoryTest(RegistryRoot::global());
  }();
  return *group;
}

Entry<bool>& resetFactoryTests() {
  static Entry<bool>* entry = [] {
    std::lock_guard<std::recursive_mutex> lock(registryMutex());
    return new Entry<bool>(RegistryRoot::global(), {"reset_factory_tests"});
  }();
  return *entry;
}

namespace {

// Every RPC method is implemented by its owner: "reboot" in RebootRpc.cpp,
// "get_connect_data" by the panel poll thread, "caneth_config" in
// net/GetCanEthDataRpc.cpp, "set_time" in tinmoss/Time.cpp.

// The whole tree exists, and the persisted groups are loaded, before main.
[[maybe_unused]] const bool catalogueBuilt = (all(), true);

}  // namespace

}  // namespace Catalogue
