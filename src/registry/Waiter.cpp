#include "registry/Waiter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "core/Event.h"
#include "core/Log.h"

Waiter::Waiter(std::initializer_list<EntryPath> paths, RegistryRoot& tree) : root(&tree) {
  semaphoreMade = sem_init(&semaphore, 0, 0) == 0;
  if (!semaphoreMade) LOGE("Cannot make a settings waiter's semaphore: %s", std::strerror(errno));
  std::lock_guard<std::recursive_mutex> lock(root->mutex());
  for (EntryPath path : paths) {
    EntryNode* node = root->find(path);
    if (node == nullptr) continue;
    node->waiters.push_back(this);
    watched.push_back(node);
  }
}

Waiter::~Waiter() {
  {
    std::lock_guard<std::recursive_mutex> lock(root->mutex());
    for (EntryNode* node : watched) std::erase(node->waiters, this);
    root->wakeSet.erase(this);
  }
  if (semaphoreMade) sem_destroy(&semaphore);
}

void Waiter::post() {
  if (semaphoreMade) sem_post(&semaphore);
}

bool Waiter::wait(int timeoutMilliseconds) {
  if (timeoutMilliseconds < 0) timeoutMilliseconds = 0;
  if (!semaphoreMade) {
    msleep(timeoutMilliseconds);
    return false;
  }
  timespec deadline{};
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 30))
  // The wall clock is set by clients and from the RTC: measure on the monotonic one.
  constexpr clockid_t clock = CLOCK_MONOTONIC;
#else
  constexpr clockid_t clock = CLOCK_REALTIME;
#endif
  clock_gettime(clock, &deadline);
  deadline.tv_sec += timeoutMilliseconds / 1000;
  deadline.tv_nsec += static_cast<long>(timeoutMilliseconds % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  for (;;) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 30))
    int result = sem_clockwait(&semaphore, clock, &deadline);
#else
    int result = sem_timedwait(&semaphore, &deadline);
#endif
    if (result == 0) return true;
    if (errno != EINTR) return false;
  }
}

void Waiter::forget(EntryNode* node) { std::erase(watched, node); }

void Waiter::replaceWatched(EntryNode* before, EntryNode* after) { std::replace(watched.begin(), watched.end(), before, after); }
