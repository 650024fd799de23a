// Child processes: programs started without a shell (lookup, arguments,
// standard streams) and the clean signal state every child starts with,
// shell commands included.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Eventually.h"
#include "TestFiles.h"
#include "platform/Platform.h"
#include "platform/Program.h"
#include "platform/Shell.h"

namespace {

using TestFiles::readFile;
using TestFiles::writeFile;

uint64_t bit(int signal) { return uint64_t{1} << (signal - 1); }

// A mask line ("SigBlk:\t0000000000004002") of a /proc/<pid>/status text.
uint64_t maskIn(const std::string& status, const std::string& name) {
  std::istringstream lines(status);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(name + ":", 0) == 0) return std::stoull(line.substr(name.size() + 1), nullptr, 16);
  }
  ADD_FAILURE() << "no " << name << " in " << status;
  return ~uint64_t{0};
}

// The calling thread as main leaves every thread: SIGTERM and SIGINT blocked
// (they are read from a signal descriptor); and SIGPIPE ignored, as a library
// may do for the whole process. Restored at the end of the test.
class SignalsAsInMain {
 public:
  SignalsAsInMain() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previousMask);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previousPipe);
  }
  ~SignalsAsInMain() {
    sigaction(SIGPIPE, &previousPipe, nullptr);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  }

 private:
  sigset_t previousMask;
  struct sigaction previousPipe {};
};

class ProgramTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Platform::simulationMode()) << "FIELDHUB_ROOT must name the test root";
    std::filesystem::create_directories(Platform::path("/var/program-test"));
  }
  std::string lastCommand() {
    std::string log = readFile(Platform::root() + "/var/commands.log");
    while (!log.empty() && log.back() == '\n') log.pop_back();
    return log.substr(log.rfind('\n') + 1);
  }
  // A script below the root that records its arguments (one a line) and its
  // standard input next to itself.
  std::string recorder() {
    std::string script = "/var/program-test/record";
    writeFile(Platform::path(script), "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$0.args\"\ncat > \"$0.input\"\n");
    chmod(Platform::path(script).c_str(), 0755);
    return script;
  }
};

TEST_F(ProgramTest, ProgramStartsWithAnEmptySignalMaskAndDefaultActions) {
  SignalsAsInMain signals;
  pid_t pid = Platform::spawnProgram({"sleep", "30"});
  ASSERT_GT(pid, 0);
  // Under an emulator the child may still be the emulator's own copy, with
  // its signals blocked, for a moment after the spawn returned: read the
  // state once the program itself runs.
  std::string status;
  EXPECT_TRUE(TestWait::eventually([&] {
    status = readFile("/proc/" + std::to_string(pid) + "/status");
    return status.rfind("Name:\tsleep\n", 0) == 0;
  })) << status;
  EXPECT_EQ(maskIn(status, "SigBlk"), 0u) << status;
  EXPECT_EQ(maskIn(status, "SigIgn") & bit(SIGPIPE), 0u) << status;
  // So SIGTERM ends it, as killall or a daemon's own stop command expects.
  kill(pid, SIGTERM);
  int ended = Platform::waitForProgram(pid);
  EXPECT_TRUE(WIFSIGNALED(ended) && WTERMSIG(ended) == SIGTERM) << ended;
}

TEST_F(ProgramTest, ShellCommandsStartCleanToo) {
  SignalsAsInMain signals;
  // An ignored signal survives the shell and reaches the command it runs.
  std::string status = Platform::shellOutput("grep -E '^Sig(Blk|Ign):' /proc/self/status");
  EXPECT_EQ(maskIn(status, "SigBlk"), 0u) << status;
  EXPECT_EQ(maskIn(status, "SigIgn") & bit(SIGPIPE), 0u) << status;
}

TEST_F(ProgramTest, NamesAreLookedUpInTheRootFirst) {
  struct Case {
    std::string name;
    std::vector<std::string> expected;  // any of these
  };
  const Case cases[] = {
      {"fw_printenv", {Platform::root() + "/bin/fw_printenv"}},  // the stub, not a host program
      {"sleep", {"/usr/bin/sleep", "/bin/sleep"}},
      {"/usr/sbin/pppd", {Platform::root() + "/usr/sbin/pppd"}},
      {"/data/dps", {""}},  // a directory
      {"no-such-program", {""}},
      {"", {""}},
  };
  for (const Case& c : cases) {
    std::string found = Platform::programPath(c.name);
    EXPECT_NE(std::find(c.expected.begin(), c.expected.end(), found), c.expected.end()) << c.name << " -> " << found;
  }
  EXPECT_EQ(Platform::spawnProgram({"no-such-program"}), -1);
  EXPECT_EQ(Platform::spawnProgram({}), -1);
  EXPECT_EQ(Platform::runProgram({"no-such-program"}), -1);
}

TEST_F(ProgramTest, ArgumentsAndInputReachTheProgramAsTheyAre) {
  std::string script = recorder();
  std::vector<std::string> arguments = {"a b", "$(reboot)", "'; reboot", ""};
  std::vector<std::string> argv = {script};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::string before = readFile(Platform::root() + "/var/commands.log");
  int status = Platform::runProgram(argv, {.input = "secret\nsecret\n"});
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(readFile(Platform::path(script) + ".args"), "a b\n$(reboot)\n'; reboot\n\n");
  EXPECT_EQ(readFile(Platform::path(script) + ".input"), "secret\nsecret\n");
  EXPECT_EQ(readFile(Platform::root() + "/var/commands.log"), before) << "nothing was run by a shell";

  // Input that the pipe may not take at once is refused, nothing is started.
  EXPECT_EQ(Platform::spawnProgram(argv, {.input = std::string(Platform::programInputLimit + 1, 'x')}), -1);
  status = Platform::runProgram(argv, {.input = std::string(Platform::programInputLimit, 'x')});
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(readFile(Platform::path(script) + ".input").size(), Platform::programInputLimit);
}

TEST_F(ProgramTest, StandardOutputGoesWhereTheCallerSays) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  pid_t pid = Platform::spawnProgram({"fw_printenv", "serial"}, {.outputFd = ends[1]});
  close(ends[1]);
  ASSERT_GT(pid, 0);
  std::string output;
  char buffer[256];
  ssize_t got;
  while ((got = read(ends[0], buffer, sizeof buffer)) > 0) output.append(buffer, static_cast<size_t>(got));
  close(ends[0]);
  int status = Platform::waitForProgram(pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(output, "serial=100042\n");
  EXPECT_EQ(lastCommand(), "fw_printenv serial");
}

}  // namespace
