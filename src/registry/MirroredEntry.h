#pragma once
// A setting read on a hot path without the registry mutex: the entry keeps a
// copy of its value in an atomic, brought up to date whenever the value is
// set from text (a client's object, a group file, a default) and when its
// owner commits a change it made itself.
//
//   MirroredEntry<CanPortMode> port1{root, {"can", "port1"}};
//   ...
//   if (port1.current() == CanPortMode::krel) ...   // any thread, no lock
//
// Writers still change `value` under the registry mutex and commit() it;
// current() then shows the new value from the commit on.
#include <atomic>
#include <type_traits>

#include "registry/Entry.h"

template <typename T>
class MirroredEntry : public Entry<T> {
  static_assert(std::is_trivially_copyable_v<T>, "the mirror is a std::atomic<T>");

 public:
  explicit MirroredEntry(EntryPath path) : Entry<T>(path) {}
  MirroredEntry(RegistryRoot& root, EntryPath path) : Entry<T>(root, path) {}

  void fromText(const char* text, const Origin& origin) override {
    Entry<T>::fromText(text, origin);
    mirror.store(this->value, std::memory_order_release);
  }
  void committed() override { mirror.store(this->value, std::memory_order_release); }

  // The value as of the last text applied or commit, without any lock.
  T current() const { return mirror.load(std::memory_order_acquire); }

 private:
  std::atomic<T> mirror{T{}};
};
