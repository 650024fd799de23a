#include "can/volmar/PRRegistry.h"

PREntry* PRRegistry::find(uint32_t address) {
  for (PREntry& entry : list) {
    if (entry.address == address) return &entry;
  }
  return nullptr;
}

PREntry& PRRegistry::add(uint32_t address) {
  PREntry entry;
  entry.address = address;
  entry.alive = aliveStart;
  list.push_back(entry);
  changed = true;
  return list.back();
}

void PRRegistry::markAlive(PREntry& entry) {
  if (entry.alive == 0) changed = true;
  entry.alive = aliveStart;
}

uint64_t PRRegistry::serialOf(uint32_t address) {
  PREntry* entry = find(address);
  if (entry == nullptr) return add(address).serial;
  markAlive(*entry);
  return entry->serial;
}

void PRRegistry::announceSerial(uint32_t address, uint64_t serial) {
  PREntry* entry = find(address);
  if (entry == nullptr) {
    PREntry& added = add(address);
    added.serial = serial;
    added.serialKnown = true;
    return;
  }
  if (!entry->serialKnown) {
    entry->serial = serial;
    entry->serialKnown = true;
    entry->alive = aliveStart;
    changed = true;
    return;
  }
  markAlive(*entry);
}

bool PRRegistry::takeListChanged() {
  bool was = changed;
  changed = false;
  return was;
}
