#pragma once
// Waits for a condition that another thread makes true, polling every
// millisecond up to a limit, so tests synchronise on events rather than sleeps.
#include <chrono>

#include "core/Event.h"

namespace TestWait {

template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    msleep(1);
  }
  return true;
}

}  // namespace TestWait
