#pragma once
// Paces the receivers' offline check: due once more than 2 s have passed since
// the previous check (or since start), and every check restarts the period.
// With the alive counter starting at 18, a silent receiver is declared offline
// 34 to 36 s after its last sign of life. While no receiver is alive there is
// nothing to count down: the radio thread then restarts the period instead
// of waking for it, so the first check comes 2 s after the first sign of
// life.
#include <cstdint>

class OfflineCheckTimer {
 public:
  static constexpr int64_t periodMilliseconds = 2000;

  explicit OfflineCheckTimer(int64_t nowMilliseconds) : lastCheck(nowMilliseconds) {}

  // True when a check is due at now; the caller runs it at once.
  bool due(int64_t nowMilliseconds) {
    if (nowMilliseconds - lastCheck <= periodMilliseconds) return false;
    lastCheck = nowMilliseconds;
    return true;
  }
  // The first time at which due() is true.
  int64_t nextDue() const { return lastCheck + periodMilliseconds + 1; }
  void restart(int64_t nowMilliseconds) { lastCheck = nowMilliseconds; }

 private:
  int64_t lastCheck;
};
