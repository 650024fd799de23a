#pragma once
// Every node of the settings tree, by group. Owners reach their entries here
// and read or write them under the registry mutex:
//
//   {
//     std::lock_guard lock(registryMutex());
//     Catalogue::pult().enabled.value = true;
//   }
//   commit(Catalogue::pult().enabled);        // tell clients, save /data/dps/pult
//
//   Catalogue::mqttTest().setHandler([](const char* value, const Origin& origin) { ... });
//
// The process-wide catalogue is built during static initialisation (so the
// persisted groups are loaded before main starts the workers). The entries of
// the factory-test mode are made only when that mode asks for them. The
// "factory" entry belongs to the factory identity and is made by its owner;
// its position among the root's children is kept free for it.
#include <cstdint>

#include "registry/CanPortMode.h"
#include "registry/CatalogueOrder.h"
#include "registry/Entry.h"
#include "registry/EthSettings.h"
#include "registry/KrelDevicesStatus.h"
#include "registry/MirroredEntry.h"
#include "registry/Registry.h"
#include "registry/RegistryLoader.h"
#include "registry/ServerSettings.h"
#include "registry/SystemInfo.h"
#include "registry/WSEndpoint.h"

namespace Catalogue {

// Endpoint classes, one per tag.
using MqttTestEndpoint = WSEndpoint<endpointTag("testconn")>;
using FirmwareUpdateEndpoint = WSEndpoint<endpointTag("SWUpdate")>;
using ResetEndpoint = WSEndpoint<endpointTag("Resets")>;
using KrelTxEndpoint = WSEndpoint<endpointTag("krel_tx")>;
using KrelRxEndpoint = WSEndpoint<endpointTag("krel_rx")>;
using Rs485DeviceEndpoint = WSEndpoint<endpointTag("ws_rsdm")>;

inline constexpr const char* powerLimitsDefault =
    "{\"main\":{\"min\":20,\"max\":30},\"backup\":{\"min\":20,\"max\":30},\"need_both\":true}";
inline constexpr const char* wscDefault = "{\"password\":\"5172839406\"}";

// power_status: measured supply voltages and the alarm (not persisted).
struct PowerStatus {
  explicit PowerStatus(RegistryRoot& root);
  Entry<float> main;
  Entry<float> backup;
  Entry<bool> alarm;
};

// power_limits/<main|backup>: the accepted voltage range of one supply.
struct PowerRange {
  PowerRange(RegistryRoot& root, const char* supply);
  Entry<float> min;
  Entry<float> max;
};

// power_limits (persisted, with a default).
struct PowerLimits {
  explicit PowerLimits(RegistryRoot& root);
  PowerRange main;
  PowerRange backup;
  Entry<bool> needBoth;
  RegistryDefault defaults;
  RegistryLoader loader;
};

// eth_status: the addresses in use (not persisted).
struct EthStatus {
  explicit EthStatus(RegistryRoot& root);
  Entry<IP4> ip1;
  Entry<IP4> ip2;
  Entry<IP4> mask1;
  Entry<IP4> mask2;
  Entry<IP4> gateway1;
  Entry<IP4> gateway2;
};

// eth0, eth1: one Ethernet port's configuration (EthSettings.h).
using EthPort = EthSettings;

// mqtt: main and backup broker (persisted).
struct Mqtt {
  explicit Mqtt(RegistryRoot& root);
  Entry<ServerSettings> main;
  Entry<ServerSettings> alt;
  RegistryLoader loader;
};

// mqtt_status (not persisted).
struct MqttStatus {
  explicit MqttStatus(RegistryRoot& root);
  WSStatus<bool> connected;
  WSStatus<bool> usingAltMqtt;
};

// wsc: the local API password (persisted, with a default).
struct Wsc {
  explicit Wsc(RegistryRoot& root);
  Entry<char[32]> password;
  RegistryDefault defaults;
  RegistryLoader loader;
};

// system: clock, source revision and release label.
struct SystemGroup {
  explicit SystemGroup(RegistryRoot& root);
  Entry<current_time> time;
  Entry<System::_git_commit> commit;
  Entry<System::_release_label> release;
};

// gsm_status (not persisted).
struct GsmStatus {
  explicit GsmStatus(RegistryRoot& root);
  WSStatus<int> rssi;
  WSStatus<unsigned long long> imei;
};

// can: the two ports' modes and the duplicate filter (persisted). The port
// supervisor reads them for every frame through current(), without a lock.
struct Can {
  explicit Can(RegistryRoot& root);
  MirroredEntry<CanPortMode> port1;
  MirroredEntry<CanPortMode> port2;
  MirroredEntry<bool> x2krel;
  RegistryLoader loader;
};

// pult: the console link (persisted).
struct Pult {
  explicit Pult(RegistryRoot& root);
  Entry<bool> isServer;
  Entry<IP4> target;
  Entry<bool> enabled;
  RegistryLoader loader;
};

// rs485: the meter poll (persisted).
struct Rs485 {
  explicit Rs485(RegistryRoot& root);
  Entry<bool> poll;
  Entry<int> pollInterval;
  RegistryLoader loader;
};

// rs485_status (not persisted).
struct Rs485Status {
  explicit Rs485Status(RegistryRoot& root);
  WSStatus<int> devices;
};

// root: root login and its password (persisted).
struct RootAccess {
  explicit RootAccess(RegistryRoot& root);
  Entry<bool> loginEnabled;
  Entry<char[32]> password;
  RegistryLoader loader;
};

// Everything of normal operation, in the catalogue's order.
struct All {
  explicit All(RegistryRoot& root);
  PowerStatus powerStatus;
  PowerLimits powerLimits;
  EthStatus ethStatus;
  EthPort eth0;
  EthPort eth1;
  Mqtt mqtt;
  MqttStatus mqttStatus;
  MqttTestEndpoint mqttTest;
  Wsc wsc;
  FirmwareUpdateEndpoint fwUpdate;
  ResetEndpoint resetEndpoint;
  SystemGroup systemInfo;
  GsmStatus gsmStatus;
  Can can;
  KrelTxEndpoint krelTx;
  KrelRxEndpoint krelRx;
  WSStatus<KrelDevicesStatus> krelDevicesList;
  Pult pult;
  Rs485 rs485;
  Rs485Status rs485Status;
  Rs485DeviceEndpoint rs485Device;
  RootAccess rootAccess;
};

// factoryTest/results/buttons and factoryTest/results/power_sense.
struct FactoryButtons {
  explicit FactoryButtons(RegistryRoot& root);
  WSStatus<char[32]> test;
  WSStatus<char[32]> reset;
  WSStatus<char[32]> tamper;
};

struct FactoryPowerSense {
  explicit FactoryPowerSense(RegistryRoot& root);
  WSStatus<char[32]> main;
  WSStatus<char[32]> backup;
};

// factoryTest: the factory-test mode's progress (not persisted).
struct FactoryTest {
  explicit FactoryTest(RegistryRoot& root);
  WSStatus<char[32]> type;
  WSStatus<unsigned long long> model;
  WSStatus<unsigned long long> cpuId;
  WSStatus<bool> finished;
  WSStatus<char[32]> uart;
  WSStatus<char[32]> can;
  WSStatus<char[32]> eth1;
  WSStatus<char[32]> eth2;
  WSStatus<char[32]> gsm;
  WSStatus<char[32]> usb;
  WSStatus<char[32]> sd;
  FactoryButtons buttons;
  FactoryPowerSense powerSense;
};

// The process-wide catalogue (built during static initialisation).
All& all();
inline PowerStatus& powerStatus() { return all().powerStatus; }
inline PowerLimits& powerLimits() { return all().powerLimits; }
inline EthStatus& ethStatus() { return all().ethStatus; }
inline EthPort& eth0() { return all().eth0; }
inline EthPort& eth1() { return all().eth1; }
inline Mqtt& mqtt() { return all().mqtt; }
inline MqttStatus& mqttStatus() { return all().mqttStatus; }
inline MqttTestEndpoint& mqttTest() { return all().mqttTest; }
inline Wsc& wsc() { return all().wsc; }
inline FirmwareUpdateEndpoint& fwUpdate() { return all().fwUpdate; }
inline ResetEndpoint& resetEndpoint() { return all().resetEndpoint; }
inline SystemGroup& systemInfo() { return all().systemInfo; }
inline GsmStatus& gsmStatus() { return all().gsmStatus; }
inline Can& can() { return all().can; }
inline KrelTxEndpoint& krelTx() { return all().krelTx; }
inline KrelRxEndpoint& krelRx() { return all().krelRx; }
inline WSStatus<KrelDevicesStatus>& krelDevicesList() { return all().krelDevicesList; }
inline Pult& pult() { return all().pult; }
inline Rs485& rs485() { return all().rs485; }
inline Rs485Status& rs485Status() { return all().rs485Status; }
inline Rs485DeviceEndpoint& rs485Device() { return all().rs485Device; }
inline RootAccess& rootAccess() { return all().rootAccess; }

// Factory-test mode only: made on the first call (under the registry mutex).
FactoryTest& factoryTest();
Entry<bool>& resetFactoryTests();

}  // namespace Catalogue
