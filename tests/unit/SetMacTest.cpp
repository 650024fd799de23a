// MAC address set-up: the interfaces file check and rewrite, and the restart
// commands around the file's replacement.
#include <gtest/gtest.h>

#include "TestFiles.h"

#include <filesystem>
#include <functional>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "CaptureStdout.h"
#include "LogLines.h"
#include "RegistryTestTree.h"
#include "net/Network.h"

namespace {

const char* const mac1 = "02:51:90:00:00:2A";
const char* const mac2 = "02:51:90:00:01:2A";

using TestFiles::readFile;
using TestFiles::writeFile;

const char* const loopback = "auto lo\niface lo inet loopback\n\n";

std::string stanza(const char* port, const std::string& mac) {
  return std::string("auto ") + port + "\niface " + port + " inet manual\n        hwaddress ether " + mac + "\n\n";
}

// The file as the board's image and the rewrite make it.
std::string canonical(const std::string& first, const std::string& second) {
  return loopback + stanza("eth0", first) + stanza("eth1", second);
}

struct Command {
  std::string text;
  bool nextFileWaiting;  // interfaces.next still there when the command ran
};

class SetMacTest : public testing::Test {
 protected:
  Network::MacSetupContext context() {
    return {interfaces, random, "/etc/init.d/S40network",
            [this](const std::string& command) {
              commands.push_back({command, std::filesystem::exists(interfaces + ".next")});
              if (onCommand) onCommand(command);
            }};
  }
  std::vector<std::string> commandTexts() const {
    std::vector<std::string> texts;
    for (const Command& command : commands) texts.push_back(command.text);
    return texts;
  }

  TempDirectory directory;
  std::string interfaces = directory.path + "/interfaces";
  std::string random = directory.path + "/urandom";
  std::vector<Command> commands;
  std::function<void(const std::string&)> onCommand;
  Network network{context()};
};

const std::vector<std::string> restartCommands = {
    "dhcpcd -x ; sleep 1",
    "/etc/init.d/S40network stop ; sleep 1",
    "/etc/init.d/S40network start ; sleep 1",
    "dhcpcd",
};

struct FileCase {
  const char* name;
  std::optional<std::string> before;  // nullopt: no file
  std::string after;
  bool changed;
};

TEST_F(SetMacTest, InterfacesFileIsCheckedAndRewritten) {
  const FileCase cases[] = {
      {"right addresses", canonical(mac1, mac2), canonical(mac1, mac2), false},
      {"ports in the other order", loopback + stanza("eth1", mac2) + stanza("eth0", mac1),
       loopback + stanza("eth1", mac2) + stanza("eth0", mac1), false},
      {"wrong eth1 address", canonical(mac1, "02:51:90:00:01:2B"), canonical(mac1, mac2), true},
      {"lower-case address", canonical("02:51:90:00:00:2a", mac2), canonical(mac1, mac2), true},
      {"extra lines in a stanza are dropped, others kept",
       "# board network\n" + std::string(loopback) +
           "auto eth0\niface eth0 inet static\n        address 10.0.0.5\n        hwaddress ether " + mac1 +
           "\n\n" + stanza("eth1", mac2),
       "# board network\n" + canonical(mac1, mac2), true},
      {"stanza lines out of order",
       std::string(loopback) + "auto eth0\n        hwaddress ether " + mac1 + "\niface eth0 inet manual\n\n" +
           stanza("eth1", mac2),
       canonical(mac1, mac2), true},
      {"last line without line end", loopback + stanza("eth0", mac1) + "auto eth1\niface eth1 inet manual",
       canonical(mac1, mac2), true},
      {"empty file", "", "", true},
      {"missing file", std::nullopt, "", true},
  };
  for (const FileCase& c : cases) {
    std::filesystem::remove(interfaces);
    if (c.before) writeFile(interfaces, *c.before);
    commands.clear();
    CaptureStdout capture;
    network.setMacs(mac1, mac2, true);
    std::string log = capture.text();
    EXPECT_EQ(readFile(interfaces), c.after) << c.name;
    EXPECT_FALSE(std::filesystem::exists(interfaces + ".next")) << c.name;
    EXPECT_EQ(commandTexts(), c.changed ? restartCommands : std::vector<std::string>{}) << c.name;
    EXPECT_NE(log.find(c.changed ? "Changing macs" : "No need to change macs"), std::string::npos) << c.name;
  }
}

TEST_F(SetMacTest, NewFileReplacesTheOldOneWhileNetworkingIsStopped) {
  writeFile(interfaces, canonical(mac1, "02:51:90:00:01:2B"));
  network.setMacs(mac1, mac2, true);
  ASSERT_EQ(commands.size(), 4u);
  EXPECT_TRUE(commands[0].nextFileWaiting);
  EXPECT_TRUE(commands[1].nextFileWaiting);
  EXPECT_FALSE(commands[2].nextFileWaiting);
  EXPECT_FALSE(commands[3].nextFileWaiting);
}

TEST_F(SetMacTest, FailedMoveIsReportedAndNetworkingComesBack) {
  std::string before = canonical(mac1, "02:51:90:00:01:2B");
  writeFile(interfaces, before);
  // Something takes the new file away while networking is stopped.
  onCommand = [this](const std::string& command) {
    if (command.find(" stop") != std::string::npos) std::filesystem::remove(interfaces + ".next");
  };
  CaptureStdout capture;
  EXPECT_FALSE(network.setMacs(mac1, mac2, true));
  std::vector<TestLog::LogLine> failures = TestLog::linesWith(capture.text(), "Cannot move " + interfaces + ".next");
  ASSERT_EQ(failures.size(), 1u) << capture.text();
  EXPECT_EQ(failures[0].level, 'E');
  EXPECT_EQ(commandTexts(), restartCommands) << "networking is started again";
  EXPECT_EQ(readFile(interfaces), before);

  onCommand = nullptr;
  EXPECT_TRUE(network.setMacs(mac1, mac2, true));
  EXPECT_EQ(readFile(interfaces), canonical(mac1, mac2));
}

TEST_F(SetMacTest, WithoutApplyTheNewFileWaits) {
  std::string before = canonical(mac1, "02:51:90:00:01:2B");
  writeFile(interfaces, before);
  network.setMacs(mac1, mac2, false);
  EXPECT_EQ(readFile(interfaces), before);
  EXPECT_EQ(readFile(interfaces + ".next"), canonical(mac1, mac2));
  EXPECT_TRUE(commands.empty());
}

TEST_F(SetMacTest, RandomMacsAreUnicastAndOldAddressesFlushed) {
  writeFile(interfaces, canonical(mac1, mac2));
  writeFile(random, std::string("\x03\x11\x22\x33\x44\x55\xFF\xEE\xDD\xCC\xBB\xAA", 12));
  network.randomMacs(true);
  EXPECT_EQ(readFile(interfaces), canonical("02:11:22:33:44:55", "FE:EE:DD:CC:BB:AA"));
  std::vector<std::string> expected = restartCommands;
  expected.push_back("ip a flush dev eth0");
  expected.push_back("ip a flush dev eth1");
  EXPECT_EQ(commandTexts(), expected);
}

}  // namespace
