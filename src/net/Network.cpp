#include "net/Network.h"

#include <utility>

#include "core/Event.h"

Network* Network::instance() {
  // Never destroyed: the thread and the factory identity use it until the
  // process ends.
  static Network* const network = new Network();
  return network;
}

Network::Network(MacSetupContext macSetup) : macSetup(std::move(macSetup)) {}

void Network::run() {
  alive.store(1);
  while (keepRunning.load()) msleep(100);
  alive.store(0);
}
