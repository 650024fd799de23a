#include "can/krel/OwnFrames.h"

#include <cstring>
#include <utility>

namespace KREL {
namespace {

bool sameFrame(const CanFrame& a, const CanFrame& b) {
  if (a.id != b.id || a.length != b.length) return false;
  size_t count = a.length < CanFrame::maxLength ? a.length : CanFrame::maxLength;
  return std::memcmp(a.data, b.data, count) == 0;
}

}  // namespace

OwnFrames::OwnFrames(Clock clock) : now(std::move(clock)) {}

void OwnFrames::remember(const CanFrame& frame) {
  std::lock_guard<std::mutex> lock(mutex);
  Sent& slot = sent[next];
  if (slot.at != 0) recent.fetch_sub(1);  // the oldest makes room
  slot.frame = frame;
  slot.at = now();
  if (slot.at == 0) slot.at = 1;  // 0 marks a free slot
  next = (next + 1) % capacity;
  recent.fetch_add(1);
}

bool OwnFrames::heardBack(const CanFrame& frame) {
  if (recent.load(std::memory_order_relaxed) == 0) return false;
  std::lock_guard<std::mutex> lock(mutex);
  int64_t oldest = now() - windowMilliseconds;
  bool found = false;
  for (Sent& slot : sent) {
    if (slot.at == 0) continue;
    if (slot.at < oldest) {
      slot.at = 0;
      recent.fetch_sub(1);
    } else if (!found && sameFrame(slot.frame, frame)) {
      found = true;
    }
  }
  return found;
}

}  // namespace KREL
