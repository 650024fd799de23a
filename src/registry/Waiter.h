#pragma once
// Wakes a worker when a client applies an object that names one of the groups
// it watches. The worker sleeps on the semaphore with a time-out and re-reads
// its settings when woken:
//
//   Waiter wake({{"eth0"}, {"eth1"}});
//   for (;;) { wake.wait(30000); std::lock_guard lock(registryMutex()); ... }
//
// Only groups hand their waiters on: a Waiter on a leaf ("mqtt", "main") is
// never woken by an applied object.
#include <semaphore.h>

#include <initializer_list>
#include <vector>

#include "registry/Registry.h"

class Waiter {
 public:
  // Registers on the node of every path (missing groups are made).
  explicit Waiter(std::initializer_list<EntryPath> paths, RegistryRoot& root = RegistryRoot::global());
  ~Waiter();
  Waiter(const Waiter&) = delete;
  Waiter& operator=(const Waiter&) = delete;

  void post();
  // True when woken within timeoutMilliseconds (0: only looks). A Waiter
  // whose semaphore could not be made is never woken: it sleeps the time-out
  // and returns false, so its owner still re-reads on its own schedule.
  bool wait(int timeoutMilliseconds);
  // False when the semaphore could not be made (logged E at construction).
  bool usable() const { return semaphoreMade; }

  // First member: the semaphore the owner sleeps on (initial value 0).
  sem_t semaphore;

 private:
  friend class Entry<void, void>;
  friend class Registry;
  void forget(EntryNode* node);
  void replaceWatched(EntryNode* before, EntryNode* after);

  RegistryRoot* root;
  std::vector<EntryNode*> watched;
  bool semaphoreMade = false;
};
