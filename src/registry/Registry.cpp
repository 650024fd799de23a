#include "registry/Registry.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "core/Log.h"
#include "platform/Platform.h"
#include "registry/CatalogueOrder.h"
#include "registry/Json.h"
#include "registry/JsonWriter.h"
#include "registry/Waiter.h"

using Lock = std::lock_guard<std::recursive_mutex>;

namespace {

// How deep this thread is in registry Scopes, and the work waiting for it to
// leave the outermost one.
thread_local int scopeDepth = 0;
thread_local std::vector<std::function<void()>> workAfterScope;

void runWorkAfterScope() {
  // The work may enter and leave Scopes itself and so queue more.
  while (!workAfterScope.empty()) {
    std::vector<std::function<void()>> work;
    work.swap(workAfterScope);
    for (std::function<void()>& step : work) step();
  }
}

bool regularFileExists(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

RegistryRoot::Scope::Scope(RegistryRoot& root) : lock(root.registryMutex) { ++scopeDepth; }

RegistryRoot::Scope::~Scope() {
  --scopeDepth;
  lock.unlock();
  if (scopeDepth == 0) runWorkAfterScope();
}

void RegistryRoot::runOutsideLock(std::function<void()> work) {
  if (scopeDepth == 0) {
    work();
    return;
  }
  workAfterScope.push_back(std::move(work));
}

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

void Registry::committed() {
  for (EntryNode* node : children) node->committed();
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
  Scope scope(*this);
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
  Scope scope(*this);
  EntryNode* node = &entry;
  while (node->parent != nullptr && node->parent != this) node = node->parent;
  if (node->parent != this) return;  // the root itself, or a node outside the tree
  // The whole top-level group: an owner may have changed several members.
  node->committed();
  notify(bitOf(node));
  if (node->asRegistry() != nullptr) save(*node);
}

std::string RegistryRoot::filePath(const char* topName) const { return storageDirectory + "/" + topName; }

void RegistryRoot::setFileOperations(const FileOperations& operations) {
  std::lock_guard<std::mutex> lock(filesMutex);
  fileOperations = operations;
}

RegistryRoot::GroupFile& RegistryRoot::groupFile(const std::string& topName) {
  std::unique_ptr<GroupFile>& file = files[topName];
  if (!file) file = std::make_unique<GroupFile>();
  return *file;
}

void RegistryRoot::rememberStored(const char* topName, const std::string& content) {
  std::lock_guard<std::mutex> lock(filesMutex);
  GroupFile& file = groupFile(topName);
  file.stored = !content.empty();
  file.storedText = content;
}

void RegistryRoot::forgetStored(const char* topName) {
  std::lock_guard<std::mutex> lock(filesMutex);
  groupFile(topName).stored = false;
}

void RegistryRoot::save(EntryNode& topLevelNode) {
  Scope scope(*this);
  if (!topLevelNode.persistent) return;
  std::string name = topLevelNode.name;
  std::string text = topLevelNode.toText();
  {
    std::lock_guard<std::mutex> lock(filesMutex);
    GroupFile& file = groupFile(name);
    file.text = std::move(text);
    ++file.rendered;
  }
  runOutsideLock([this, name] { writeGroupFile(name); });
}

void RegistryRoot::writeGroupFile(const std::string& topName) {
  std::string path = filePath(topName.c_str());
  GroupFile* file;
  {
    std::lock_guard<std::mutex> lock(filesMutex);
    file = &groupFile(topName);
  }
  // Writers of one file take turns; each takes the newest text when its turn
  // comes, so a text rendered earlier never lands after a later one.
  std::lock_guard<std::mutex> turn(file->writing);
  uint64_t generation;
  std::string text;
  bool unchanged;
  FileOperations operations;
  {
    std::lock_guard<std::mutex> lock(filesMutex);
    if (file->handled >= file->rendered) return;  // an earlier turn wrote it
    generation = file->rendered;
    text = file->text;
    unchanged = file->stored && file->storedText == text;
    operations = fileOperations;
    if (!directoryCreated) {
      directoryCreated = true;
      mkdir(storageDirectory.c_str(), 0775);
    }
  }
  // Flash wears with every write: the same text is not written again while
  // the file is still there.
  bool written = unchanged && regularFileExists(path);
  if (!written) {
    // An unwritable directory keeps the settings in memory only, silently.
    written = replaceFile(path, text, operations);
    writes.fetch_add(1);
    if (written) LOGD("Saved %s", topName.c_str());
  }
  std::lock_guard<std::mutex> lock(filesMutex);
  file->handled = generation;
  // A failed write leaves the file's content unknown: the next save writes.
  file->stored = written;
  if (written) file->storedText = std::move(text);
}

std::recursive_mutex& registryMutex() { return RegistryRoot::global().mutex(); }

void commit(EntryNode& entry) {
  if (RegistryRoot* root = entry.tree()) root->commit(entry);
}

void save(EntryNode& topLevelNode) {
  if (RegistryRoot* root = topLevelNode.tree()) root->save(topLevelNode);
}
