#pragma once
// What every child process of fieldhub starts with, shared by the shell
// commands (Shell.cpp) and the programs started without a shell (Program.cpp).
#include <spawn.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace Platform {

// Spawn attributes that give the child an empty signal mask and the default
// action for every signal. main blocks SIGTERM and SIGINT in every thread,
// and a signal fieldhub ignores (SIGPIPE, for one) would stay ignored across
// exec; a daemon started that way could not be stopped with killall.
// Descriptors are left alone: each of fieldhub's own is close-on-exec.
class CleanSpawnAttributes {
 public:
  CleanSpawnAttributes();
  ~CleanSpawnAttributes();
  CleanSpawnAttributes(const CleanSpawnAttributes&) = delete;
  CleanSpawnAttributes& operator=(const CleanSpawnAttributes&) = delete;

  // Null when the attributes could not be set up; then nothing is spawned.
  const posix_spawnattr_t* get() const { return ready ? &attributes : nullptr; }
  // The child also starts a session of its own (setsid), so the terminal it
  // opens first becomes its controlling terminal. False when refused.
  bool startSession();

 private:
  posix_spawnattr_t attributes;
  bool ready = false;
};

// The environment handed to children: the process's own, with PATH replaced
// by <root>/bin:/usr/bin:/bin in simulation mode. Built per call from environ
// without changing it, so no other thread's getenv can race with us.
class CommandEnvironment {
 public:
  CommandEnvironment();
  char** get() { return pointers.data(); }
  // The PATH the children see (the board's own, or a default when unset).
  const std::string& searchPath() const { return path; }

 private:
  std::vector<std::string> texts;
  std::vector<char*> pointers;
  std::string path;
};

// Waits for a child; its wait status, or -1 when it cannot be waited for.
int waitForChild(pid_t pid);

}  // namespace Platform
