#pragma once
// The radio receivers (PR) heard on the bus, in order of first contact, one
// entry per CAN address. A PR is alive while its counter is above 0: any sign
// of life sets it to 18 and the periodic offline check counts it down.
// Changes that a PR list shown elsewhere would reflect (a new PR, a serial, a
// version, the bootloader state, going offline or coming back) set the
// PR-list-changed flag.
#include <cstdint>
#include <vector>

struct PREntry {
  uint64_t serial = 0;  // 0 until announced
  uint32_t address = 0;
  bool inBootloader = false;
  bool serialKnown = false;
  uint8_t alive = 0;
  uint8_t versionYearMonth = 0;  // months since January 2021
  uint8_t versionBuild = 0;
};

class PRRegistry {
 public:
  static constexpr uint8_t aliveStart = 18;

  // The PR's entry, or null when the address was never heard.
  PREntry* find(uint32_t address);
  const std::vector<PREntry>& entries() const { return list; }

  // The serial of the PR at this address (0 while unknown). An unknown
  // address gets a new entry; a known one is marked alive.
  uint64_t serialOf(uint32_t address);
  // A serial announcement: registers the PR or stores its serial.
  void announceSerial(uint32_t address, uint64_t serial);
  // Sets the counter to 18; coming back from offline is a change.
  void markAlive(PREntry& entry);

  // One step of the offline check: counts every live PR down and calls
  // wentOffline(address) for each that reaches 0.
  template <typename WentOffline>
  void countDown(WentOffline&& wentOffline) {
    for (PREntry& entry : list) {
      if (entry.alive == 0) continue;
      if (--entry.alive == 0) {
        changed = true;
        wentOffline(entry.address);
      }
    }
  }

  // Some PR's counter is above 0, so the offline check has work.
  bool anyAlive() const {
    for (const PREntry& entry : list) {
      if (entry.alive != 0) return true;
    }
    return false;
  }

  void setChanged() { changed = true; }
  bool listChanged() const { return changed; }
  // Reads and clears the PR-list-changed flag.
  bool takeListChanged();

 private:
  PREntry& add(uint32_t address);

  std::vector<PREntry> list;
  bool changed = false;
};
