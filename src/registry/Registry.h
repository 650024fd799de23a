#pragma once
// Groups of the settings tree and the tree's root.
//
// A group renders as the JSON object of its children (in registration order,
// children with an empty text left out) and applies an object member by
// member: a child named in the object gets its member's text, every other
// member is ignored. Applying to the root tells every change listener which
// top-level groups were named (bit i = the i-th child of the root) and saves
// each persisted group that was named.
//
// The root's children are ordered by the tree's order table (the catalogue's
// top-level names), whatever the order in which they are constructed; names
// missing from the table follow in construction order.
//
// Saving a group renders its text under the registry mutex but writes the
// file only after the thread has left the registry (Scope below), so a slow
// flash never holds up the readers of settings. A text equal to the one last
// saved or read for the file is not written again.
//
// Locks (docs/locking.md): the registry mutex (recursive) orders applies,
// loads, renders and the readers of values; the listener mutex guards the
// listener list; the file-table mutex and one writer mutex per group file
// order the writes. Whoever needs several takes them in that order, and no
// file write holds the registry mutex.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "registry/AtomicFile.h"
#include "registry/CommonHandler.h"
#include "registry/Entry.h"

// Changed top-level groups: bit i stands for the root's child at position i
// (positions 32 and later have no bit).
struct JSONDataDesyncCmd {
  uint32_t mask = 0;
};

class Registry : public Entry<void, void> {
 public:
  ~Registry() override;

  std::string toText() const override;
  void fromText(const char* text, const Origin& origin) override;
  Registry* asRegistry() override { return this; }
  void committed() override;

  // The first child with this name, or null.
  EntryNode* child(std::string_view childName) const;

  std::vector<EntryNode*> children;

 protected:
  Registry(const char* groupName, Registry* parentGroup, RegistryRoot* root);
  // A group class of its own (one that checks what is applied to it), placed
  // at its path like an entry; its children are constructed after it.
  Registry(RegistryRoot& root, EntryPath path);

 private:
  friend class Entry<void, void>;
  friend class RegistryRoot;

  // The child group of this name, made when missing; null when the name
  // belongs to a leaf.
  Registry* groupNamed(const char* childName);
  virtual void addChild(EntryNode* node);
  void removeChild(EntryNode* node);
  // Puts `node` in the place of `existing` when that is an empty group made by
  // a path walk, and moves its waiters and flags over; false otherwise.
  bool replacePlaceholder(EntryNode* existing, EntryNode* node);

  std::vector<std::unique_ptr<Registry>> createdGroups;
};

class RegistryRoot : public Registry {
 public:
  // A tree whose persisted groups are files in `directory` (a path as the
  // process opens it, e.g. Platform::path("/data/dps")); `order` lists the
  // top-level names in the order the root keeps them.
  explicit RegistryRoot(std::string directory, std::vector<std::string_view> order = {});
  ~RegistryRoot() override;

  // The process-wide tree (files under /data/dps/, catalogue order), made on
  // first use and never destroyed.
  static RegistryRoot& global();

  std::recursive_mutex& mutex() { return registryMutex; }

  // Holds the registry mutex for its lifetime. Work handed to
  // runOutsideLock() inside it (file writes, shell commands) runs when the
  // thread's outermost Scope has released the mutex. A caller that locks
  // mutex() itself around a Scope keeps the mutex through that work: lock
  // through a Scope, or not at all, around applies and commits of persisted
  // groups.
  class Scope {
   public:
    explicit Scope(RegistryRoot& root);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    std::unique_lock<std::recursive_mutex> lock;
  };
  // Runs `work` once this thread has left its outermost Scope, at once when
  // it is in none. Endpoint handlers use it for slow work (shell commands)
  // that must not hold up the readers of settings.
  static void runOutsideLock(std::function<void()> work);

  // The node at a path; missing groups on the way (and a missing last name)
  // are made as groups. Null when the path runs through a leaf.
  EntryNode* find(EntryPath path);
  // The top-level node of this name, made as a group when missing.
  EntryNode* topLevel(const char* topName);

  // A client's object: under the registry mutex, empties the wake set,
  // applies the text to the root with `origin`, then posts every Waiter
  // collected while applying.
  void apply(const char* text, const Origin& origin = {});

  // The root's child at `position` as a one-member object {"name":text}; empty
  // when there is no such child or its text is empty.
  std::string childText(size_t position) const;
  size_t childCount() const;
  // The change bit of a top-level node: 1 << position, 0 from position 32 on.
  uint32_t bitOf(const EntryNode* topLevelNode) const;

  // Change listeners, called in the changing thread under the listener mutex.
  void addListener(CommonHandler<JSONDataDesyncCmd>* listener);
  void removeListener(CommonHandler<JSONDataDesyncCmd>* listener);
  void notify(uint32_t mask);

  // After an owner changed a value itself: tells the listeners the bit of the
  // entry's top-level group and saves that group when it is persisted.
  void commit(EntryNode& entry);
  // Writes a persisted top-level node to its file (nothing for other nodes):
  // renders it now and writes it once the thread has left the registry
  // (Scope), unless the text is the one last saved or read for the file and
  // the file is still there. Writers of one file take turns, and each writes
  // the newest text rendered, so an older text never replaces a newer one.
  void save(EntryNode& topLevelNode);
  // Files written by save() so far (each also logged as a D line).
  uint64_t fileWrites() const { return writes.load(); }
  // What a loader read from the group's file: an equal text needs no write.
  void rememberStored(const char* topName, const std::string& content);
  // The group's file was removed by other means: the next save writes it.
  void forgetStored(const char* topName);

  // Reading and writing group files.
  const std::string& directory() const { return storageDirectory; }
  std::string filePath(const char* topName) const;
  // Replaceable system calls of save(), for tests that simulate faults.
  void setFileOperations(const FileOperations& operations);

  // Waiters collected by the apply in progress.
  std::set<Waiter*> wakeSet;

 private:
  // One group file's writes. `writing` lets one writer at a time at the
  // file (and its ".new"); the rest is guarded by filesMutex.
  struct GroupFile {
    std::mutex writing;
    uint64_t rendered = 0;  // generation of `text`
    uint64_t handled = 0;   // newest generation a writer dealt with
    std::string text;       // newest rendered text
    bool stored = false;    // `storedText` is what the file holds
    std::string storedText;
  };

  void addChild(EntryNode* node) override;
  size_t rankOf(const char* topName) const;
  GroupFile& groupFile(const std::string& topName);
  // Writes the newest rendered text of the group's file when it needs it.
  void writeGroupFile(const std::string& topName);

  mutable std::recursive_mutex registryMutex;
  std::mutex listenerMutex;
  std::vector<CommonHandler<JSONDataDesyncCmd>*> listeners;
  std::vector<std::string_view> order;
  std::string storageDirectory;
  std::mutex filesMutex;
  std::map<std::string, std::unique_ptr<GroupFile>> files;
  bool directoryCreated = false;
  FileOperations fileOperations;
  std::atomic<uint64_t> writes{0};
};

// The process-wide tree's registry mutex.
std::recursive_mutex& registryMutex();
// commit() and save() on the tree the entry belongs to.
void commit(EntryNode& entry);
void save(EntryNode& topLevelNode);
