#include "platform/Program.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Platform.h"
#include "platform/Spawn.h"

namespace Platform {
namespace {

bool isExecutableFile(const std::string& file) {
  struct stat info {};
  return stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(file.c_str(), X_OK) == 0;
}

std::string lookUp(const std::string& name, const std::string& searchPath) {
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) {
    std::string file = path(name);  // below the root when absolute
    return isExecutableFile(file) ? file : std::string();
  }
  size_t start = 0;
  while (start <= searchPath.size()) {
    size_t end = searchPath.find(':', start);
    if (end == std::string::npos) end = searchPath.size();
    // An empty entry would mean the working directory: never searched.
    if (end > start) {
      std::string file = searchPath.substr(start, end - start) + "/" + name;
      if (isExecutableFile(file)) return file;
    }
    start = end + 1;
  }
  return {};
}

// A pipe that already holds the whole input, write end closed: the program
// reads it and then end of file, and fieldhub never writes to a pipe whose
// reader may be gone. -1 when the text does not fit at once.
int inputPipe(const std::string& text) {
  if (text.size() > programInputLimit) return -1;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  ssize_t wrote = text.empty() ? 0 : write(ends[1], text.data(), text.size());
  close(ends[1]);
  if (wrote != static_cast<ssize_t>(text.size())) {
    close(ends[0]);
    return -1;
  }
  // The program gets a blocking descriptor, as any standard input is.
  fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) & ~O_NONBLOCK);
  return ends[0];
}

}  // namespace

std::string programPath(const std::string& name) { return lookUp(name, CommandEnvironment().searchPath()); }

pid_t spawnProgram(const std::vector<std::string>& argv, const ProgramStreams& streams) {
  if (argv.empty()) return -1;
  CleanSpawnAttributes attributes;
  if (attributes.get() == nullptr) return -1;
  CommandEnvironment environment;
  std::string file = lookUp(argv[0], environment.searchPath());
  if (file.empty()) return -1;

  int inputFd = streams.inputFd;
  int ownInput = -1;
  if (streams.input) {
    ownInput = inputPipe(*streams.input);
    if (ownInput < 0) return -1;
    inputFd = ownInput;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const int sources[3] = {inputFd, streams.outputFd, streams.errorFd};
  for (int target = 0; target < 3; ++target) {
    // Also when the numbers are equal: spawning then clears close-on-exec, so
    // an input pipe that got number 0 still reaches the program.
    if (sources[target] >= 0) posix_spawn_file_actions_adddup2(&actions, sources[target], target);
  }

  std::vector<std::string> arguments = argv;
  std::vector<char*> pointers;
  for (std::string& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  pid_t pid = -1;
  int failed = posix_spawn(&pid, file.c_str(), &actions, attributes.get(), pointers.data(), environment.get());
  posix_spawn_file_actions_destroy(&actions);
  if (ownInput >= 0) close(ownInput);
  return failed == 0 ? pid : -1;
}

int waitForProgram(pid_t pid) { return pid > 0 ? waitForChild(pid) : -1; }

int runProgram(const std::vector<std::string>& argv, const ProgramStreams& streams) {
  return waitForProgram(spawnProgram(argv, streams));
}

}  // namespace Platform
