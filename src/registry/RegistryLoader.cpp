#include "registry/RegistryLoader.h"

#include <mutex>
#include <string>

#include "core/SmallFile.h"

namespace {

// The file's content when it counts as present (2 characters or more).
std::string groupFile(RegistryRoot& root, const char* group) {
  std::string content = readSmallFile(root.filePath(group), maxGroupFileBytes);
  if (content.size() < 2) content.clear();
  return content;
}

}  // namespace

RegistryLoader::RegistryLoader(const char* group, RegistryRoot& root) {
  std::lock_guard<std::recursive_mutex> lock(root.mutex());
  EntryNode* node = root.topLevel(group);
  if (node == nullptr) return;
  node->persistent = 1;
  std::string content = groupFile(root, group);
  if (node->defaultText != nullptr) node->fromText(node->defaultText, Origin{});
  if (content.empty()) return;
  node->fromText(content.c_str(), Origin{});
  node->loaded = 1;
}

RegistryDefault::RegistryDefault(const char* group, const char* text, RegistryRoot& root) {
  std::lock_guard<std::recursive_mutex> lock(root.mutex());
  EntryNode* node = root.topLevel(group);
  if (node == nullptr) return;
  node->defaultText = text;
  node->fromText(text, Origin{});
  // A group loaded before its default arrived gets its file applied again, so
  // the result does not depend on which of the two came first.
  if (!node->loaded) return;
  std::string content = groupFile(root, group);
  if (!content.empty()) node->fromText(content.c_str(), Origin{});
}
