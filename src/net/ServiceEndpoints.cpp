#include "net/ServiceEndpoints.h"

#include <memory>
#include <string>
#include <mutex>
#include <string_view>
#include <utility>

#include "core/FixedText.h"
#include "core/Log.h"
#include "core/SysEnv.h"
#include "net/Network.h"
#include "registry/Catalogue.h"
#include "registry/FactoryEntry.h"
#include "registry/JsonWriter.h"

namespace {

// {"<key>":{"result":"<result>"}} to the client, when it is still there.
void replyTo(const Origin& origin, const char* key, const char* result) {
  std::shared_ptr<ReplyChannel> client = origin.lock();
  if (!client) return;
  JsonWriter writer;
  writer.beginObject(key);
  writer.addField("result", quoteText(result));
  writer.close();
  writer.close();
  client->send(writer.take());
}

bool boardFactoryMacs(std::string& mac1, std::string& mac2) {
  Factory::SettingsEntry& entry = Factory::settingsEntry();
  std::lock_guard<std::recursive_mutex> lock(registryMutex());
  if (!entry.value.valid) return false;
  mac1 = fieldText(entry.value.mac1);
  mac2 = fieldText(entry.value.mac2);
  return true;
}

}  // namespace

ServiceEndpoints::Services ServiceEndpoints::boardServices() {
  Services services;
  services.shell = Platform::platformShell();
  services.factoryMacs = boardFactoryMacs;
  services.setMacs = [](const char* mac1, const char* mac2, bool apply) {
    Network::instance()->setMacs(mac1, mac2, apply);
  };
  services.eraseEthernet = [] { Network::instance()->eraseEthernet(); };
  services.freezeEthernet = [] { Network::instance()->freezeConfiguration(); };
  return services;
}

ServiceEndpoints::ServiceEndpoints(Services services) : services(std::move(services)) {}

void ServiceEndpoints::attach() {
  static ServiceEndpoints* const endpoints = [] {
    // Never destroyed: the endpoints call it until the process ends.
    auto* made = new ServiceEndpoints(boardServices());
    // Both run shell commands (U-Boot writes, erasing, reboot): after the
    // applying thread has released the registry mutex, in the order named.
    Catalogue::fwUpdate().setHandler([made](const char* value, const Origin& origin) {
      RegistryRoot::runOutsideLock(
          [made, text = std::string(value), origin] { made->firmwareUpdate(text.c_str(), origin); });
    });
    Catalogue::resetEndpoint().setHandler([made](const char* value, const Origin& origin) {
      RegistryRoot::runOutsideLock([made, text = std::string(value), origin] { made->reset(text.c_str(), origin); });
    });
    return made;
  }();
  (void)endpoints;
}

void ServiceEndpoints::firmwareUpdate(const char* value, const Origin& origin) {
  const char* result = "unknown";
  if (std::string_view(value) == "full") {
    result = "error";
    if (SysEnv::checkBootEnvironment(services.shell)) {
      SysEnv::setBootVariable("needupdate", "1", services.shell);
      LOGI("Scheduled FW update");
      services.shell.run("reboot -d 1");
      result = "ok";
    }
  }
  replyTo(origin, "fw_update", result);
}

void ServiceEndpoints::massErase() {
  services.freezeEthernet();
  std::string dataScript = Platform::shellPath("/etc/init.d/S10data");
  services.shell.run("killall -9 dhcpcd ; umount -l " + Platform::shellPath("/data") + " ; flash_erase -j " +
                     Platform::shellPath("/dev/mtd5") + " 0 0 ; " + dataScript + " start");
  std::string mac1;
  std::string mac2;
  if (services.factoryMacs(mac1, mac2)) services.setMacs(mac1.c_str(), mac2.c_str(), false);
  services.shell.run(dataScript + " stop ; reboot -d 1");
}

void ServiceEndpoints::reset(const char* value, const Origin& origin) {
  enum class Row { none, reboot, massErase, mqttErase, ethErase };
  std::string_view wanted = value;
  Row row = wanted == "reboot"       ? Row::reboot
            : wanted == "mass_erase" ? Row::massErase
            : wanted == "mqtt_erase" ? Row::mqttErase
            : wanted == "eth_erase"  ? Row::ethErase
                                     : Row::none;
  if (row == Row::none) {
    replyTo(origin, "reset", "nope");
    return;
  }
  if (resetTaken.exchange(true)) {
    LOGW("Reset already running");
    replyTo(origin, "reset", "error");
    return;
  }
  switch (row) {
    case Row::reboot:
      services.shell.run("reboot -d 1");
      break;
    case Row::massErase:
      massErase();
      break;
    case Row::mqttErase:
      services.shell.run("rm " + Platform::shellPath("/data/dps/mqtt") + " ; reboot -d 1");
      break;
    case Row::ethErase:
      // The Ethernet settings live in dhcpcd.conf, not under /data/dps/.
      services.eraseEthernet();
      services.shell.run("rm " + Platform::shellPath("/data/dps/") + "eth* ; reboot -d 1");
      break;
    case Row::none:
      break;
  }
  replyTo(origin, "reset", "ok");
}
