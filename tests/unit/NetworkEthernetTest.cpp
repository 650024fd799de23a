// The network worker's Ethernet side with a fake shell, temporary files, a
// scripted button and a test clock: the reload and its commands, the U-Boot
// mirror, the status refresh and its 30 s period, the fallback button, the
// saved configuration and the "eth_erase" reset.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "CaptureStdout.h"
#include "Eventually.h"
#include "EthernetTestSupport.h"
#include "LogLines.h"
#include "RegistryTestTree.h"
#include "TestFiles.h"
#include "net/Network.h"
#include "registry/Catalogue.h"
#include "platform/Clock.h"
#include "registry/Ipv4Address.h"

namespace {

using TestFiles::readFile;
using TestFiles::writeFile;
using TestLog::messagesOf;

const char* const checkCommand = "fw_printenv 2>&1 >/dev/null";
const char* const printCommand = "fw_printenv usedhcp ipaddr";
const std::vector<std::string> reloadCommands = {"dhcpcd -k ; sleep 1", "dhcpcd -x ; sleep 2", "dhcpcd"};

std::string addressCommand(int port, char field) {
  return "ip -4 addr show eth" + std::to_string(port) + " primary | grep inet -m 1 | sed 's/\\// /g' | awk '{printf $" +
         field + "}'";
}

std::string routeCommand(int port) {
  return "ip -4 route show dev eth" + std::to_string(port) + " default | awk '{printf $3}'";
}

std::vector<std::string> statusCommands() {
  std::vector<std::string> commands;
  for (int port = 0; port < 2; ++port) {
    commands.push_back(addressCommand(port, '2'));
    commands.push_back(addressCommand(port, '3'));
    commands.push_back(routeCommand(port));
  }
  return commands;
}

// write() that fails as on a full disk.
ssize_t diskFull(int, const void*, size_t) {
  errno = ENOSPC;
  return -1;
}

IP4 address(const char* text) {
  IP4 value;
  Ipv4::parse(text, value);
  return value;
}

class NetworkEthernetTest : public testing::Test {
 protected:
  NetworkEthernetTest() {
    failWrites = false;
    shell.answers[printCommand] = "usedhcp=1\nipaddr=192.168.0.100\n";
  }

  Network::EthernetContext context() {
    Network::EthernetContext ethernet = testEthernet(tree.root, catalogue, shell, config);
    ethernet.files.write = [](int fd, const void* data, size_t size) {
      return failWrites ? diskFull(fd, data, size) : ::write(fd, data, size);
    };
    ethernet.readButton = [this] { return buttonLevel(); };
    ethernet.setLed = [this](bool on) { led.push_back(on); };
    ethernet.milliseconds = [this] { return clock; };
    ethernet.sleep = [this](int milliseconds) { clock += milliseconds; };
    ethernet.waitForChange = [this](int milliseconds) { return waitForChange(milliseconds); };
    return ethernet;
  }

  // The button is pressed at time 0 and changes level at each listed time;
  // -1 when its file is missing.
  int buttonLevel() const {
    if (buttonMissing) return -1;
    bool pressed = startPressed;
    for (int64_t at : buttonChanges) {
      if (at <= clock) pressed = !pressed;
    }
    return pressed ? 0 : 1;
  }

  // A client's change arrives at each listed time.
  bool waitForChange(int milliseconds) {
    waits.push_back(milliseconds);
    for (auto at = changeTimes.begin(); at != changeTimes.end(); ++at) {
      if (*at <= clock + milliseconds) {
        clock = std::max(clock, *at);
        changeTimes.erase(at);
        if (clientChange) clientChange();
        return true;
      }
    }
    clock += milliseconds;
    return false;
  }

  void setEth0Static() {
    std::lock_guard<std::recursive_mutex> lock(tree.root.mutex());
    catalogue.eth0.dhcp.value = false;
    catalogue.eth0.ip.value = address("10.0.0.5");
    catalogue.eth0.netmask.value = address("255.255.0.0");
    catalogue.eth0.gateway.value = address("10.0.0.1");
  }

  bool exists(const std::string& path) const { return std::filesystem::exists(path); }
  void leaveFallbackWithSavedCopy();
  // The commands after the U-Boot mirror's two reads.
  std::vector<std::string> commandsAfter(size_t first) const {
    return {shell.commands.begin() + static_cast<long>(std::min(first, shell.commands.size())), shell.commands.end()};
  }

