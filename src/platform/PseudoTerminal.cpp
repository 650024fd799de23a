#include "platform/PseudoTerminal.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Program.h"
#include "platform/Spawn.h"

namespace Platform {

TerminalProgram spawnOnTerminal(const std::string& program, const std::vector<std::string>& argv) {
  TerminalProgram started;
  std::string file = programPath(program);
  if (file.empty() || argv.empty()) return started;
  CleanSpawnAttributes attributes;
  if (attributes.get() == nullptr || !attributes.startSession()) return started;

  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return started;
  char slaveName[128];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, slaveName, sizeof slaveName) != 0) {
    close(master);
    return started;
  }
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

  // The child opens the slave after setsid, which makes it the child's
  // controlling terminal; output and error are copies of it.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, slaveName, O_RDWR, 0);
  posix_spawn_file_actions_adddup2(&actions, 0, 1);
  posix_spawn_file_actions_adddup2(&actions, 0, 2);

  CommandEnvironment environment;
  std::vector<std::string> arguments = argv;
  std::vector<char*> pointers;
  for (std::string& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  pid_t pid = -1;
  int failed = posix_spawn(&pid, file.c_str(), &actions, attributes.get(), pointers.data(), environment.get());
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) {
    close(master);
    return started;
  }
  started.pid = pid;
  started.master = master;
  return started;
}

bool reapIfEnded(pid_t pid, int* status) {
  if (pid <= 0) return true;
  int waitStatus = 0;
  pid_t got;
  while ((got = waitpid(pid, &waitStatus, WNOHANG)) < 0 && errno == EINTR) {
  }
  if (got == 0) return false;
  if (status != nullptr) *status = got == pid ? waitStatus : -1;
  return true;  // reaped, or not our child any more
}

void killAndReap(pid_t pid) {
  if (pid <= 0) return;
  // A moment to take its link down as pppd does on SIGTERM, then SIGKILL.
  kill(pid, SIGTERM);
  for (int waited = 0; waited < 1000; waited += 20) {
    if (reapIfEnded(pid, nullptr)) return;
    usleep(20 * 1000);
  }
  kill(pid, SIGKILL);
  waitForChild(pid);
}

}  // namespace Platform
