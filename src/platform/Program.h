#pragma once
// Starting a platform program without a shell: the arguments reach the
// program as they are, so no text in them (a client's password, a modem's
// answer) can ever become a shell command.
//
//   Platform::runProgram({"passwd", "root"}, {.input = "secret\nsecret\n"});
//   pid_t ppp = Platform::spawnProgram({"/usr/sbin/pppd", "nodetach"}, streams);
//
// A name without a slash is looked up in PATH (<root>/bin:/usr/bin:/bin in
// simulation mode, so the stubs answer); an absolute path is placed below
// the simulation root. The program starts with an empty signal mask and the
// default action for every signal, and inherits none of fieldhub's own
// descriptors (they are all close-on-exec).
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace Platform {

// Standard input text longer than this is refused: it is put into the pipe
// before the program starts, and a pipe holds at least this much.
inline constexpr size_t programInputLimit = 4096;

struct ProgramStreams {
  // The program reads this on its standard input, then end of file.
  std::optional<std::string> input{};
  // Descriptors that become the program's standard input, output and error
  // (a terminal, a pipe); -1 leaves fieldhub's own. `input` wins over inputFd.
  int inputFd = -1;
  int outputFd = -1;
  int errorFd = -1;
};

// The file that a program name stands for, as described above; empty when
// there is no executable file of that name.
std::string programPath(const std::string& name);

// Starts argv[0] with the arguments argv[1], ...; its process id, or -1 when
// it could not be started (no such program, an empty argv, input text over
// the limit). The caller waits for it with waitForProgram.
pid_t spawnProgram(const std::vector<std::string>& argv, const ProgramStreams& streams = {});

// Waits for a started program; the wait status, -1 when there is nothing to
// wait for.
int waitForProgram(pid_t pid);

// spawnProgram, then waitForProgram; -1 when it could not be started.
int runProgram(const std::vector<std::string>& argv, const ProgramStreams& streams = {});

}  // namespace Platform
