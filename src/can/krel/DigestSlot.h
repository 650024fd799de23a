#pragma once
// The latest digest of every panel node, whether the node is alive, and the
// publication of a node's state as a "digest" record whenever its complete
// digest differs from the one published last.
//
// A node counts its digest registers as they arrive in index order 0, 1, 2,
// ...; once registers 0 to 6 came in order it is published (at register 6),
// and again after any change of a kept register (the first value a register
// takes after start is no change). Register 1 (serial) never publishes by
// itself and does not count as a sign of life.
//
//   after start: 0 1 2 3 4 5 6 -> published once, at 6; 7 8 0 1 ... -> nothing more
//   after start: 0 2 1 3 4 5 6 -> counter stays at 2; nothing until 2 3 4 5 6
//
// update() runs on the panel thread; alive(), reset(), the aliveness pass and
// snapshot() may run on other threads.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "can/krel/DigestData.h"
#include "can/krel/IOPacket.h"

namespace KREL {

// What the register polls remember of a node so that they publish their
// records only on change.
struct PollMemory {
  uint16_t hubsUsed = 0xFFFF;
  uint16_t hubsFault = 0xFFFF;
  uint8_t mainVoltageSteps = 0xFF;    // 0.2 V steps
  uint8_t backupVoltageSteps = 0xFF;  // 0.2 V steps
  uint32_t radioCrc = 0;
  bool radioCrcValid = false;
  uint8_t alarmBitmap[32] = {};
  uint8_t deviceStatus[256] = {};
  uint8_t deviceFault[256] = {};

  // After a reset every poll record is published again.
  void invalidate() {
    hubsUsed = 0xFFFF;
    hubsFault = 0xFFFF;
    mainVoltageSteps = 0xFF;
    backupVoltageSteps = 0xFF;
    radioCrcValid = false;
  }
};

class DigestStore;

class DigestSlot {
 public:
  // A node is alive while its last digest register (other than 1) is at most
  // this old and it has sent registers 0 to 6 in order.
  static constexpr int64_t aliveSeconds = 10;
  static constexpr uint8_t publishAfter = 6;

  DigestSlot() = default;
  DigestSlot(const DigestSlot&) = delete;
  DigestSlot& operator=(const DigestSlot&) = delete;

  // Takes one digest register (index = reg & 15).
  void update(const IOPacket& packet);
  bool alive() const;
  // Publish again on the next complete digest, read the configuration again,
  // forget what the polls published. The image and the counter stay.
  void reset();
  // One step of the aliveness pass: when alive() differs from what the last
  // pass saw, remember it; a node found dead starts its counter again and is
  // reset. True when the node came or went.
  bool checkAliveness();
  // The aliveness the last such step saw.
  bool seenAlive() const { return wasAlive.load(); }
  // Alarm kinds active at the node, bit k for kind k: fire states 0 and 1
  // (register 0, byte 0, bits 0-1), zone states 0 and 1 (register 4, byte
  // 4, bits 0-1).
  uint8_t alarmKinds() const;

  Ppk::Core snapshot() const;
  uint16_t node() const { return nodeNumber; }
  uint8_t sequence() const { return sequenceCounter.load(); }
  void restartSequence() { sequenceCounter.store(0); }

  std::atomic<bool> published{false};
  std::atomic<bool> configRead{false};
  // Used by the poll thread only.
  PollMemory pollMemory;

 private:
  friend class DigestStore;

  const DigestStore* store = nullptr;
  uint16_t nodeNumber = 0;
  mutable std::mutex coreMutex;  // the image: written by update, copied by snapshot
  Ppk::Core core;
  uint16_t filled = 0;  // bit i: register i has had a value since start
  std::atomic<int64_t> lastUpdate{0};
  std::atomic<uint8_t> sequenceCounter{0};
  std::atomic<bool> wasAlive{false};
};

class DigestStore {
 public:
  // Every valid node number (0-250) has a slot.
  static constexpr size_t slotCount = maxNode + 1;
  // Monotonic seconds.
  using Clock = std::function<int64_t()>;
  using Publisher = std::function<void(const MeterData&)>;

  // Defaults: the coarse monotonic clock and MeterDataHandlers::dispatch.
  explicit DigestStore(Clock now = {}, Publisher publish = {});
  DigestStore(const DigestStore&) = delete;
  DigestStore& operator=(const DigestStore&) = delete;

  DigestSlot& slot(size_t node) { return slots[node]; }
  const DigestSlot& slot(size_t node) const { return slots[node]; }

  // Alive node numbers, ascending ("krel_devices_list").
  void aliveNodes(std::vector<uint16_t>& nodes) const;
  void resetAll();

  int64_t now() const { return clock(); }
  void publish(const MeterData& record) const { publisher(record); }

 private:
  Clock clock;
  Publisher publisher;
  std::array<DigestSlot, slotCount> slots;
};

// The process-wide store; made on first use, when it also becomes the source
// of the status "krel_devices_list".
DigestStore& digests();

}  // namespace KREL
