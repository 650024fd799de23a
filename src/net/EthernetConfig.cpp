// The Ethernet settings in dhcpcd.conf: reading them at start, writing the
// file anew and restarting dhcpcd, putting back a saved configuration, and
// the "eth_erase" reset.
//
// dhcpcd.conf.next and dhcpcd.conf.fb are written completely and flushed
// before anything is renamed: a failed write (a full disk) logs E, removes
// the partial file and leaves the live configuration as it was.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

#include "core/Log.h"
#include "core/SmallFile.h"
#include "net/Network.h"

#undef FIELDHUB_FILE_NAME
#define FIELDHUB_FILE_NAME "Network.cpp"

namespace {

Dhcpcd::PortSettings settingsOf(const EthSettings& group) {
  Dhcpcd::PortSettings port;
  port.ip = group.ip.value;
  port.netmask = group.netmask.value;
  port.gateway = group.gateway.value;
  port.dns1 = group.dns1.value;
  port.dns2 = group.dns2.value;
  port.dhcp = group.dhcp.value;
  port.staticFallback = group.staticFallback.value;
  port.addDefaultDns = group.addDefaultDns.value;
  return port;
}

void store(EthSettings& group, const Dhcpcd::PortSettings& port) {
  group.ip.value = port.ip;
  group.netmask.value = port.netmask;
  group.gateway.value = port.gateway;
  group.dns1.value = port.dns1;
  group.dns2.value = port.dns2;
  group.dhcp.value = port.dhcp;
  group.staticFallback.value = port.staticFallback;
  group.addDefaultDns.value = port.addDefaultDns;
}

bool exists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

}  // namespace

Dhcpcd::Ports Network::portSettings() {
  std::lock_guard<std::recursive_mutex> lock(ethernet.tree->mutex());
  return {settingsOf(*ethernet.ports[0]), settingsOf(*ethernet.ports[1])};
}

void Network::storePortSettings(const Dhcpcd::Ports& ports) {
  std::lock_guard<std::recursive_mutex> lock(ethernet.tree->mutex());
  for (int n = 0; n < 2; ++n) {
    if (Dhcpcd::same(settingsOf(*ethernet.ports[n]), ports[n])) continue;
    store(*ethernet.ports[n], ports[n]);
    ethernet.tree->commit(*ethernet.ports[n]);
  }
}

std::optional<std::string> Network::readFile(const std::string& path, bool* missing) const {
  struct stat info {};
  bool absent = stat(path.c_str(), &info) != 0;
  if (missing != nullptr) *missing = absent;
  if (absent) return std::string();
  if (!S_ISREG(info.st_mode) || static_cast<size_t>(info.st_size) > maxConfigBytes) return std::nullopt;
  std::string content = readSmallFile(path, maxConfigBytes);
  // readSmallFile gives nothing for a file it could not read.
  if (content.empty() && info.st_size > 0) return std::nullopt;
  return content;
}

bool Network::writeNextLocked(const std::string& text) {
  if (writeWholeFile(nextPath(), text, ethernet.files, 0644)) return true;
  LOGE("Cannot write %s", nextPath().c_str());
  return false;
}

bool Network::installNextLocked() {
  if (renameDurably(nextPath(), ethernet.configPath, ethernet.files)) return true;
  LOGE("Cannot move %s into place", nextPath().c_str());
  return false;
}

void Network::readConfig() {
  std::optional<std::string> text = readFile(ethernet.configPath);
  if (!text) LOGW("Cannot read %s", ethernet.configPath.c_str());
  storePortSettings(Dhcpcd::readConfig(text.value_or(std::string())));
}

Network::WriteResult Network::writeConfig() {
  Dhcpcd::Ports ports = portSettings();
  bool missing = false;
  std::optional<std::string> current = readFile(ethernet.configPath, &missing);
  bool globalCut = false;
  std::string next = Dhcpcd::writeConfig(current.value_or(std::string()), ports, &globalCut);
  if (globalCut) LOGW("Global part of %s cut to %zu bytes", ethernet.configPath.c_str(), Dhcpcd::maxGlobalPart);
  WriteResult result = WriteResult::unchanged;
  {
    std::lock_guard<std::mutex> lock(configMutex);
    if (configFrozen) return WriteResult::failed;
    if (missing || current != next) result = writeNextLocked(next) ? WriteResult::written : WriteResult::failed;
  }
  if (result == WriteResult::failed) return result;
  syncBootEnv(ports[0].dhcp, ports[0].ip);
  return result;
}

void Network::reloadNetwork(bool install) {
  LOGI("Reloading network");
  ethernet.shell.run("dhcpcd -k ; sleep 1");
  ethernet.shell.run("dhcpcd -x ; sleep 2");
  if (install) {
    std::lock_guard<std::mutex> lock(configMutex);
    if (!configFrozen) installNextLocked();
  }
  ethernet.shell.run("dhcpcd");
}

void Network::recoverSavedConfig() {
  if (!exists(savedPath())) return;
  LOGI("Recovering saved dhcpcd config");
  std::optional<std::string> saved = readFile(savedPath());
  if (!saved) {
    // Kept for the next start; the live configuration stays.
    LOGE("Cannot read %s", savedPath().c_str());
    return;
  }
  {
    std::lock_guard<std::mutex> lock(configMutex);
    if (configFrozen || !writeNextLocked(*saved)) return;
  }
  reloadNetwork(true);
  std::remove(savedPath().c_str());
  LOGI("Done!");
}

bool Network::saveFallbackCopy() {
  if (exists(savedPath())) return true;  // left by an earlier start: it holds the older configuration
  std::optional<std::string> live = readFile(ethernet.configPath);
  if (live && replaceFile(savedPath(), *live, ethernet.files)) return true;
  LOGE("Cannot save %s", savedPath().c_str());
  return false;
}

void Network::eraseEthernet() {
  Dhcpcd::Ports defaults{};
  storePortSettings(defaults);
  std::optional<std::string> current = readFile(ethernet.configPath);
  std::string next = Dhcpcd::writeConfig(current.value_or(std::string()), defaults);
  {
    std::lock_guard<std::mutex> lock(configMutex);
    if (configFrozen) return;
    configFrozen = true;
    if (!writeNextLocked(next) || !installNextLocked()) return;
    // The saved configuration would come back at the next start.
    std::remove(savedPath().c_str());
  }
  syncBootEnv(true, IP4{});
}

void Network::freezeConfiguration() {
  std::lock_guard<std::mutex> lock(configMutex);
  configFrozen = true;
}
