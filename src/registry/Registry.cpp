#include "registry/Registry.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "platform/Platform.h"
#include "registry/CatalogueOrder.h"
#include "registry/Json.h"
#include "registry/JsonWriter.h"
#include "registry/Waiter.h"

using Lock = std::lock_guard<std::recursive_mutex>;

Registry::Registry(const char* groupName, Registry* parentGroup, RegistryRoot* root)
    : Entry<void, void>(groupName, parentGroup, root) {}

Registry::Registry(RegistryRoot& root, EntryPath path) : Entry<void, void>(root, path) {}

Registry::~Registry() {
  // Children that outlive their group must not reach back into it.
  for (EntryNode* node : children) node->parent = nullptr;
  children.clear();
}

EntryNode* Registry::child(std::string_view childName) const {
  for (EntryNode* node : children) {
    if (childName == node->name) return node;
  }
  return nullptr;
}

Registry* Registry::groupNamed(const char* childName) {
  if (EntryNode* existing = child(childName)) return existing->asRegistry();
  createdGroups.push_back(std::unique_ptr<Registry>(new Registry(childName, this, tree())));
  Registry* group = createdGroups.back().get();
  addChild(group);
  return group;
}

void Registry::addChild(EntryNode* node) { children.push_back(node); }

void Registry::removeChild(EntryNode* node) {
  auto found = std::find(children.begin(), children.end(), node);
  if (found != children.end()) children.erase(found);
}

bool Registry::replacePlaceholder(EntryNode* existing, EntryNode* node) {
  Registry* placeholder = existing->asRegistry();
  if (placeholder == nullptr || !placeholder->children.empty()) return false;
  auto owned = std::find_if(createdGroups.begin(), createdGroups.end(),
                            [&](const std::unique_ptr<Registry>& group) { return group.get() == placeholder; });
  if (owned == createdGroups.end()) return false;
  node->name = placeholder->name;
  node->parent = this;
  *std::find(children.begin(), children.end(), existing) = node;
  node->waiters = std::move(placeholder->waiters);
  placeholder->waiters.clear();
  for (Waiter* waiter : node->waiters) waiter->replaceWatched(placeholder, node);
  node->persistent = placeholder->persistent;
  node->loaded = placeholder->loaded;
  node->defaultText = placeholder->defaultText;
  placeholder->parent = nullptr;
  createdGroups.erase(owned);
  return true;
}

std::string Registry::toText() const {
  JsonWriter writer;
  for (const EntryNode* node : children) {
    std::string text = node->toText();
    if (text.empty()) continue;
    writer.addKey(node->name);
    writer.append(text);
    writer.append(",");
  }
  writer.close();
  return writer.take();
}

void Registry::fromText(const char* text, const Origin& origin) {
  std::string buffer(text);  // the scanner cuts its input in place
  JsonList members = scanJsonObject(buffer.data());
  RegistryRoot* root = tree();
  uint32_t changed = 0;
  uint32_t bit = 1;
  // By index: a handler may add entries while the object is applied.
  for (size_t i = 0; i < children.size(); ++i, bit <<= 1) {
    EntryNode* node = children[i];
    const JsonPair* member = findPair(members, node->name);
    if (member == nullptr) continue;
    node->fromText(member->value, origin);
    changed |= bit;
    if (root != nullptr && node->asRegistry() != nullptr) root->save(*node);
  }
  if (root == this) root->notify(changed);
  if (!members.empty() && root != nullptr) root->wakeSet.insert(waiters.begin(), waiters.end());
}

RegistryRoot::RegistryRoot(std::string directory, std::vector<std::string_view> topLevelOrder)
    : Registry("", nullptr, this),
      order(std::move(topLevelOrder)),
      storageDirectory(std::move(directory)),
      fileOperations(systemFileOperations()) {
  while (storageDirectory.size() > 1 && storageDirectory.back() == '/') storageDirectory.pop_back();
}

RegistryRoot::~RegistryRoot() = default;

RegistryRoot& RegistryRoot::global() {
  // Built on first use by whichever static initialiser asks first, and never
  // destroyed: workers use the tree until the process ends.
  static RegistryRoot* root =
      new RegistryRoot(Platform::path("/data/dps"),
                       std::vector<std::string_view>(Catalogue::topLevelOrder.begin(), Catalogue::topLevelOrder.end()));
  return *root;
}

