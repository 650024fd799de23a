#include "registry/RegistryLoader.h"

#include <mutex>
#include <string>

#include "core/SmallFile.h"

namespace {

// The file's content when it counts as present (2 characters or more). The
// tree remembers what the file holds, so saving the same text writes nothing.
std::string groupFile(RegistryRoot& root, const char* group) {
  std::string content = readSmallFile(root.filePath(group), maxGroupFileBytes);
  root.rememberStored(group, content);
  if (content.size() < 2) content.clear();
  return content;
}

}  // namespace

RegistryLoader::RegistryLoader(const char* group, RegistryRoot& root) {
  // Applying a file's content may save (the "factory" entry does): a Scope
  // writes after the mutex is released.
  RegistryRoot::Scope scope(root);
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
  RegistryRoot::Scope scope(root);
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
