#include "registry/Entry.h"

#include <algorithm>
#include <mutex>

#include "core/Log.h"
#include "registry/Registry.h"
#include "registry/Waiter.h"

Entry<void, void>::Entry(EntryPath path) : treeRoot(&RegistryRoot::global()) { place(path); }

Entry<void, void>::Entry(RegistryRoot& root, EntryPath path) : treeRoot(&root) { place(path); }

Entry<void, void>::Entry(const char* nodeName, Registry* parentGroup, RegistryRoot* root)
    : name(nodeName), parent(parentGroup), treeRoot(root) {}

Entry<void, void>::~Entry() {
  if (parent != nullptr) {
    std::lock_guard<std::recursive_mutex> lock(treeRoot->mutex());
    parent->removeChild(this);
  }
  for (Waiter* waiter : waiters) waiter->forget(this);
}

// Walks from the root through the path's groups (making missing ones) and
// appends the node to the last group. A path through a leaf leaves the node
// outside the tree.
void Entry<void, void>::place(EntryPath path) {
  std::lock_guard<std::recursive_mutex> lock(treeRoot->mutex());
  if (path.size() == 0) {
    LOGE("Entry without a path");
    treeRoot = nullptr;
    return;
  }
  Registry* group = treeRoot;
  const char* const* last = path.end() - 1;
  for (const char* const* step = path.begin(); step != last; ++step) {
    group = group->groupNamed(*step);
    if (group == nullptr) {
      LOGE("Entry path runs through the leaf %s", *step);
      treeRoot = nullptr;
      return;
    }
  }
  if (EntryNode* existing = group->child(*last)) {
    // A lookup (a Waiter, a loader) made an empty group of this name before
    // the entry existed: the entry takes its place and what was attached to it.
    if (!group->replacePlaceholder(existing, this)) {
      LOGE("Entry %s registered twice", *last);
      treeRoot = nullptr;
    }
    return;
  }
  name = *last;
  parent = group;
  group->addChild(this);
}
