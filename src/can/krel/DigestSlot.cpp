#include "can/krel/DigestSlot.h"

#include <cstring>
#include <mutex>
#include <utility>

#include "meterdata/MeterDataHandlers.h"
#include "platform/Clock.h"
#include "registry/Catalogue.h"

namespace KREL {

void DigestSlot::update(const IOPacket& packet) {
  unsigned index = packet.reg & 15u;
  if (index >= Ppk::Core::registerCount) return;
  std::unique_lock<std::mutex> lock(coreMutex);
  if (index == sequenceCounter.load()) sequenceCounter.fetch_add(1);

  Ppk::Core::Kept kept = core.kept(index);
  const uint8_t* received = packet.data + kept.offset;
  bool differs = std::memcmp(kept.bytes, received, kept.count) != 0;
  // The first value of a register after start fills the image and is no
  // change: registers 7 and 8 arrive after register 6 published the node,
  // and would otherwise publish the same state once or twice more.
  uint16_t bit = static_cast<uint16_t>(1u << index);
  bool changed = differs && (filled & bit) != 0;
  filled = static_cast<uint16_t>(filled | bit);
  if (differs) std::memcpy(kept.bytes, received, kept.count);
  if (changed) published.store(false);
  if (index == 1) return;  // the serial alone neither keeps a node alive nor publishes it

  lastUpdate.store(store->now());
  if (changed && index == 6) configRead.store(false);
  if (sequenceCounter.load() <= publishAfter || published.exchange(true)) return;
  DigestData record(core);
  lock.unlock();
  store->publish(record);
}

bool DigestSlot::alive() const {
  return store->now() <= lastUpdate.load() + aliveSeconds && sequenceCounter.load() > publishAfter;
}

void DigestSlot::reset() {
  published.store(false);
  configRead.store(false);
  pollMemory.invalidate();
}

bool DigestSlot::checkAliveness() {
  bool isAlive = alive();
  if (wasAlive.exchange(isAlive) == isAlive) return false;
  if (!isAlive) {
    restartSequence();
    reset();
  }
  return true;
}

uint8_t DigestSlot::alarmKinds() const {
  std::lock_guard<std::mutex> lock(coreMutex);
  return static_cast<uint8_t>((core.state[0] & 3u) | (core.statistics[4] & 3u) << 2);
}

Ppk::Core DigestSlot::snapshot() const {
  std::lock_guard<std::mutex> lock(coreMutex);
  return core;
}

DigestStore::DigestStore(Clock now, Publisher publish)
    : clock(now ? std::move(now) : Clock(Platform::monotonicCoarseSeconds)),
      publisher(publish ? std::move(publish) : Publisher(MeterDataHandlers::dispatch)) {
  for (size_t i = 0; i < slotCount; ++i) {
    slots[i].store = this;
    slots[i].nodeNumber = static_cast<uint16_t>(i);
    slots[i].core.can_id = static_cast<uint16_t>(i);
  }
}

void DigestStore::aliveNodes(std::vector<uint16_t>& nodes) const {
  for (const DigestSlot& slot : slots) {
    if (slot.alive()) nodes.push_back(slot.node());
  }
}

void DigestStore::resetAll() {
  for (DigestSlot& slot : slots) slot.reset();
}

DigestStore& digests() {
  static DigestStore* store = [] {
    auto* made = new DigestStore();
    std::lock_guard<std::recursive_mutex> lock(registryMutex());
    Catalogue::krelDevicesList().value.aliveNodes = [made](std::vector<uint16_t>& nodes) {
      made->aliveNodes(nodes);
    };
    return made;
  }();
  return *store;
}

}  // namespace KREL
