// A program on a pseudo-terminal of its own, as pppd runs for a data call.
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/PseudoTerminal.h"

namespace {

// What the program writes on its terminal until it ends (or 5 s pass).
std::string readUntilEnd(int master) {
  std::string text;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd slot{master, POLLIN, 0};
    if (poll(&slot, 1, 100) <= 0) continue;
    char buffer[512];
    ssize_t got = read(master, buffer, sizeof buffer);
    if (got <= 0) break;  // EIO: the slave side is closed
    text.append(buffer, static_cast<size_t>(got));
  }
  return text;
}

bool reapedWithin(pid_t pid, int* status, int milliseconds) {
  for (int waited = 0; waited < milliseconds; waited += 10) {
    if (Platform::reapIfEnded(pid, status)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(PseudoTerminal, ProgramGetsTheTerminalASessionAndNoBlockedSignals) {
  // Session leader (sid = pid) with a controlling terminal (tty_nr not 0),
  // the terminal as standard input, and an empty
  // signal mask although the test's threads may block some.
  const char* script =
      "set -- $(cut -d')' -f2 /proc/$$/stat); echo \"session=$4 pid=$$ tty=$5\"; "
      "tty -s && echo terminal; grep SigBlk /proc/$$/status";
  Platform::TerminalProgram program = Platform::spawnOnTerminal("sh", {"sh", "-c", script});
  ASSERT_GT(program.pid, 0);
  ASSERT_GE(program.master, 0);
  std::string output = readUntilEnd(program.master);
  int status = -1;
  EXPECT_TRUE(reapedWithin(program.pid, &status, 5000));
  close(program.master);
  std::string pid = std::to_string(program.pid);
  EXPECT_NE(output.find("session=" + pid + " pid=" + pid), std::string::npos) << output;
  EXPECT_EQ(output.find("tty=0\r"), std::string::npos) << output;
  EXPECT_NE(output.find("terminal"), std::string::npos) << output;
  EXPECT_NE(output.find("SigBlk:\t0000000000000000"), std::string::npos) << output;
}

TEST(PseudoTerminal, RunningProgramIsNotReapedAndIsKilled) {
  Platform::TerminalProgram program = Platform::spawnOnTerminal("sleep", {"sleep", "30"});
  ASSERT_GT(program.pid, 0);
  EXPECT_FALSE(Platform::reapIfEnded(program.pid, nullptr));
  auto started = std::chrono::steady_clock::now();
  Platform::killAndReap(program.pid);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  close(program.master);
}

TEST(PseudoTerminal, MissingProgramStartsNothing) {
  Platform::TerminalProgram program = Platform::spawnOnTerminal("/usr/sbin/no-such-pppd", {"pppd"});
  EXPECT_EQ(program.pid, -1);
  EXPECT_EQ(program.master, -1);
}

}  // namespace
