#include "can/volmar/PRFilter.h"

#include "core/Log.h"

void PRFilter::add(const PRMessage& message) {
  bool merged = false;
  for (PRMessage& entry : entries) {
    if (!entry.samePacket(message)) continue;
    if (message.bestRssi > entry.bestRssi) {
      entry.bestRssi = message.bestRssi;
      entry.bestPR = message.bestPR;
    }
    if (message.worstRssi < entry.worstRssi) {
      entry.worstRssi = message.worstRssi;
      entry.worstPR = message.worstPR;
    }
    merged = true;
    break;
  }
  if (!merged) entries.push_back(message);
  // The packet's CRC names it: every copy of one packet logs the same number.
  LOGV("Filtering %04X as %d", static_cast<unsigned>(message.packetCrc), merged ? 1 : 0);
}

void PRFilter::process(int64_t now, const Decode& decode) {
  size_t i = 0;
  while (i < entries.size()) {
    if (now - entries[i].receivedAt <= timeoutMilliseconds) {
      ++i;
      continue;
    }
    LOGD("Processing data from filter");
    decode(entries[i]);
    LOGD("Deleting data from filter");
    entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

int64_t PRFilter::nextDue() const {
  int64_t due = -1;
  for (const PRMessage& entry : entries) {
    int64_t at = entry.receivedAt + timeoutMilliseconds + 1;
    if (due < 0 || at < due) due = at;
  }
  return due;
}
