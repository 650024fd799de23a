#pragma once
// Merges the copies of one radio packet that several receivers (PR) forward:
// a packet equal byte for byte to a pending one within 250 ms only improves
// that entry's best and worst reception. After 250 ms an entry is decoded
// once and forgotten, so the same packet heard later counts again.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "can/volmar/PRMessage.h"

class PRFilter {
 public:
  static constexpr int64_t timeoutMilliseconds = 250;
  using Decode = std::function<void(const PRMessage&)>;

  void add(const PRMessage& message);
  // Decodes and removes, in arrival order, every entry older than 250 ms at now.
  void process(int64_t now, const Decode& decode);

  size_t pending() const { return entries.size(); }
  // The first time at which process() decodes an entry; -1 when none waits.
  int64_t nextDue() const;

 private:
  std::vector<PRMessage> entries;
};
