#pragma once
// A program started on a new pseudo-terminal, as a modem data call hands its
// line to pppd: the program's standard input, output and error are the
// terminal's slave side, which is also its controlling terminal (in a
// session of its own); fieldhub keeps the master side.
//
//   TerminalProgram ppp = spawnOnTerminal("/usr/sbin/pppd", {"pppd", "-detach"});
//   // ppp.master: non-blocking, close-on-exec; ppp.pid: reap with reapIfEnded
//
// No fork: the program is started with posix_spawn, so nothing of this
// multi-threaded process runs in the child between fork and exec, and the
// child starts with an empty signal mask and default signal actions.
#include <sys/types.h>

#include <string>
#include <vector>

namespace Platform {

struct TerminalProgram {
  pid_t pid = -1;   // -1: not started
  int master = -1;  // the terminal's master side, -1 when not started
};

// `program` is found as Program.h's programPath finds names (an absolute path
// below the simulation root); argv[0] is passed as given.
TerminalProgram spawnOnTerminal(const std::string& program, const std::vector<std::string>& argv);

// waitpid without waiting: true when the child has ended and is reaped
// (its wait status in *status), false while it runs.
bool reapIfEnded(pid_t pid, int* status);

// SIGTERM, and SIGKILL when the child has not ended 1 s later; reaps it.
void killAndReap(pid_t pid);

}  // namespace Platform
