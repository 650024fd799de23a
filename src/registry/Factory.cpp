// Loading the factory identity at start, the host name file, and
// commissioning a board through the "factory" entry.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "core/Event.h"
#include "core/FixedText.h"
#include "core/Log.h"
#include "core/RandomBytes.h"
#include "core/SmallFile.h"
#include "core/SysEnv.h"
#include "platform/Platform.h"
#include "platform/Shell.h"
#include "registry/FactoryEntry.h"
#include "registry/RegistryLoader.h"

namespace Factory {
namespace {

// Copies one fw_printenv value, which ends at a line feed, carriage return,
// space or the end of the output. False when it is longer than the field
// holds (the field then keeps the text cut short).
bool copyValue(char* field, size_t size, const char* value) {
  size_t length = 0;
  auto ends = [](char c) { return c == '\0' || c == '\n' || c == '\r' || c == ' '; };
  while (length + 1 < size && !ends(value[length])) {
    field[length] = value[length];
    ++length;
  }
  field[length] = '\0';
  return ends(value[length]);
}

void loadStoredAfterDelay(RegistryRoot& root) {
  static std::once_flag started;
  std::call_once(started, [&root] {
    // This thread starts during static initialisation, before main blocks
    // SIGTERM and SIGINT. Left unblocked here, the kernel would hand those
    // signals to this thread and end the process on the spot instead of
    // through main's signal descriptor, so it starts with them blocked.
    sigset_t stopSignals;
    sigset_t previous;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
    std::thread([&root] {
      msleep(5000);
      RegistryLoader loader("factory", root);
    }).detach();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  });
}

}  // namespace

bool readIdentity(const char* output, _factory_settings& record) {
  struct Variable {
    const char* prefix;
    const char* gotMessage;
    char* field;
    size_t size;
  };
  const Variable variables[] = {
      {"serial=", "Got serial", record.serial, sizeof record.serial},
      {"uuid=", "Got uuid", record.uuid, sizeof record.uuid},
      {"ethaddr=", "Got mac 1", record.mac1, sizeof record.mac1},
      {"mac2=", "Got mac 2", record.mac2, sizeof record.mac2},
  };
  bool complete = true;
  for (const Variable& variable : variables) {
    const char* found = std::strstr(output, variable.prefix);
    if (found == nullptr) {
      complete = false;
      continue;
    }
    LOGD("%s", variable.gotMessage);
    if (!copyValue(variable.field, variable.size, found + std::strlen(variable.prefix))) complete = false;
  }
  return complete;
}

bool validate(_factory_settings& record, const std::string& hostnamePath) {
  if (!checkRecord(record)) return false;
  std::string hostname = "QTR90-" + std::string(record.serial);
  if (readSmallFile(hostnamePath, 39) == hostname) return true;
  LOGI("Updating hostname");
  int fd = open(hostnamePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0777);
  if (fd >= 0) {
    ssize_t wrote = write(fd, hostname.data(), hostname.size());
    (void)wrote;  // an unwritable host name file does not stop anything
    close(fd);
  }
  return true;
}

Services boardServices() {
  Services services;
  services.readBootIdentity = [] { return SysEnv::printBootVariables("serial uuid ethaddr mac2", maxIdentityOutput); };
  services.hostnamePath = Platform::path("/data/etc/hostname");
  services.randomSourcePath = Platform::path("/dev/urandom");
  services.setMacs = requestMacs;
  services.randomMacs = requestRandomMacs;
  services.loadStoredLater = loadStoredAfterDelay;
  return services;
}

SettingsEntry::SettingsEntry(RegistryRoot& root, Services services)
    : Entry<_factory_settings>(root, {"factory"}), services(std::move(services)) {
  load();
}

void SettingsEntry::load() {
  value.valid = 0;
  value.test_result = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    LOGI("Loading factory parameters");
    std::string output = services.readBootIdentity();
    if (output.size() > maxIdentityOutput) output.resize(maxIdentityOutput);
    if (readIdentity(output.c_str(), value) && validate(value, services.hostnamePath)) {
      value.valid = 1;
      value.test_result = 1;
      services.setMacs(value.mac1, value.mac2, true);
      return;
    }
    value.valid = 0;
  }

  LOGW("Failed to read factory parameters!");
  copyTextField(value.serial, sizeof value.serial, "0");
  value.mac1[0] = '\0';
  value.mac2[0] = '\0';
  // Zeros stand in when the source cannot be read.
  uint8_t bytes[8] = {};
  readRandomBytes(services.randomSourcePath, bytes, sizeof bytes);
  copyTextField(value.uuid, sizeof value.uuid, generatedUuid(bytes).c_str());
  LOGW("Using generated uuid %s", value.uuid);
  services.randomMacs(true);
  // Only a board without U-Boot identity keeps a pending one in its file.
  if (RegistryRoot* root = tree()) services.loadStoredLater(*root);
}

void SettingsEntry::fromText(const char* text, const Origin&) {
  if (commissioned()) return;
  ObjectCopy copied = copyObject(value, text);
  if (copied == ObjectCopy::incomplete) return;
  // A text cut to fit its field is not the identity the tester sent.
  value.valid = copied == ObjectCopy::copied && validate(value, services.hostnamePath) ? 1 : 0;
  if (!value.valid) return;
  if (!value.test_result) {
    save(*this);
    return;
  }
  commission();
}

void SettingsEntry::commission() {
  // The record is commissioned from here on; the U-Boot writes, the MAC
  // set-up (with its pauses) and the reboot run once the applying thread has
  // released the registry mutex, so readers of settings are not held up.
  RegistryRoot* root = tree();
  RegistryRoot::runOutsideLock([identity = value, setMacs = services.setMacs, root] {
    LOGI("Saving factory settings");
    if (!SysEnv::checkBootEnvironment()) {
      LOGW("! ENV is dead");
    } else {
      SysEnv::setBootVariable("serial", identity.serial);
      SysEnv::setBootVariable("uuid", identity.uuid);
      SysEnv::setBootVariable("ethaddr", identity.mac1);
      SysEnv::setBootVariable("mac2", identity.mac2);
    }
    if (root != nullptr) {
      std::remove(root->filePath("factory").c_str());
      root->forgetStored("factory");
    }
    setMacs(identity.mac1, identity.mac2, true);
    Platform::shell("reboot -d 1");
  });
}

SettingsEntry& settingsEntry() {
  // Never destroyed: the stored-identity loader thread may still use it.
  static SettingsEntry* const entry = new SettingsEntry(RegistryRoot::global(), boardServices());
  return *entry;
}

namespace {
// Loads the identity during static initialisation, before main starts workers.
[[maybe_unused]] const bool identityLoaded = (settingsEntry(), true);
}  // namespace

bool isCommissioned() {
  SettingsEntry& entry = settingsEntry();
  std::lock_guard<std::recursive_mutex> lock(registryMutex());
  return entry.commissioned();
}

std::string deviceUuid() {
  SettingsEntry& entry = settingsEntry();
  std::lock_guard<std::recursive_mutex> lock(registryMutex());
  return std::string(fieldText(entry.value.uuid));
}

std::string serial() {
  SettingsEntry& entry = settingsEntry();
  std::lock_guard<std::recursive_mutex> lock(registryMutex());
  return std::string(fieldText(entry.value.serial));
}

}  // namespace Factory
