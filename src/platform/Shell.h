#pragma once
// Running platform commands through /bin/sh. In simulation mode the commands
// see PATH=<root>/bin:/usr/bin:/bin, so the stub programs of the simulation
// root answer instead of the host's reboot, passwd, ip and friends. Every
// command starts with an empty signal mask and default signal actions.
// Program.h starts a program without a shell.
#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>

namespace Platform {

// Runs "/bin/sh -c command" and waits; returns the wait status as system() does
// (-1 when the shell could not be started).
int shell(const std::string& command);

// Runs a command and collects at most maxBytes of its standard output.
std::string shellOutput(const std::string& command, size_t maxBytes = 65536);

// Any text as one single-quoted shell word: a b'c  ->  'a b'\''c'
std::string singleQuoted(const std::string& text);

// An absolute firmware path (Platform::path) as one single-quoted shell word,
// whatever characters the simulation root holds. A glob must stay outside the
// quotes: shellPath("/data/dps/") + "eth*".
std::string shellPath(const std::string& absolutePath);

// The shell as a value, so that a caller can be handed a fake that records
// the exact command texts. platformShell() runs them with shell() and
// shellOutput().
struct ShellRunner {
  std::function<int(const std::string& command)> run;
  std::function<std::string(const std::string& command, size_t maxBytes)> output;
};
ShellRunner platformShell();

// A command with one end of a pipe, like popen(): mode "r" reads its standard
// output, "w" writes its standard input. close() waits and returns the status.
class Pipe {
 public:
  Pipe(const std::string& command, const char* mode);
  ~Pipe();
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  FILE* file() const { return stream; }
  bool isOpen() const { return stream != nullptr; }
  int close();

 private:
  FILE* stream = nullptr;
  int childPid = -1;
};

}  // namespace Platform
