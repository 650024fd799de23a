#pragma once
// The top-level names of the settings tree in the order the root keeps them.
// Change-mask bits and the order in which clients receive the groups follow
// this list, whatever the order in which the entries are constructed.
#include <array>

namespace Catalogue {

inline constexpr std::array<const char*, 25> topLevelOrder = {
    "power_status", "power_limits", "eth_status",  "eth0",     "eth1",         "mqtt",
    "mqtt_status",  "mqtt_test",    "wsc",         "fw_update", "reset",       "system",
    "factory",      "gsm_status",   "can",         "krel_tx",  "krel_rx",      "krel_devices_list",
    "pult",         "rs485",        "rs485_status", "rs485_device", "root",    "factoryTest",
    "reset_factory_tests"};

}  // namespace Catalogue
