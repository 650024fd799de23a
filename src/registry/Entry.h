#pragma once
// Nodes of the settings tree. Every setting, status value and command is an
// entry with a path of names ("mqtt", "main"); the groups on the way are
// Registry nodes made on demand. A tree is rendered to and applied from JSON
// object text (Registry.h), persisted per top-level group and watched by
// Waiters (Waiter.h).
//
//   Entry<bool> enabled{{"pult", "enabled"}};   // registers under the process-wide root
//   std::lock_guard lock(registryMutex());       // read or write values under the registry mutex
//   if (enabled.value) ...
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "registry/EntryText.h"

class Registry;
class RegistryRoot;
class Waiter;

// The sending side of a local API client as the tree sees it: endpoint
// handlers answer the client that applied the text through it. The session
// layer's client state derives from it.
class ReplyChannel {
 public:
  virtual void send(const std::string& text) = 0;
  // False while the channel's bounded queue is full, so a sender of many
  // answers can wait for the client's thread to drain it.
  virtual bool hasRoom() const { return true; }

 protected:
  ReplyChannel() = default;
  ~ReplyChannel() = default;
};

// Weak handle to the client that applied a text; empty for files and defaults.
using Origin = std::weak_ptr<ReplyChannel>;

// A path of names, each a static text: {"power_limits", "main", "min"}.
using EntryPath = std::initializer_list<const char*>;

template <typename T = void, typename Tag = void>
class Entry;

// The untyped node: what every entry, status value, endpoint and group is.
template <>
class Entry<void, void> {
 public:
  // The value as JSON text; empty when there is nothing to show (the node is
  // then left out of its group's object).
  virtual std::string toText() const = 0;
  // Sets the node from the JSON text of one member.
  virtual void fromText(const char* text, const Origin& origin) = 0;
  // The node itself for a group, null for a leaf.
  virtual Registry* asRegistry() { return nullptr; }
  virtual ~Entry();
  // Called by commit() on the committed node's top-level group, under the
  // registry mutex, after an owner changed values itself (a group passes it
  // to its children).
  // Entries that keep a copy of their value for lock-free readers refresh it.
  virtual void committed() {}

  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;

  // The tree the node belongs to; null for a node whose path could not be
  // placed (it then lives outside every tree).
  RegistryRoot* tree() const { return treeRoot; }

  const char* name = "";
  Registry* parent = nullptr;
  // Woken when an applied object names this group (only groups hand their
  // waiters on).
  std::vector<Waiter*> waiters;
  // Set when a RegistryLoader claimed this top-level node.
  uint8_t persistent = 0;
  // Set when the node's content came from its file.
  uint8_t loaded = 0;
  // Default JSON text installed by a RegistryDefault; null when none.
  const char* defaultText = nullptr;

 protected:
  // Registers the node under the process-wide root.
  explicit Entry(EntryPath path);
  // Registers the node under the given tree (tests and benchmarks use their own).
  Entry(RegistryRoot& root, EntryPath path);
  // A group made by a path walk, or a tree's root: placed by the caller.
  Entry(const char* name, Registry* parent, RegistryRoot* root);

 private:
  friend class Registry;
  friend class Waiter;
  void place(EntryPath path);

  RegistryRoot* treeRoot = nullptr;
};

using EntryNode = Entry<void, void>;

// An entry holding one value of type T, shown and set through EntryText<T>.
// Owners read and write `value` under the registry mutex and call commit()
// after a change that clients should see or that must be saved.
template <typename T, typename Tag>
class Entry : public Entry<void, void> {
 public:
  explicit Entry(EntryPath path) : Entry<void, void>(path) {}
  Entry(RegistryRoot& root, EntryPath path) : Entry<void, void>(root, path) {}

  std::string toText() const override { return EntryText<T>::toText(value); }
  void fromText(const char* text, const Origin&) override { EntryText<T>::fromText(value, text); }

  T value{};
};

// A status value: read by everybody, set only by the program.
template <typename T>
class WSStatus : public Entry<T, void> {
 public:
  using Entry<T, void>::Entry;
  void fromText(const char*, const Origin&) override {}
};
