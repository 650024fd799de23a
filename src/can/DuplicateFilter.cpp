#include "can/DuplicateFilter.h"

#include <zlib.h>

uint64_t DuplicateFilter::checksum(const CanFrame& frame) {
  uLong crc = crc32(0L, Z_NULL, 0);
  crc = crc32(crc, reinterpret_cast<const Bytef*>(&frame), sizeof frame);
  return static_cast<uint64_t>(crc);
}

void DuplicateFilter::forgetOlderThanWindow(int64_t now) {
  while (!arrivals.empty() && now - arrivals.front().time >= windowMilliseconds) {
    const Arrival& oldest = arrivals.front();
    auto entry = seen.find(oldest.crc);
    // The entry may already be gone (its second copy came) or belong to a
    // later arrival of the same frame.
    if (entry != seen.end() && entry->second == oldest.time) seen.erase(entry);
    arrivals.pop_front();
  }
}

bool DuplicateFilter::pass(const CanFrame& frame, int64_t now) {
  uint64_t crc = checksum(frame);
  forgetOlderThanWindow(now);
  auto entry = seen.find(crc);
  if (entry != seen.end()) {
    seen.erase(entry);
    return false;
  }
  seen.emplace(crc, now);
  arrivals.push_back({now, crc});
  return true;
}
