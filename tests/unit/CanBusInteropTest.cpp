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

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
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

  // Collects the complete lines that arrive within waitMilliseconds (or are
  // there already).
  void takeLines(std::vector<std::string>& lines, int waitMilliseconds) {
    pollfd ready{output, POLLIN, 0};
    if (poll(&ready, 1, waitMilliseconds) > 0) {
      char buffer[4096];
      ssize_t got = read(output, buffer, sizeof buffer);
      if (got > 0) pending.append(buffer, static_cast<size_t>(got));
    }
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      lines.push_back(pending.substr(0, end));
      pending.erase(0, end + 1);
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

  // slowdown: the port's clock runs this many times slower than real time.
  std::unique_ptr<Platform::SimCanSocket> join(const std::string& name, const std::string& directory = "",
                                               int slowdown = 1) {
    return std::make_unique<Platform::SimCanSocket>(directory.empty() ? bus : directory, name, [slowdown] {
      return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count() /
             slowdown;
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

// Bursts far beyond a datagram queue's 11 frames, at a reader that stops for
// a while every so often: the sender holds what the reader's queue refuses,
// so every frame arrives, in order. How long a sender waits is checked at its
// exact bounds with injected clocks (SimCanBus here, test_canbus.py for the
// simulators); here the senders wait a hundred times as long (2 s), so that
// a reader the shared test machine does not schedule for a while cannot fail
// the test (200 ms was not enough on a loaded machine).
constexpr int holdSlowdown = 100;
struct BurstCase {
  int senders;
  uint32_t frames;  // per sender
  uint32_t pauseEvery;
  int pauseMilliseconds;
};

const BurstCase bursts[] = {
    {1, 1000, 50, 5},
    {2, 1000, 50, 5},  // two senders at once
    {1, 10000, 50, 5},
};

std::string describe(const BurstCase& c) {
  return std::to_string(c.senders) + " x " + std::to_string(c.frames) + " frames, reader pausing " +
         std::to_string(c.pauseMilliseconds) + " ms every " + std::to_string(c.pauseEvery);
}

constexpr uint32_t burstIdentifier = 0x100;  // sender k sends with 0x100 + k

// The frames sim/canbus.py burst sends: the frame's number, low byte first.
CanFrame burstFrame(uint32_t sender, uint32_t number) {
  return frameOf(CanFrame::extendedFlag | (burstIdentifier + sender),
                 {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8), static_cast<uint8_t>(number >> 16),
                  static_cast<uint8_t>(number >> 24)},
                 4);
}

std::string hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", value);
  return text;
}

TEST_F(CanBusInterop, FirmwareReaderGetsEverySimulatorBurstFrameInOrder) {
  for (const BurstCase& c : bursts) {
    SCOPED_TRACE(describe(c));
    std::string directory = top + "/firmware-reads-" + std::to_string(&c - bursts);
    auto deadline = Clock::now() + patience;
    auto firmware = join("fieldhub", directory);
    std::vector<std::unique_ptr<CanbusTool>> senders;
    for (int k = 0; k < c.senders; ++k) {
      senders.push_back(std::make_unique<CanbusTool>(std::vector<std::string>{
          "burst", directory, std::to_string(c.frames), "--name", "sim" + std::to_string(k), "--id",
          hex(burstIdentifier + static_cast<uint32_t>(k)), "--hold-ms",
          std::to_string(Platform::SimCanSocket::refusedHoldMilliseconds * holdSlowdown)}));
      ASSERT_TRUE(senders.back()->started());
    }

    std::vector<uint32_t> next(static_cast<size_t>(c.senders), 0);
    uint32_t received = 0;
    std::string disorder;
    while (received < c.frames * static_cast<uint32_t>(c.senders) && disorder.empty() && Clock::now() < deadline) {
      pollfd ready{firmware->fd(), POLLIN, 0};
      poll(&ready, 1, std::min(100, remainingMilliseconds(deadline)));
      CanFrame frame;
      while (disorder.empty() && firmware->readFrame(frame)) {
        uint32_t k = frame.identifier() - burstIdentifier;
        uint32_t number = 0;
        std::memcpy(&number, frame.data, sizeof number);
        CanFrame expected = k < next.size() ? burstFrame(k, next[k]) : CanFrame{};
        if (k >= next.size() || std::memcmp(&frame, &expected, sizeof frame) != 0) {
          disorder = "after " + std::to_string(received) + " frames: identifier " + hex(frame.identifier()) +
                     " number " + std::to_string(number);
          break;
        }
        ++next[k];
        if (++received % c.pauseEvery == 0) std::this_thread::sleep_for(std::chrono::milliseconds(c.pauseMilliseconds));
      }
      firmware->tick();
    }
    EXPECT_EQ(disorder, "");
    for (int k = 0; k < c.senders; ++k) EXPECT_EQ(next[static_cast<size_t>(k)], c.frames) << "sender " << k;
    for (auto& sender : senders) {
      // Two senders also send to each other, and a burst does not read: there
      // only the frames that reached the firmware count.
      if (c.senders == 1) {
        EXPECT_EQ(sender->readLine(deadline), "lost 0");
      }
      EXPECT_EQ(sender->wait(deadline), 0);
    }
  }
}

TEST_F(CanBusInterop, SlowSimulatorReaderGetsEveryFirmwareBurstFrameInOrder) {
  for (const BurstCase& c : bursts) {
    if (c.senders != 1) continue;  // the firmware is the one sender here
    SCOPED_TRACE(describe(c));
    std::string directory = top + "/simulator-reads-" + std::to_string(&c - bursts);
    auto deadline = Clock::now() + patience;
    CanbusTool dump({"dump", directory, "--name", "slow", "--count", std::to_string(c.frames), "--timeout", "20",
                     "--pause-every", std::to_string(c.pauseEvery), "--pause-ms", std::to_string(c.pauseMilliseconds)});
    ASSERT_TRUE(dump.started());
    ASSERT_EQ(dump.readLine(deadline), "listening " + directory + "/slow.sock");
    auto firmware = join("fieldhub", directory, holdSlowdown);
    ASSERT_EQ(firmware->peerCount(), 1u);

    // As the port supervisor runs it: writes, and retries from tick() when
    // the port asks for it. Writing waits only where more copies would be
    // kept than the port holds, as a producer waits on a full send queue.
    std::vector<std::string> lines;
    auto pass = [&] {
      int64_t wait = firmware->retryWaitMilliseconds();
      dump.takeLines(lines, wait >= 0 ? static_cast<int>(wait) : 10);
      firmware->tick();
    };
    for (uint32_t number = 0; number < c.frames && Clock::now() < deadline; ++number) {
      while (firmware->pendingCopies() >= Platform::SimCanSocket::pendingLimit && Clock::now() < deadline) pass();
      ASSERT_TRUE(firmware->writeFrame(burstFrame(0, number)));
    }
    while ((firmware->pendingCopies() != 0 || lines.size() < c.frames) && Clock::now() < deadline) pass();
    EXPECT_EQ(firmware->lostCopies(), 0u);
    ASSERT_EQ(lines.size(), c.frames);
    for (uint32_t number = 0; number < c.frames; ++number) {
      CanFrame frame = burstFrame(0, number);
      char text[32];
      std::snprintf(text, sizeof text, "%08X#%02X%02X%02X%02X", burstIdentifier, frame.data[0], frame.data[1],
                    frame.data[2], frame.data[3]);
      ASSERT_EQ(lines[number], text) << "frame " << number;
    }
    EXPECT_EQ(dump.wait(deadline), 0);
  }
}

}  // namespace
