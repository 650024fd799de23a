#pragma once
// Slows password guessing on the local API down to uselessness without
// letting a guesser lock anybody else out.
//
// Failed logins are counted per client address (the MQTT tunnel counts as
// one address of its own). After 5 failures within 10 minutes the address
// is backed off for 30 s: every login from it is refused unchecked until
// then. Each further failure after a back-off doubles it, up to 15 minutes.
// A good login clears the address; a backed-off address without a failure
// for 10 minutes after its back-off ended starts afresh. Other addresses are
// never affected. At most 64 addresses are remembered; a new one replaces the
// one whose last failure is the oldest.
//
//   guard.failed("10.0.0.7", t) five times    -> backedOff("10.0.0.7", t + 29999) true
//   backedOff("10.0.0.7", t + 30000)           -> false; the next failure backs off 60 s
//
// Times are milliseconds of a monotonic clock the caller reads. The WebSocket
// thread and the MQTT library's callback thread share the process's guard, so
// every operation takes its mutex.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class LoginGuard {
 public:
  static constexpr int failuresBeforeBackOff = 5;
  static constexpr int64_t windowMilliseconds = 10 * 60 * 1000;
  static constexpr int64_t firstBackOffMilliseconds = 30 * 1000;
  static constexpr int64_t longestBackOffMilliseconds = 15 * 60 * 1000;
  static constexpr size_t maxAddresses = 64;

  // The guard of the process: every API session and the tunnel use it.
  static LoginGuard& process();

  // Logins from the address are refused unchecked at `now`.
  bool backedOff(const std::string& address, int64_t now);
  // A login from the address was checked and failed at `now`.
  void failed(const std::string& address, int64_t now);
  // A login from the address succeeded: it is forgotten.
  void succeeded(const std::string& address);

  // The length of the address's current or last back-off, 0 when it has none.
  int64_t backOffOf(const std::string& address);
  size_t rememberedAddresses();

 private:
  struct Record {
    std::string address;
    int failures = 0;
    int64_t windowStart = 0;
    int64_t backOff = 0;  // 0: not backed off (yet)
    int64_t backedOffUntil = 0;
    int64_t lastFailure = 0;
  };

  // The address's record, or null; a record whose time is over is dropped.
  Record* find(const std::string& address, int64_t now);
  Record& add(const std::string& address);

  std::mutex mutex;
  std::vector<Record> records;
};