size_t RegistryRoot::rankOf(const char* topName) const {
  for (size_t rank = 0; rank < order.size(); ++rank) {
    if (order[rank] == topName) return rank;
  }
  return order.size();
}

void RegistryRoot::addChild(EntryNode* node) {
  size_t rank = rankOf(node->name);
  auto position = std::find_if(children.begin(), children.end(),
                               [&](const EntryNode* present) { return rankOf(present->name) > rank; });
  children.insert(position, node);
}

EntryNode* RegistryRoot::find(EntryPath path) {
  Lock lock(registryMutex);
  if (path.size() == 0) return this;
  Registry* group = this;
  const char* const* last = path.end() - 1;
  for (const char* const* step = path.begin(); step != last; ++step) {
    group = group->groupNamed(*step);
    if (group == nullptr) return nullptr;
  }
  if (EntryNode* existing = group->child(*last)) return existing;
  return group->groupNamed(*last);
}

EntryNode* RegistryRoot::topLevel(const char* topName) { return find({topName}); }

void RegistryRoot::apply(const char* text, const Origin& origin) {
  Lock lock(registryMutex);
  wakeSet.clear();
  fromText(text, origin);
  for (Waiter* waiter : wakeSet) waiter->post();
}

size_t RegistryRoot::childCount() const {
  Lock lock(registryMutex);
  return children.size();
}

std::string RegistryRoot::childText(size_t position) const {
  Lock lock(registryMutex);
  if (position >= children.size()) return {};
  const EntryNode* node = children[position];
  std::string text = node->toText();
  if (text.empty()) return text;
  std::string wrapped;
  wrapped.reserve(text.size() + std::strlen(node->name) + 5);
  wrapped += "{\"";
  wrapped += node->name;
  wrapped += "\":";
  wrapped += text;
  wrapped += '}';
  return wrapped;
}

uint32_t RegistryRoot::bitOf(const EntryNode* topLevelNode) const {
  for (size_t position = 0; position < children.size() && position < 32; ++position) {
    if (children[position] == topLevelNode) return uint32_t{1} << position;
  }
  return 0;
}

void RegistryRoot::addListener(CommonHandler<JSONDataDesyncCmd>* listener) {
  std::lock_guard<std::mutex> lock(listenerMutex);
  listeners.push_back(listener);
}

void RegistryRoot::removeListener(CommonHandler<JSONDataDesyncCmd>* listener) {
  std::lock_guard<std::mutex> lock(listenerMutex);
  auto found = std::find(listeners.begin(), listeners.end(), listener);
  if (found != listeners.end()) listeners.erase(found);
}

void RegistryRoot::notify(uint32_t mask) {
  JSONDataDesyncCmd command{mask};
  std::lock_guard<std::mutex> lock(listenerMutex);
  for (CommonHandler<JSONDataDesyncCmd>* listener : listeners) listener->handle(command);
}

void RegistryRoot::commit(EntryNode& entry) {
  Lock lock(registryMutex);
  EntryNode* node = &entry;
  while (node->parent != nullptr && node->parent != this) node = node->parent;
  if (node->parent != this) return;  // the root itself, or a node outside the tree
  notify(bitOf(node));
  if (node->asRegistry() != nullptr) save(*node);
}

std::string RegistryRoot::filePath(const char* topName) const { return storageDirectory + "/" + topName; }

void RegistryRoot::setFileOperations(const FileOperations& operations) {
  Lock lock(registryMutex);
  fileOperations = operations;
}

void RegistryRoot::save(EntryNode& topLevelNode) {
  Lock lock(registryMutex);
  if (!topLevelNode.persistent) return;
  if (!directoryCreated) {
    directoryCreated = true;
    mkdir(storageDirectory.c_str(), 0775);
  }
  // An unwritable directory keeps the settings in memory only, silently.
  replaceFile(filePath(topLevelNode.name), topLevelNode.toText(), fileOperations);
}

std::recursive_mutex& registryMutex() { return RegistryRoot::global().mutex(); }

void commit(EntryNode& entry) {
  if (RegistryRoot* root = entry.tree()) root->commit(entry);
}

void save(EntryNode& topLevelNode) {
  if (RegistryRoot* root = topLevelNode.tree()) root->save(topLevelNode);
}
