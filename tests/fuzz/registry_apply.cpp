// Any object a local or tunnelled client may send, applied to a scratch tree
// that holds every entry of the catalogue (addresses, texts, broker settings,
// port modes, endpoints), then the tree rendered whole and group by group.
// The first byte picks the target: below 0x80 the root, else a top-level
// group, as {"<group>":<rest>}. The tree lives across inputs, as the
// firmware's does; files are written, without flushes to storage.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "ScratchRoot.h"
#include "registry/AtomicFile.h"
#include "registry/Catalogue.h"
#include "registry/CatalogueOrder.h"
#include "registry/Registry.h"

namespace {

int noFlush(int) { return 0; }

struct ScratchTree {
  RegistryRoot root{std::string(FuzzScratch::directory) + "/apply-dps",
                    std::vector<std::string_view>(Catalogue::topLevelOrder.begin(), Catalogue::topLevelOrder.end())};
  Catalogue::All all{root};
  ScratchTree() { root.setFileOperations(FileOperations{::write, noFlush, ::rename}); }
};

ScratchTree& scratchTree() {
  static ScratchTree* tree = new ScratchTree();
  return *tree;
}

// A rendered object must stay an object, whatever was applied.
void checkObject(const std::string& text) {
  if (text.size() < 2 || text.front() != '{' || text.back() != '}') abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  ScratchTree& tree = scratchTree();
  std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string text = body;
  size_t groups = tree.root.childCount();
  if (data[0] >= 0x80 && groups > 0) {
    size_t position = (data[0] - 0x80u) % groups;
    std::string wrapped = tree.root.childText(position);
    // The group's name, from its one-member object {"name":...}.
    std::string name = wrapped.empty() ? "" : wrapped.substr(2, wrapped.find('"', 2) - 2);
    if (!name.empty()) text = "{\"" + name + "\":" + body + "}";
  }
  tree.root.apply(text.c_str());
  {
    RegistryRoot::Scope scope(tree.root);
    checkObject(tree.root.toText());
  }
  for (size_t i = 0; i < groups; ++i) {
    std::string group = tree.root.childText(i);
    if (!group.empty()) checkObject(group);
  }
  return 0;
}
