#pragma once
// The "factory" settings entry and the checks of a factory identity.
//
// At start the entry reads serial, uuid, ethaddr and mac2 from the U-Boot
// environment; a board whose environment holds no valid identity gets serial
// "0" and a generated uuid, and loads the pending identity the tester stored
// in /data/dps/factory a few seconds later. Writing the entry on such a board
// stores the identity while the factory test has not passed, and moves it
// into the U-Boot environment and reboots once it has.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "registry/Entry.h"
#include "registry/Factory.h"
#include "registry/Registry.h"

namespace Factory {

// At most this much of fw_printenv's output is examined.
inline constexpr size_t maxIdentityOutput = 500;

// What loading and commissioning reach outside the record; the board's are
// boardServices(), tests give their own.
struct Services {
  // The output of "fw_printenv serial uuid ethaddr mac2".
  std::function<std::string()> readBootIdentity;
  // The host name file (/data/etc/hostname) and the random source (/dev/urandom).
  std::string hostnamePath;
  std::string randomSourcePath;
  // The MAC set-up of the network worker.
  std::function<void(const char* mac1, const char* mac2, bool apply)> setMacs;
  std::function<void(bool apply)> randomMacs;
  // Loads the stored "factory" group into the entry some time later.
  std::function<void(RegistryRoot& root)> loadStoredLater;
};

Services boardServices();

// The board's MAC requests: handed to the set-up installed with
// installMacSetup, or kept until it is installed (FactoryMacSetup.cpp).
void requestMacs(const char* mac1, const char* mac2, bool apply);
void requestRandomMacs(bool apply);

class SettingsEntry : public Entry<_factory_settings> {
 public:
  // Registers {"factory"} in the tree and loads the identity.
  SettingsEntry(RegistryRoot& root, Services services);

  // A tester's identity; ignored once the board is commissioned.
  void fromText(const char* text, const Origin& origin) override;

  // The caller holds the registry mutex.
  bool commissioned() const { return value.valid != 0 && value.test_result != 0; }

 private:
  void load();
  void commission();

  Services services;
};

// The process-wide entry, made (and loaded) by the first call; a static
// initialiser makes that call, so the identity is known before main runs.
SettingsEntry& settingsEntry();

// Takes "serial=", "uuid=", "ethaddr=" and "mac2=" from fw_printenv output
// into serial, uuid, mac1 and mac2. A value ends at a line feed, carriage
// return, space or the end of the text:
//   "serial=123\nuuid=..." -> serial "123"
// True when all four were found and each fitted its field.
bool readIdentity(const char* output, _factory_settings& record);

// The form checks, which also normalise the texts in place: each MAC is six
// hexadecimal pairs joined by colons (digits made upper case); the uuid is 36
// characters with '-' at 8, 13, 18 and 23 and hexadecimal digits elsewhere
// (made lower case); the serial is 1 to 19 decimal digits.
bool checkRecord(_factory_settings& record);

// checkRecord, and on success makes the host name file hold "QTR90-<serial>"
// (rewritten only when it differs; a file that cannot be written is ignored).
bool validate(_factory_settings& record, const std::string& hostnamePath);

// The uuid of a board without identity, from 8 random bytes: the low 24 bits
// of each little-endian 32-bit word fill "943c0917-8ebb-46f0-94c8-%06x%06x".
std::string generatedUuid(const uint8_t (&bytes)[8]);

enum class ObjectCopy {
  incomplete,  // one of the four texts is missing: nothing was copied
  copied,
  overlong,    // copied, but a text did not fit its field (cut short)
};

// Copies "serial", "uuid", "mac1", "mac2" and "test_result" of a "factory"
// object when the four texts are all present.
ObjectCopy copyObject(_factory_settings& record, const char* text);

}  // namespace Factory
