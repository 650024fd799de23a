#include "tinmoss/MDNS.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

#include "core/Log.h"
#include "platform/Platform.h"
#include "registry/Factory.h"
#include "registry/SystemInfo.h"

namespace {

const char* const head =
    "<?xml version=\"1.0\" standalone='no'?><!--*-nxml-*-->\n"
    "<!DOCTYPE service-group SYSTEM \"avahi-service.dtd\">\n"
    "\n"
    "<service-group>\n"
    "\n"
    "  <name replace-wildcards=\"yes\">%%h</name>\n"
    "\n"
    "  <service>\n"
    "    <type>_ws._tcp</type>\n"
    "    <port>80</port>\n"
    "    <txt-record>fw_version=%s</txt-record>\n"
    "    <txt-record>uptime=%d</txt-record>\n";
const char* const tail = "  </service>\n</service-group>\n";

// The dotted address, or null.
std::string addressText(const IP4& address) {
  std::string text = EntryText<IP4>::toText(address);
  if (text.size() >= 2 && text.front() == '"') return text.substr(1, text.size() - 2);
  return "null";
}

}  // namespace

MDNS::Environment MDNS::Environment::process() {
  Environment environment;
  environment.tree = &RegistryRoot::global();
  environment.addresses = &Catalogue::ethStatus();
  environment.modem = &Catalogue::gsmStatus();
  environment.commissioned = Factory::isCommissioned;
  environment.uptimeSeconds = Log::uptimeSeconds;
  environment.servicePath = Platform::path("/etc/avahi/services/ws.service");
  return environment;
}

std::string MDNS::serviceText(int32_t uptime, const uint64_t* imei, const IP4& eth0, const IP4& eth1) {
  char buffer[600];
  std::string text;
  std::snprintf(buffer, sizeof buffer, head, System::releaseLabel, static_cast<int>(uptime));
  text += buffer;
  if (imei != nullptr) {
    std::snprintf(buffer, sizeof buffer, "<txt-record>imei=%llu</txt-record>", static_cast<unsigned long long>(*imei));
    text += buffer;
  }
  text += "<txt-record>ip_eth0=" + addressText(eth0) + "</txt-record>";
  text += "<txt-record>ip_eth1=" + addressText(eth1) + "</txt-record>";
  text += tail;
  return text;
}

MDNS::MDNS(Environment mdnsEnvironment) : environment(std::move(mdnsEnvironment)) {}

MDNS::~MDNS() { stop(); }

uint64_t MDNS::readImei() {
  std::lock_guard<std::recursive_mutex> lock(environment.tree->mutex());
  return environment.modem->imei.value;
}

bool MDNS::writeServiceFile() {
  bool commissioned = environment.commissioned();
  // A modem that answered late is still announced.
  if (!commissioned && imei == 0) imei = readImei();
  IP4 eth0, eth1;
  {
    std::lock_guard<std::recursive_mutex> lock(environment.tree->mutex());
    eth0 = environment.addresses->ip1.value;
    eth1 = environment.addresses->ip2.value;
  }
  std::string text = serviceText(environment.uptimeSeconds(), commissioned ? nullptr : &imei, eth0, eth1);

  std::string next = environment.servicePath + ".new";
  int fd = open(next.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  // O_CREAT keeps the mode of a ws.service.new left behind earlier.
  fchmod(fd, 0644);
  bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (close(fd) != 0) written = false;
  if (!written || rename(next.c_str(), environment.servicePath.c_str()) != 0) {
    unlink(next.c_str());
    return false;
  }
  return true;
}

void MDNS::run() {
  alive.store(1);
  for (int pass = 0; pass < imeiWaits && keepRunning.load() != 0; ++pass) {
    if (environment.commissioned() || imei != 0) break;
    imei = readImei();
    if (waitForStop(imeiWaitMilliseconds)) return;
  }
  while (keepRunning.load() != 0) {
    writeServiceFile();
    if (waitForStop(periodMilliseconds)) return;
  }
}
