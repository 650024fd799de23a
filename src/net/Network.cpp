#include "net/Network.h"

#include <utility>

#include "core/Event.h"
#include "core/Log.h"

Network* Network::instance() {
  // Never destroyed: the thread and the factory identity use it until the
  // process ends.
  static Network* const network = new Network();
  return network;
}

Network::PppLink Network::noModem() {
  PppLink link;
  link.request = [](bool) {};
  link.isUp = [] { return false; };
  link.sleep = [](int milliseconds) { msleep(milliseconds); };
  return link;
}

Network::Network(MacSetupContext macSetup, PppLink pppLink) : macSetup(std::move(macSetup)), ppp(std::move(pppLink)) {}

Network::~Network() { stop(); }

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
  alive.store(1);
  // Nothing to do until the dhcpcd handling arrives: sleep until stopped.
  while (keepRunning.load()) waitForStop(-1);
  alive.store(0);
}
