#include "platform/Platform.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace Platform {
namespace {

struct RootSetting {
  bool simulation = false;
  std::string root;
};

RootSetting readRootSetting() {
  RootSetting setting;
  const char* value = std::getenv("FIELDHUB_ROOT");
  if (value == nullptr) return setting;
  struct stat info {};
  if (value[0] == '\0' || stat(value, &info) != 0 || !S_ISDIR(info.st_mode)) {
    std::printf("FIELDHUB_ROOT '%s' is not a directory: refusing to run on the host's paths\n", value);
    std::fflush(stdout);
    _exit(2);
  }
  char* resolved = realpath(value, nullptr);
  setting.root = resolved != nullptr ? resolved : value;
  std::free(resolved);
  while (setting.root.size() > 1 && setting.root.back() == '/') setting.root.pop_back();
  if (setting.root == "/") setting.root.clear();
  setting.simulation = true;
  return setting;
}

// Read once on first use: static initialisers already open files, so this must
// not depend on main having run.
const RootSetting& rootSetting() {
  static const RootSetting setting = readRootSetting();
  return setting;
}

int portFromEnvironment(const char* name, int boardPort) {
  if (!simulationMode()) return boardPort;
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] == '\0') return boardPort;
  int port = std::atoi(value);
  return port > 0 && port < 65536 ? port : boardPort;
}

}  // namespace

bool simulationMode() { return rootSetting().simulation; }

const std::string& root() { return rootSetting().root; }

std::string path(const std::string& absolutePath) {
  if (!simulationMode() || absolutePath.empty() || absolutePath[0] != '/') return absolutePath;
  return root() + absolutePath;
}

int webSocketPort() { return portFromEnvironment("FIELDHUB_WS_PORT", 80); }

std::string webSocketHost() {
  if (!simulationMode()) return "0.0.0.0";
  const char* value = std::getenv("FIELDHUB_WS_HOST");
  // A host running a simulation shows its default password to nobody else.
  return value != nullptr && value[0] != '\0' ? value : "127.0.0.1";
}

int consolePort() { return portFromEnvironment("FIELDHUB_PULT_PORT", 1374); }

}  // namespace Platform
