#include "tinmoss/RootManager.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "core/Log.h"
#include "platform/Platform.h"
#include "platform/Program.h"

// The worker's messages carry the name of its header, as they always have.
#undef FIELDHUB_FILE_NAME
#define FIELDHUB_FILE_NAME "RootManager.h"

RootManager::Environment RootManager::Environment::process() {
  Environment environment;
  environment.tree = &RegistryRoot::global();
  environment.settings = &Catalogue::rootAccess();
  environment.shadowPath = Platform::path("/etc/shadow");
  environment.run = [](const std::vector<std::string>& argv, const std::string& input) {
    Platform::runProgram(argv, {.input = input});
  };
  return environment;
}

RootManager::RootManager(Environment managerEnvironment)
    : environment(std::move(managerEnvironment)), changed({{"root"}}, *environment.tree) {}

RootManager::~RootManager() {
  // The semaphore cannot be polled with the stop descriptor: clear the flag
  // first, so the loop takes the post as the stop and applies nothing.
  keepRunning.store(0);
  changed.post();
  stop();
}

namespace {

// The first 6 bytes of the shadow file are "root:!"; `readable` false when
// the file cannot be opened.
bool shadowLocked(const std::string& shadowPath, bool& readable) {
  int fd = open(shadowPath.c_str(), O_RDONLY | O_CLOEXEC);
  readable = fd >= 0;
  if (!readable) return false;
  char head[6];
  ssize_t got = pread(fd, head, sizeof head, 0);
  close(fd);
  return got == static_cast<ssize_t>(sizeof head) && std::memcmp(head, "root:!", sizeof head) == 0;
}

}  // namespace

void RootManager::run() {
  alive.store(1);
  startUpCheck();
  while (keepRunning.load() != 0) {
    if (!changed.wait(waitMilliseconds)) continue;
    if (keepRunning.load() == 0) break;
    apply();
  }
}

void RootManager::startUpCheck() {
  bool enabled;
  {
    std::lock_guard<std::recursive_mutex> lock(environment.tree->mutex());
    enabled = environment.settings->loginEnabled.value;
  }
  bool readable = false;
  bool locked = shadowLocked(environment.shadowPath, readable);
  // Locked while login is wanted, or open while it is not.
  if (!readable || locked == enabled) {
    LOGI("Root mismatch detected. New status: %d", enabled ? 1 : 0);
    apply();
  }
}

void RootManager::apply() {
  bool enabled;
  std::string password;
  {
    std::lock_guard<std::recursive_mutex> lock(environment.tree->mutex());
    enabled = environment.settings->loginEnabled.value;
    password = environment.settings->password.value;
  }
  if (!enabled) {
    LOGI("Disabling SSH access");
    environment.run({"passwd", "-l", "root"}, std::string());
    return;
  }
  // passwd reads a line and its confirmation: a line break would split the
  // password, and an empty one would open root without a password.
  if (password.empty() || password.find_first_of("\r\n") != std::string::npos) {
    LOGW("Root password not set: empty or holds a line break");
    return;
  }
  LOGI("Enabling SSH access");
  environment.run({"passwd", "root"}, password + "\n" + password + "\n");
}
