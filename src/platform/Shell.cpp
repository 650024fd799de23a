#include "platform/Shell.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>

#include "platform/Platform.h"
#include "platform/Spawn.h"

namespace Platform {
namespace {

pid_t spawnShell(const std::string& command, posix_spawn_file_actions_t* actions) {
  CleanSpawnAttributes attributes;
  if (attributes.get() == nullptr) return -1;
  CommandEnvironment environment;
  std::string commandText = command;
  char shellName[] = "sh";
  char dashC[] = "-c";
  char* argv[] = {shellName, dashC, commandText.data(), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, "/bin/sh", actions, attributes.get(), argv, environment.get()) != 0) return -1;
  return pid;
}

}  // namespace

int shell(const std::string& command) {
  pid_t pid = spawnShell(command, nullptr);
  if (pid < 0) return -1;
  return waitForChild(pid);
}

std::string shellOutput(const std::string& command, size_t maxBytes) {
  std::string output;
  Pipe pipe(command, "r");
  if (!pipe.isOpen()) return output;
  char buffer[512];
  size_t got = 0;
  while (output.size() < maxBytes && (got = std::fread(buffer, 1, sizeof buffer, pipe.file())) > 0) {
    output.append(buffer, std::min(got, maxBytes - output.size()));
  }
  pipe.close();
  return output;
}

std::string singleQuoted(const std::string& text) {
  std::string word = "'";
  for (char c : text) {
    if (c == '\'') {
      word += "'\\''";  // close the quotes, an escaped apostrophe, open them again
    } else {
      word += c;
    }
  }
  word += '\'';
  return word;
}

std::string shellPath(const std::string& absolutePath) { return singleQuoted(path(absolutePath)); }

ShellRunner platformShell() {
  return {[](const std::string& command) { return shell(command); },
          [](const std::string& command, size_t maxBytes) { return shellOutput(command, maxBytes); }};
}

Pipe::Pipe(const std::string& command, const char* mode) {
  bool reading = mode != nullptr && mode[0] == 'r';
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return;
  int parentEnd = reading ? ends[0] : ends[1];
  int childEnd = reading ? ends[1] : ends[0];
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, childEnd, reading ? STDOUT_FILENO : STDIN_FILENO);
  childPid = spawnShell(command, &actions);
  posix_spawn_file_actions_destroy(&actions);
  ::close(childEnd);
  if (childPid < 0) {
    ::close(parentEnd);
    return;
  }
  stream = fdopen(parentEnd, reading ? "r" : "w");
  if (stream == nullptr) ::close(parentEnd);
}

Pipe::~Pipe() { close(); }

int Pipe::close() {
  if (stream != nullptr) {
    std::fclose(stream);
    stream = nullptr;
  }
  if (childPid < 0) return -1;
  int status = waitForChild(childPid);
  childPid = -1;
  return status;
}

}  // namespace Platform
