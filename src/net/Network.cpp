#include "net/Network.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <utility>

#include "core/Event.h"
#include "core/Gpio.h"
#include "core/Log.h"
#include "net/sim800/controller.h"
#include "platform/Clock.h"
#include "platform/Platform.h"

Network* Network::instance() {
  // Never destroyed: the thread and the factory identity use it until the
  // process ends.
  static Network* const network = new Network();
  return network;
}

Network::PppLink Network::modemLink() {
  PppLink link;
  link.request = [](bool up) { Sim800::instance()->wantPpp.store(up); };
  link.isUp = [] { return Sim800::instance()->pppUp(); };
  link.sleep = [](int milliseconds) { msleep(milliseconds); };
  return link;
}

Network::PppLink Network::noModem() {
  PppLink link;
  link.request = [](bool) {};
  link.isUp = [] { return false; };
  link.sleep = [](int milliseconds) { msleep(milliseconds); };
  return link;
}

Network::EthernetContext Network::boardEthernet() {
  EthernetContext context;
  context.tree = &RegistryRoot::global();
  context.ports[0] = &Catalogue::eth0();
  context.ports[1] = &Catalogue::eth1();
  context.status = &Catalogue::ethStatus();
  context.configPath = Platform::path("/data/etc/dhcpcd.conf");
  context.shell = Platform::platformShell();
  context.readButton = [] { return readGpioInput("button1"); };
  // Opened for a flash and closed after it, so both characters land one
  // after the other in the control file.
  context.setLed = [led = std::make_shared<std::unique_ptr<GpioControl>>()](bool on) {
    if (on) *led = std::make_unique<GpioControl>("yellow");
    if (*led) (*led)->set(on);
    if (!on) led->reset();
  };
  context.milliseconds = [] { return Platform::monotonicMilliseconds(); };
  return context;
}

Network::Network(MacSetupContext macSetup, PppLink pppLink, EthernetContext ethernetContext)
    : macSetup(std::move(macSetup)),
      ppp(std::move(pppLink)),
      ethernet(std::move(ethernetContext)),
      settingsWaiter({{"eth0"}, {"eth1"}}, *ethernet.tree) {
  if (!ethernet.sleep) ethernet.sleep = [this](int milliseconds) { waitForStop(milliseconds); };
  if (!ethernet.waitForChange) {
    ethernet.waitForChange = [this](int milliseconds) { return settingsWaiter.wait(milliseconds); };
  }
}

Network::~Network() {
  // Every wait of the thread ends: a sleep at the stop, a wait for a change
  // at this post, and no step begins once `ending` is seen.
  ending.store(true);
  settingsWaiter.post();
  stop();
}

void Network::switchBackup(bool on) {
  if (backupOn.load() == on) return;
  LOGI("Switching backup %s", on ? "on" : "off");
  backupOn.store(on);
  ppp.request(on);
  for (int waited = 0; waited < switchWaitMilliseconds && ppp.isUp() != on; waited += switchPollMilliseconds) {
    ppp.sleep(switchPollMilliseconds);
  }
  ppp.sleep(switchSettleMilliseconds);
}

bool Network::networkReady() {
  if (backupOn.load()) return ppp.isUp();
  return !ppp.isUp() && !reloadPending.load();
}

void Network::run() {
  startUp();
  alive.store(1);
  while (!finishing()) pass();
  alive.store(0);
}

void Network::startUp() {
  fallbackRequest();
  if (finishing()) return;
  recoverSavedConfig();
  LOGI("Reading config");
  readConfig();
  LOGI("Done!");
  lastTimedRefresh = now();
}

void Network::drainChanges() {
  while (!finishing() && ethernet.waitForChange(0)) {
  }
}

void Network::pass() {
  int timeout = 0;
  if (!reloadPending.load()) {
    // The next timed refresh is due once more than 30 s have passed.
    int64_t due = lastTimedRefresh + statusRefreshMilliseconds + 1 - now();
    timeout = static_cast<int>(std::clamp<int64_t>(due, 0, INT_MAX));
  }
  bool changed = ethernet.waitForChange(timeout);
  if (finishing()) return;
  if (changed || reloadPending.load()) {
    // Changes that arrived together (a client applying fifty objects in a
    // second) are written and loaded once, with the latest settings.
    drainChanges();
    reloadPending.store(true);
    WriteResult written = writeConfig();
    if (written != WriteResult::failed) reloadNetwork(written == WriteResult::written);
    reloadPending.store(false);
    refreshStatus();
  }
  // Refreshes after a reload do not restart the 30 s count.
  int64_t current = now();
  if (current - lastTimedRefresh > statusRefreshMilliseconds) {
    refreshStatus();
    lastTimedRefresh = current;
  }
}
