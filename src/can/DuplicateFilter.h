#pragma once
// Suppresses the second copy of a panel frame when both CAN interfaces hang
// on the same panel bus: every frame arrives twice, once per interface.
//
// A frame is known by the zlib CRC-32 of its whole 16-byte record. The first
// copy passes and is remembered with its arrival time; a second copy arriving
// less than 50 ms later is dropped and forgets the first, so a third identical
// frame passes again. Entries 50 ms old or older are forgotten.
//
//   t=0 ms  A -> pass     t=10 ms A -> drop     t=200 ms A -> pass
//
// Used by the supervisor thread only; time comes from the caller.
#include <cstdint>
#include <deque>
#include <map>

#include "platform/CanFrame.h"

class DuplicateFilter {
 public:
  static constexpr int64_t windowMilliseconds = 50;

  // True when the frame passes; nowMilliseconds must not go backwards.
  bool pass(const CanFrame& frame, int64_t nowMilliseconds);

  static uint64_t checksum(const CanFrame& frame);
  size_t remembered() const { return seen.size(); }

 private:
  void forgetOlderThanWindow(int64_t nowMilliseconds);

  // CRC -> arrival time of the remembered copy.
  std::map<uint64_t, int64_t> seen;
  // The same entries in arrival order, so expiry looks at the oldest only
  // instead of walking the whole table for every frame.
  struct Arrival {
    int64_t time;
    uint64_t crc;
  };
  std::deque<Arrival> arrivals;
};
