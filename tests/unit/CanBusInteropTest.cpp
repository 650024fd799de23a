// The firmware's bus endpoint against the simulators' independent one
// (sim/canbus.py, run as a separate process): the same bytes must mean the
// same frame on both sides.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/SimCanSocket.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* python = "/usr/bin/python3";
constexpr auto patience = std::chrono::seconds(20);

fs::path canbusScript() {
  const char* source = std::getenv("FIELDHUB_SOURCE");
  fs::path root = source != nullptr ? fs::path(source) : fs::path(__FILE__).parent_path().parent_path().parent_path();
  return root / "sim" / "canbus.py";
}

int remainingMilliseconds(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// sim/canbus.py as a child process whose standard output is read line by line.
class CanbusTool {
 public:
  explicit CanbusTool(const std::vector<std::string>& arguments) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    std::vector<std::string> words = {python, canbusScript().string()};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid, python, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    output = pipeFds[0];
  }
  ~CanbusTool() {
    if (pid > 0 && !exited) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (output >= 0) close(output);
  }

  bool started() const { return pid > 0; }

  // The next line, or "" when none came in time.
  std::string readLine(Clock::time_point deadline) {
    for (;;) {
      size_t end = pending.find('\n');
      if (end != std::string::npos) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        return line;
      }
      pollfd ready{output, POLLIN, 0};
      if (poll(&ready, 1, remainingMilliseconds(deadline)) <= 0) return "";
      char buffer[512];
      ssize_t got = read(output, buffer, sizeof buffer);
      if (got <= 0) return "";
      pending.append(buffer, static_cast<size_t>(got));
    }
  }

  // Exit status, or -1 when the tool did not end in time.
  int wait(Clock::time_point deadline) {
    while (Clock::now() < deadline) {
      int status = 0;
      pid_t done = waitpid(pid, &status, WNOHANG);
      if (done == pid) {
        exited = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
      }
      // Sleeps only until the child closes its end of the pipe.
      pollfd closed{output, POLLIN, 0};
      poll(&closed, 1, 10);
    }
    return -1;
  }

 private:
  pid_t pid = -1;
  int output = -1;
  bool exited = false;
  std::string pending;
};

CanFrame frameOf(uint32_t id, std::vector<uint8_t> data, uint8_t length) {
  CanFrame frame;
  frame.id = id;
  frame.length = length;
  for (size_t i = 0; i < data.size(); ++i) frame.data[i] = data[i];
  return frame;
}

struct InteropCase {
  CanFrame frame;
  const char* text;  // the simulators' text form of the frame
};

const InteropCase cases[] = {
    {frameOf(CanFrame::extendedFlag | 0x1FFF0005u, {1, 2, 3, 4, 5, 6, 7, 8}, 8), "1FFF0005#0102030405060708"},
    {frameOf(0x123u, {0xDE, 0xAD}, 2), "123#DEAD"},
    {frameOf(CanFrame::extendedFlag | CanFrame::remoteFlag | 0x00200FF0u, {}, 0), "00200FF0#R"},
    {frameOf(CanFrame::extendedFlag | 0x0000ABCDu, {0x11}, 1), "0000ABCD#11"},
};

class CanBusInterop : public testing::Test {
 protected:
  void SetUp() override {
    if (access(python, X_OK) != 0 || !fs::exists(canbusScript())) {
      GTEST_SKIP() << "needs " << python << " and " << canbusScript();
    }
    char pattern[] = "/tmp/caninterop-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    top = pattern;
    bus = top + "/can0";
  }
  void TearDown() override {
    if (!top.empty()) fs::remove_all(top);
  }

  std::unique_ptr<Platform::SimCanSocket> join(const std::string& name) {
    return std::make_unique<Platform::SimCanSocket>(bus, name, [] {
      return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
    });
  }

  std::string top;
  std::string bus;
};

TEST_F(CanBusInterop, SimulatorHearsTheFirmware) {
  auto deadline = Clock::now() + patience;
  CanbusTool dump({"dump", bus, "--name", "sim", "--count", std::to_string(std::size(cases)), "--timeout", "20"});
  ASSERT_TRUE(dump.started());
  ASSERT_EQ(dump.readLine(deadline), "listening " + bus + "/sim.sock");

  auto firmware = join("fieldhub");
  ASSERT_EQ(firmware->peerCount(), 1u);
  for (const InteropCase& c : cases) ASSERT_TRUE(firmware->writeFrame(c.frame));
  for (const InteropCase& c : cases) EXPECT_EQ(dump.readLine(deadline), c.text);
  EXPECT_EQ(dump.wait(deadline), 0);
  EXPECT_FALSE(fs::exists(bus + "/sim.sock")) << "the simulator removes its file when it leaves";
}

TEST_F(CanBusInterop, FirmwareHearsTheSimulator) {
  auto deadline = Clock::now() + patience;
  auto firmware = join("fieldhub");
  std::vector<std::string> arguments = {"send", bus, "--name", "sim"};
  for (const InteropCase& c : cases) arguments.push_back(c.text);
  CanbusTool send(arguments);
  ASSERT_TRUE(send.started());
  ASSERT_EQ(send.wait(deadline), 0);
  // A datagram of the wrong size from the simulator is not a frame.
  CanbusTool raw({"send", "--raw", bus, "00112233"});
  ASSERT_EQ(raw.wait(deadline), 0);

  for (const InteropCase& c : cases) {
    SCOPED_TRACE(c.text);
    pollfd ready{firmware->fd(), POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, remainingMilliseconds(deadline)), 1);
    CanFrame received;
    ASSERT_TRUE(firmware->readFrame(received));
    EXPECT_EQ(std::memcmp(&received, &c.frame, sizeof received), 0);
  }
  CanFrame extra;
  EXPECT_FALSE(firmware->readFrame(extra));
}

}  // namespace
