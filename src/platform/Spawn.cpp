#include "platform/Spawn.h"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

#include "platform/Platform.h"

extern char** environ;

namespace Platform {

CleanSpawnAttributes::CleanSpawnAttributes() {
  if (posix_spawnattr_init(&attributes) != 0) return;
  sigset_t none;
  sigemptyset(&none);
  // Every signal that can be reset; SIGKILL and SIGSTOP cannot, and some C
  // libraries refuse the whole spawn when asked to.
  sigset_t defaults;
  sigfillset(&defaults);
  sigdelset(&defaults, SIGKILL);
  sigdelset(&defaults, SIGSTOP);
  ready = posix_spawnattr_setsigmask(&attributes, &none) == 0 &&
          posix_spawnattr_setsigdefault(&attributes, &defaults) == 0 &&
          posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
  if (!ready) posix_spawnattr_destroy(&attributes);
}

CleanSpawnAttributes::~CleanSpawnAttributes() {
  if (ready) posix_spawnattr_destroy(&attributes);
}

bool CleanSpawnAttributes::startSession() {
  if (!ready) return false;
  short flags = 0;
  if (posix_spawnattr_getflags(&attributes, &flags) != 0) return false;
  return posix_spawnattr_setflags(&attributes, static_cast<short>(flags | POSIX_SPAWN_SETSID)) == 0;
}

CommandEnvironment::CommandEnvironment() {
  bool simulation = simulationMode();
  if (simulation) {
    path = root() + "/bin:/usr/bin:/bin";
    texts.push_back("PATH=" + path);
  } else {
    path = "/usr/sbin:/usr/bin:/sbin:/bin";
  }
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    bool isPath = std::strncmp(*entry, "PATH=", 5) == 0;
    if (isPath && simulation) continue;
    if (isPath) path = *entry + 5;
    texts.emplace_back(*entry);
  }
  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
}

int waitForChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

}  // namespace Platform
