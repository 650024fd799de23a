#pragma once
// Fixed-capacity queue between threads. Any thread may push; one owner consumes.
// The ring's fill level is mirrored in a semaphore-mode eventfd so the owner
// can poll() it together with its sockets. A full ring drops the new element.
// The descriptor never blocks: a take that finds no unit returns at once.
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "core/Event.h"
#include "core/Log.h"

template <typename T, uint32_t N>
class SyncRing {
  static_assert(N > 0, "a ring holds at least one element");

 public:
  SyncRing() : eventFd(makeEventFd()) {}
  ~SyncRing() {
    if (eventFd >= 0) close(eventFd);
  }
  SyncRing(const SyncRing&) = delete;
  SyncRing& operator=(const SyncRing&) = delete;

  // False when the ring was full and the element was dropped.
  bool push(T item) {
    if (count.load() >= N) {
      LOGW("Buffer overflow!");
      return false;
    }
    std::lock_guard<std::mutex> lock(mutex);
    // Two producers can both pass the unlocked test for the last slot; the
    // second one is refused here, so a queued element is never overwritten.
    if (count.load() >= N) {
      LOGW("Buffer overflow!");
      return false;
    }
    items[(head + count.load()) % N] = std::move(item);
    // The count first, then the unit: the consumer is woken only once the
    // element shows. A consumer that saw it before its unit came waits for
    // this mutex in takeUnit().
    count.fetch_add(1);
    signalEvent(eventFd);
    return true;
  }

  uint32_t size() const { return count.load(); }

  // The owner takes the unit of the element it is about to pop. The
  // descriptor never blocks: when the unit is not there yet, a push is
  // between its count and its unit, and holds the mutex until its unit is
  // written, so the take is tried once more behind the mutex. A unit missing
  // even then (a count out of step) is not waited for; false.
  bool takeUnit() {
    if (takeEvent(eventFd)) return true;
    std::lock_guard<std::mutex> lock(mutex);
    return takeEvent(eventFd);
  }

  // Only meaningful while size() is above 0; only the owner calls it.
  T front() {
    std::lock_guard<std::mutex> lock(mutex);
    return items[head];
  }

  void pop() {
    if (count.load() == 0) {
      LOGW(" {CRITICAL} Nothing to delete!");
      return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    items[head] = T{};
    head = (head + 1) % N;
    count.fetch_sub(1);
  }

  int fd() const { return eventFd; }

  // The owner's consume step: takes every queued element out (one event unit
  // each) and processes the copies without holding the mutex.
  template <typename Process>
  void consumeAll(Process&& process) {
    while (size() != 0) {
      takeUnit();
      T item = front();
      pop();
      process(item);
    }
  }

  static constexpr uint32_t capacity() { return N; }

 private:
  int eventFd;
  std::array<T, N> items{};
  uint32_t head = 0;
  std::atomic<uint32_t> count{0};
  std::mutex mutex;
};