  TestTree tree{{Catalogue::topLevelOrder.begin(), Catalogue::topLevelOrder.end()}};
  Catalogue::All catalogue{tree.root};
  ScopedListener listener{tree.root};
  std::string config = tree.temporary.path + "/dhcpcd.conf";
  std::string next = config + ".next";
  std::string saved = config + ".fb";
  FakeShell shell;
  int64_t clock = 1000;
  bool startPressed = true;
  bool buttonMissing = false;
  std::vector<int64_t> buttonChanges;
  std::vector<int64_t> changeTimes;
  // What the client changed, applied when its change arrives.
  std::function<void()> clientChange;
  std::vector<int> waits;
  std::vector<bool> led;
  static inline bool failWrites = false;
  Network network{unusedMacSetup(), Network::noModem(), context()};

  void TearDown() override { failWrites = false; }
};

const char* const globalPart = "hostname\noption rapid_commit\n\n";
const std::string dhcpSections =
    "denyinterfaces can0\ndenyinterfaces can1\ndenyinterfaces ppp0\n\n"
    "interface eth0\nmetric 800\n\ninterface eth1\nmetric 801\n\n";
const std::string staticSections =
    "denyinterfaces can0\ndenyinterfaces can1\ndenyinterfaces ppp0\n\n"
    "interface eth0\nmetric 800\nstatic ip_address=10.0.0.5/16\nstatic routers=10.0.0.1\n"
    "static domain_name_servers=8.8.8.8 4.4.4.4\n\ninterface eth1\nmetric 801\n\n";

struct BootEnvCase {
  const char* name;
  const char* damage;     // output of the health check
  const char* variables;  // output of "fw_printenv usedhcp ipaddr"
  bool dhcp;
  const char* ip;
  std::vector<std::string> setCommands;
  std::vector<std::string> messages;
};

class SyncBootEnvTable : public NetworkEthernetTest, public testing::WithParamInterface<BootEnvCase> {};

TEST_P(SyncBootEnvTable, RunsTheNeededCommands) {
  const BootEnvCase& c = GetParam();
  shell.answers[checkCommand] = c.damage;
  shell.answers[printCommand] = c.variables;
  CaptureStdout log;
  network.syncBootEnv(c.dhcp, address(c.ip));
  std::vector<std::string> expected = {checkCommand};
  if (std::string(c.damage).empty()) expected.push_back(printCommand);
  expected.insert(expected.end(), c.setCommands.begin(), c.setCommands.end());
  EXPECT_EQ(shell.commands, expected);
  std::vector<std::string> messages = messagesOf(log.text(), "Network.cpp");
  for (const std::string& warning : messagesOf(log.text(), "SysEnv.h")) messages.push_back("SysEnv: " + warning);
  EXPECT_EQ(messages, c.messages);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, SyncBootEnvTable,
    testing::Values(
        BootEnvCase{"DamagedEnvironmentIsLeftAlone", "Warning: Bad CRC, using default environment\n",
                    "usedhcp=0\n", true, "", {}, {"SysEnv: U-Boot env corrupted!"}},
        BootEnvCase{"NoOutputNoChange", "", "", false, "10.0.0.5", {}, {}},
        BootEnvCase{"DhcpAlreadySet", "", "usedhcp=1\nipaddr=10.0.0.5\n", true, "", {}, {}},
        BootEnvCase{"DhcpWanted", "", "usedhcp=0\nipaddr=10.0.0.5\n", true, "10.0.0.5",
                    {"fw_setenv usedhcp 1"}, {"Set U-Boot dhcp 1"}},
        BootEnvCase{"StaticWithoutAddressCountsAsDhcp", "", "usedhcp=0\n", false, "", {"fw_setenv usedhcp 1"},
                    {"Set U-Boot dhcp 1"}},
        BootEnvCase{"StaticAddressOnlyOccursInTheOldOne", "", "usedhcp=1\nipaddr=10.0.0.50\n", false, "10.0.0.5",
                    {"fw_setenv usedhcp 0", "fw_setenv ipaddr 10.0.0.5"},
                    {"Set U-Boot dhcp 0", "Set U-Boot static ip: 10.0.0.5"}},
        BootEnvCase{"StaticAlreadySet", "", "usedhcp=0\nipaddr=10.0.0.5\n", false, "10.0.0.5", {}, {}},
        BootEnvCase{"StaticWithoutStoredAddress", "", "usedhcp=0\n", false, "10.0.0.5",
                    {"fw_setenv ipaddr 10.0.0.5"}, {"Set U-Boot static ip: 10.0.0.5"}}),
    [](const testing::TestParamInfo<BootEnvCase>& info) { return std::string(info.param.name); });

TEST_F(NetworkEthernetTest, FirstPassRewritesTheFileRestartsDhcpcdAndPublishesTheStatus) {
  writeFile(config, std::string(globalPart) +
                        "interface eth0\nmetric 800\nstatic ip_address=10.0.0.5/16\nstatic routers=10.0.0.1\n"
                        "static domain_name_servers=8.8.8.8 4.4.4.4\n\ninterface eth1\nmetric 801\n");
  shell.answers[addressCommand(0, '2')] = "10.0.0.5";
  shell.answers[addressCommand(0, '3')] = "16";
  shell.answers[routeCommand(0)] = "10.0.0.1";
  network.readConfig();
  EXPECT_FALSE(network.networkReady()) << "Ethernet waits for the first reload";
  // The file is moved into place between stopping and starting dhcpcd.
  std::vector<bool> nextWaiting;
  shell.onRun = [&](const std::string&) { nextWaiting.push_back(exists(next)); };
  CaptureStdout log;
  network.pass();

  EXPECT_TRUE(network.networkReady());
  EXPECT_EQ(readFile(config), globalPart + staticSections);
  EXPECT_FALSE(exists(next));
  std::vector<std::string> expected = {checkCommand, printCommand, "fw_setenv usedhcp 0", "fw_setenv ipaddr 10.0.0.5"};
  expected.insert(expected.end(), reloadCommands.begin(), reloadCommands.end());
  for (const std::string& command : statusCommands()) expected.push_back(command);
  EXPECT_EQ(shell.commands, expected);
  EXPECT_EQ(nextWaiting, (std::vector<bool>{true, true, false}));
  EXPECT_EQ(waits, (std::vector<int>{0, 0})) << "a pending reload does not wait; then the drain only looks";
  std::vector<std::string> messages = messagesOf(log.text(), "Network.cpp");
  EXPECT_EQ(messages, (std::vector<std::string>{"Set U-Boot dhcp 0", "Set U-Boot static ip: 10.0.0.5",
                                                "Reloading network"}));

  std::lock_guard<std::recursive_mutex> lock(tree.root.mutex());
  EXPECT_EQ(tree.root.child("eth_status")->toText(),
            R"({"ip1":"10.0.0.5","ip2":null,"mask1":"255.255.0.0","mask2":"0.0.0.0","gateway1":"10.0.0.1",)"
            R"("gateway2":null})");
  EXPECT_EQ(listener.masks.back(), tree.root.bitOf(tree.root.child("eth_status")));
}

TEST_F(NetworkEthernetTest, UnchangedFileIsNotWrittenAgainButDhcpcdStillRestarts) {
  writeFile(config, globalPart + dhcpSections);
  struct stat before {};
  stat(config.c_str(), &before);
  network.readConfig();
  EXPECT_EQ(network.writeConfig(), Network::WriteResult::unchanged);
  EXPECT_FALSE(exists(next));
  network.reloadNetwork(false);
  struct stat after {};
  stat(config.c_str(), &after);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(readFile(config), globalPart + dhcpSections);
  EXPECT_EQ(commandsAfter(2), reloadCommands);
}

TEST_F(NetworkEthernetTest, MissingFileIsWrittenWhole) {
  network.readConfig();
  EXPECT_EQ(network.writeConfig(), Network::WriteResult::written);
  network.reloadNetwork(true);
  EXPECT_EQ(readFile(config), dhcpSections);
}

TEST_F(NetworkEthernetTest, FailedWriteKeepsTheLiveFileAndLeavesDhcpcdAlone) {
  writeFile(config, globalPart + dhcpSections);
  network.readConfig();
  setEth0Static();
  failWrites = true;
  CaptureStdout log;
  network.pass();
  EXPECT_EQ(readFile(config), globalPart + dhcpSections);
  EXPECT_FALSE(exists(next)) << "the partial file is removed";
  EXPECT_EQ(shell.commands, statusCommands()) << "no U-Boot change and no dhcpcd restart";
  EXPECT_TRUE(network.networkReady()) << "the reload is over, even though it failed";
  EXPECT_EQ(TestLog::linesWith(log.text(), "Cannot write"),
            (std::vector<TestLog::LogLine>{{'E', "Network.cpp", "Cannot write " + next}}));
}

TEST_F(NetworkEthernetTest, StatusIsRefreshedAfterEachReloadAndEveryThirtySecondsOfTheLoop) {
  auto refreshes = [&] { return shell.count(routeCommand(1)); };
  startPressed = false;
  network.startUp();
  int64_t loopStart = clock;
  network.pass();  // the first reload
  ASSERT_EQ(refreshes(), 1u);

  changeTimes = {loopStart + 10000};
  network.pass();
  EXPECT_EQ(clock, loopStart + 10000);
  EXPECT_EQ(shell.count("dhcpcd"), 2u);
  EXPECT_EQ(refreshes(), 2u);

  // A refresh after a reload does not restart the 30 s count; exactly 30 s
  // is not yet "more than 30 s".
  network.pass();
  EXPECT_EQ(clock, loopStart + 30001);
  EXPECT_EQ(refreshes(), 3u);
  EXPECT_EQ(waits.back(), 20001);
  network.pass();
  EXPECT_EQ(clock, loopStart + 60002);
  EXPECT_EQ(refreshes(), 4u);
  EXPECT_EQ(shell.count("dhcpcd"), 2u) << "no reload without a change";
}

TEST_F(NetworkEthernetTest, ChangesArrivingTogetherAreLoadedOnce) {
  network.pass();
  size_t reloads = shell.count("dhcpcd");
  changeTimes = {clock + 5, clock + 6, clock + 7, clock + 8};
  clock += 10;
  network.pass();
  EXPECT_EQ(shell.count("dhcpcd"), reloads + 1);
  EXPECT_TRUE(changeTimes.empty());
}

struct StatusCase {
  const char* name;
  std::map<std::string, std::string> answers;
  const char* expected;
};

class RefreshStatusTable : public NetworkEthernetTest, public testing::WithParamInterface<StatusCase> {};

TEST_P(RefreshStatusTable, PublishesWhatIpPrints) {
  for (const auto& [command, answer] : GetParam().answers) shell.answers[command] = answer;
  network.refreshStatus();
  std::lock_guard<std::recursive_mutex> lock(tree.root.mutex());
  EXPECT_EQ(tree.root.child("eth_status")->toText(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, RefreshStatusTable,
    testing::Values(
        StatusCase{"NothingPrinted",
                   {},
                   R"({"ip1":null,"ip2":null,"mask1":"0.0.0.0","mask2":"0.0.0.0","gateway1":null,"gateway2":null})"},
        StatusCase{"BothPorts",
                   {{addressCommand(0, '2'), "192.168.1.100"}, {addressCommand(0, '3'), "24"},
                    {routeCommand(0), "192.168.1.1"}, {addressCommand(1, '2'), "10.0.0.6\n"},
                    {addressCommand(1, '3'), "8"}, {routeCommand(1), ""}},
                   R"({"ip1":"192.168.1.100","ip2":"10.0.0.6","mask1":"255.255.255.0","mask2":"255.0.0.0",)"
                   R"("gateway1":"192.168.1.1","gateway2":null})"},
        StatusCase{"LongOrOddAnswers",
                   {{addressCommand(0, '2'), std::string(200, '1')}, {addressCommand(0, '3'), "99"},
                    {routeCommand(0), "192.168.1.1 dev eth0 proto dhcp"}, {addressCommand(1, '3'), "-4"}},
                   R"({"ip1":null,"ip2":null,"mask1":"0.0.0.0","mask2":"0.0.0.0","gateway1":null,"gateway2":null})"}),
    [](const testing::TestParamInfo<StatusCase>& info) { return std::string(info.param.name); });

// ---- the fallback button ----

// Level changes every 100 ms from 100 ms on.
std::vector<int64_t> changesEvery100(int64_t start, int count) {
  std::vector<int64_t> times;
  for (int n = 1; n <= count; ++n) times.push_back(start + 100 * n);
  return times;
}

const std::string fallbackSections =
    "denyinterfaces can0\ndenyinterfaces can1\ndenyinterfaces ppp0\n\n"
    "interface eth0\nmetric 800\nstatic ip_address=192.168.0.101/24\nstatic routers=null\n"
    "static domain_name_servers=8.8.8.8 4.4.4.4\n\n"
    "interface eth1\nmetric 801\nstatic ip_address=192.168.0.102/24\nstatic routers=null\n"
    "static domain_name_servers=8.8.8.8 4.4.4.4\n\n";

TEST_F(NetworkEthernetTest, ButtonNeedsMoreThanTenChangesWithinTwelveSeconds) {
  struct Case {
    const char* name;
    std::vector<int64_t> changes;
    int counted;
    bool applied;
  } cases[] = {
      {"Ten", changesEvery100(clock, 10), 10, false},
      {"Eleven", changesEvery100(clock, 11), 11, true},
      {"ElevenSlowly", {clock + 1000, clock + 2000, clock + 3000, clock + 4000, clock + 5000, clock + 6000,
                        clock + 7000, clock + 8000, clock + 9000, clock + 10000, clock + 11990},
       11, true},
      {"EleventhAfterTwelveSeconds", {clock + 1000, clock + 2000, clock + 3000, clock + 4000, clock + 5000,
                                      clock + 6000, clock + 7000, clock + 8000, clock + 9000, clock + 10000,
                                      clock + 12010},
       10, false},
  };
  int64_t start = clock;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clock = start;
    buttonChanges = c.changes;
    std::filesystem::remove(config);
    std::filesystem::remove(saved);
    CaptureStdout log;
    EXPECT_EQ(network.fallbackRequest(), c.applied);
    std::vector<std::string> messages = messagesOf(log.text(), "Network.cpp");
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[0], "Detected fallback request");
    EXPECT_EQ(messages[1], "Counts: " + std::to_string(c.counted));
    EXPECT_EQ(exists(config), c.applied);
  }
}

TEST_F(NetworkEthernetTest, ReleasedOrMissingButtonAsksForNothing) {
  startPressed = false;
  CaptureStdout log;
  EXPECT_FALSE(network.fallbackRequest());
  buttonMissing = true;
  EXPECT_FALSE(network.fallbackRequest());
  EXPECT_TRUE(messagesOf(log.text(), "Network.cpp").empty());
  EXPECT_TRUE(shell.commands.empty());
  EXPECT_EQ(clock, 1000) << "no sampling";
}

TEST_F(NetworkEthernetTest, FallbackUnchangedForFourMinutesIsUndoneAtOnce) {
  const std::string original = globalPart + staticSections;
  writeFile(config, original);
  buttonChanges = changesEvery100(clock, 11);
  CaptureStdout log;
  network.startUp();

  EXPECT_EQ(led, (std::vector<bool>{true, false}));
  EXPECT_EQ(messagesOf(log.text(), "Network.cpp"),
            (std::vector<std::string>{"Detected fallback request", "Counts: 11", "Enabling fallback net settings",
                                      "Set U-Boot dhcp 0", "Set U-Boot static ip: 192.168.0.101",
                                      "Reloading network", "Recovering saved dhcpcd config", "Reloading network",
                                      "Done!", "Reading config", "Done!"}));
  // The saved copy is put back after the four minutes, and read.
  EXPECT_EQ(readFile(config), original);
  EXPECT_FALSE(exists(saved));
  EXPECT_EQ(shell.count("dhcpcd"), 2u);
  EXPECT_NE(std::find(waits.begin(), waits.end(), Network::fallbackHoldMilliseconds), waits.end());
  std::lock_guard<std::recursive_mutex> lock(tree.root.mutex());
  EXPECT_EQ(catalogue.eth0.ip.toText(), "\"10.0.0.5\"");
}

TEST_F(NetworkEthernetTest, FallbackChangedByAClientIsKept) {
  const std::string original = globalPart + staticSections;
  writeFile(config, original);
  buttonChanges = changesEvery100(clock, 11);
  // The client's change comes during the fallback: eth1 gets a router.
  std::vector<std::string> fileAtEachRun;
  shell.onRun = [&](const std::string& command) {
    if (command == "dhcpcd") fileAtEachRun.push_back(readFile(config));
  };
  changeTimes = {clock + 60000};
  clientChange = [&] {
    std::lock_guard<std::recursive_mutex> lock(tree.root.mutex());
    catalogue.eth1.gateway.value = address("192.168.0.1");
  };
  EXPECT_TRUE(network.fallbackRequest());
  ASSERT_EQ(fileAtEachRun.size(), 2u);
  EXPECT_EQ(fileAtEachRun[0], globalPart + fallbackSections);
  std::string kept = fallbackSections;
  kept.replace(kept.rfind("static routers=null"), 19, "static routers=192.168.0.1");
  EXPECT_EQ(fileAtEachRun[1], globalPart + kept);
  EXPECT_FALSE(exists(saved)) << "nothing to recover";
  CaptureStdout log;
  network.recoverSavedConfig();
  EXPECT_EQ(readFile(config), globalPart + kept);
  EXPECT_TRUE(messagesOf(log.text(), "Network.cpp").empty());
}

TEST_F(NetworkEthernetTest, EarlierSavedCopyIsNotOverwritten) {
  writeFile(config, globalPart + fallbackSections);
  writeFile(saved, "the copy a power loss left\n");
  buttonChanges = changesEvery100(clock, 11);
  EXPECT_TRUE(network.fallbackRequest());
  EXPECT_EQ(readFile(saved), "the copy a power loss left\n");
}

TEST_F(NetworkEthernetTest, FallbackNeedsItsSavedCopy) {
  writeFile(config, globalPart + staticSections);
  buttonChanges = changesEvery100(clock, 11);
  failWrites = true;
  CaptureStdout log;
  EXPECT_FALSE(network.fallbackRequest());
  EXPECT_EQ(readFile(config), globalPart + staticSections);
  EXPECT_FALSE(exists(saved));
  EXPECT_FALSE(exists(saved + ".new"));
  EXPECT_TRUE(shell.commands.empty());
  EXPECT_EQ(TestLog::linesWith(log.text(), "Cannot save"),
            (std::vector<TestLog::LogLine>{{'E', "Network.cpp", "Cannot save " + saved}}));
}

// What a power loss during the fallback leaves: the fallback file live, the
// board's own configuration saved.
void NetworkEthernetTest::leaveFallbackWithSavedCopy() {
  writeFile(config, globalPart + fallbackSections);
  writeFile(saved, globalPart + staticSections);
}

TEST_F(NetworkEthernetTest, SavedCopyLeftByAPowerLossComesBackAtStart) {
  leaveFallbackWithSavedCopy();
  startPressed = false;
  CaptureStdout log;
  network.startUp();
  EXPECT_EQ(readFile(config), globalPart + staticSections);
  EXPECT_FALSE(exists(saved));
  EXPECT_EQ(shell.commands, reloadCommands);
  EXPECT_EQ(messagesOf(log.text(), "Network.cpp"),
            (std::vector<std::string>{"Recovering saved dhcpcd config", "Reloading network", "Done!",
                                      "Reading config", "Done!"}));
}

TEST_F(NetworkEthernetTest, SavedCopyThatCannotBeInstalledStaysForTheNextStart) {
  leaveFallbackWithSavedCopy();
  failWrites = true;
  CaptureStdout log;
  network.recoverSavedConfig();
  EXPECT_EQ(readFile(config), globalPart + fallbackSections);
  EXPECT_EQ(readFile(saved), globalPart + staticSections);
  EXPECT_FALSE(exists(next));
  EXPECT_TRUE(shell.commands.empty());
  EXPECT_EQ(TestLog::linesWith(log.text(), "Cannot write").size(), 1u);
}

TEST_F(NetworkEthernetTest, EthEraseWritesTheStartValuesWithoutRestartingDhcpcd) {
  writeFile(config, globalPart + staticSections);
  writeFile(saved, "saved by the button\n");
  shell.answers[printCommand] = "usedhcp=0\nipaddr=10.0.0.5\n";
  network.readConfig();
  network.eraseEthernet();
  EXPECT_EQ(readFile(config), globalPart + dhcpSections);
  EXPECT_FALSE(exists(saved));
  EXPECT_EQ(shell.commands, (std::vector<std::string>{checkCommand, printCommand, "fw_setenv usedhcp 1"}));
  {
    std::lock_guard<std::recursive_mutex> lock(tree.root.mutex());
    EXPECT_EQ(catalogue.eth0.toText(), catalogue.eth1.toText());
  }
  // Nothing is written any more before the reboot.
  setEth0Static();
  shell.commands.clear();
  network.pass();
  EXPECT_EQ(readFile(config), globalPart + dhcpSections);
  EXPECT_EQ(shell.count("dhcpcd"), 0u);
}

TEST_F(NetworkEthernetTest, ReadConfigFillsTheSettingsAndAnnouncesTheChangedPorts) {
  writeFile(config, globalPart + staticSections);
  network.readConfig();
  std::lock_guard<std::recursive_mutex> lock(tree.root.mutex());
  EXPECT_EQ(catalogue.eth0.toText(),
            R"({"ip":"10.0.0.5","netmask":"255.255.0.0","gateway":"10.0.0.1","dns1":"8.8.8.8","dns2":"4.4.4.4",)"
            R"("dhcp":false,"static_fallback":false,"add_default_dns":true})");
  EXPECT_EQ(listener.masks, (std::vector<uint32_t>{tree.root.bitOf(&catalogue.eth0), tree.root.bitOf(&catalogue.eth1)}));
}

// The real thread with its own Waiter, sleep and clock: a client's apply is
// loaded, and destroying the worker ends its 30 s wait and the button's
// four-minute hold at once.
struct RunningNetwork {
  explicit RunningNetwork(std::function<int()> button) {
    Network::EthernetContext ethernet = testEthernet(tree.root, catalogue, shell, config);
    ethernet.readButton = std::move(button);
    ethernet.milliseconds = [] { return Platform::monotonicMilliseconds(); };
    shell.onRun = [this](const std::string& command) {
      if (command == "dhcpcd") dhcpcdStarts.fetch_add(1);
    };
    network = std::make_unique<Network>(unusedMacSetup(), Network::noModem(), ethernet);
    network->start();
  }
  // Milliseconds the destruction took.
  int64_t destroy() {
    auto before = std::chrono::steady_clock::now();
    network.reset();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - before).count();
  }
  bool fileHas(const char* text) const { return readFile(config).find(text) != std::string::npos; }

