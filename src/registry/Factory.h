#pragma once
// The board's factory identity: serial, uuid and the two Ethernet MAC
// addresses, read from the U-Boot environment at start (or, on a blank board,
// a generated uuid), and the "factory" settings entry that commissions a board.
#include <cstdint>
#include <functional>
#include <string>

#include "registry/EntryText.h"

struct _factory_settings {
  char serial[20];
  char uuid[40];
  char mac1[20];
  char mac2[20];
  uint8_t valid;
  uint8_t test_result;
};

// Text form of the "factory" entry:
//   {"serial":"100042","uuid":"3f1c2a9e-5b7d-4e10-9a6b-0c8d2e4f6a01",
//    "mac1":"02:51:90:00:00:2A","mac2":"02:51:90:00:01:2A","test_result":true}
// or null while the record is not valid. Reading takes "serial", "uuid",
// "mac1", "mac2" and "test_result" when the four texts are all present; the
// checks and the commissioning belong to the factory entry (FactoryEntry.h).
template <>
struct EntryText<_factory_settings> {
  static std::string toText(const _factory_settings& value);
  static void fromText(_factory_settings& value, const char* text);
};

namespace Factory {

// True when valid factory parameters were loaded and their test has passed.
bool isCommissioned();
// The device uuid that names this gateway on the broker (generated on a blank board).
std::string deviceUuid();
// The decimal serial ("0" on a blank board).
std::string serial();

// The MAC address set-up of the network layer, which the identity hands the
// board's addresses to (or asks for random ones on a blank board).
struct MacSetup {
  std::function<void(const char* mac1, const char* mac2, bool apply)> setMacs;
  std::function<void(bool apply)> randomMacs;
};
// main installs it before it starts the workers. The identity is loaded
// during static initialisation, before that: its request waits and runs here,
// in the installing thread, so no shell command runs before main.
void installMacSetup(MacSetup setup);

}  // namespace Factory
