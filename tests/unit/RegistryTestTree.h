#pragma once
// A settings tree of a test's own, with its group files in a fresh temporary
// directory, and small recorders for what the tree reports.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "registry/Entry.h"
#include "registry/Registry.h"

class TempDirectory {
 public:
  TempDirectory() {
    char pattern[] = "/tmp/fieldhub-registry-XXXXXX";
    const char* made = mkdtemp(pattern);
    path = made != nullptr ? made : "/tmp";
  }
  ~TempDirectory() {
    std::error_code ignored;
    if (path != "/tmp") std::filesystem::remove_all(path, ignored);
  }
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  std::string path;
};

// A tree whose persisted groups live in <temporary>/dps (made by the first save).
struct TestTree {
  explicit TestTree(std::vector<std::string_view> order = {}) : root(temporary.path + "/dps", std::move(order)) {}

  std::string file(const char* name) const { return root.filePath(name); }
  bool exists(const char* name) const { return std::filesystem::exists(file(name)); }
  std::string read(const char* name) const {
    std::ifstream in(file(name), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
  }
  void write(const char* name, std::string_view content) const {
    std::filesystem::create_directories(root.directory());
    std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
  }

  TempDirectory temporary;
  RegistryRoot root;
};

struct RecordingListener : CommonHandler<JSONDataDesyncCmd> {
  void handle(const JSONDataDesyncCmd& command) override { masks.push_back(command.mask); }
  std::vector<uint32_t> masks;
};

// Registers itself with a tree for its lifetime.
struct ScopedListener : RecordingListener {
  explicit ScopedListener(RegistryRoot& tree) : root(tree) { root.addListener(this); }
  ~ScopedListener() { root.removeListener(this); }
  ScopedListener(const ScopedListener&) = delete;
  ScopedListener& operator=(const ScopedListener&) = delete;
  RegistryRoot& root;
};

struct FakeClient : ReplyChannel {
  void send(const std::string& text) override { sent.push_back(text); }
  std::vector<std::string> sent;
};