  TestTree tree{{Catalogue::topLevelOrder.begin(), Catalogue::topLevelOrder.end()}};
  Catalogue::All catalogue{tree.root};
  std::string config = tree.temporary.path + "/dhcpcd.conf";
  FakeShell shell;  // used by the worker only while it runs
  std::atomic<int> dhcpcdStarts{0};
  CaptureStdout quiet;
  std::unique_ptr<Network> network;
};

TEST(NetworkThread, LoadsAnAppliedChangeAndStopsOutOfItsWait) {
  RunningNetwork running([] { return 1; });
  ASSERT_TRUE(TestWait::eventually([&] { return running.network->networkReady(); }));
  running.tree.root.apply(R"({"eth0":{"dhcp":false,"ip":"10.0.0.5","netmask":"255.255.0.0"}})");
  ASSERT_TRUE(TestWait::eventually([&] { return running.fileHas("static ip_address=10.0.0.5/16\n"); }));
  ASSERT_TRUE(TestWait::eventually([&] { return running.network->networkReady(); }));
  EXPECT_LT(running.destroy(), 1000);
  EXPECT_EQ(running.shell.count("dhcpcd"), 2u);
}

TEST(NetworkThread, StopsOutOfTheFallbackHold) {
  // Every sample of the button is a level change: eleven within 120 ms.
  RunningNetwork running([level = 1]() mutable { return level = 1 - level; });
  ASSERT_TRUE(TestWait::eventually([&] { return running.fileHas("static ip_address=192.168.0.102/24\n"); }));
  ASSERT_TRUE(TestWait::eventually([&] { return running.dhcpcdStarts.load() == 1; }));
  EXPECT_LT(running.destroy(), 1000);
  EXPECT_FALSE(std::filesystem::exists(running.config + ".next"));
}

}  // namespace
