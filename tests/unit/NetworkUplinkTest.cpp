// The uplink choice of the network worker: switchBackup waits for the modem
// to report the wanted PPP state (at most 3 s, then 100 ms), networkReady
// tells the MQTT client whether the chosen uplink carries traffic, and
// Ethernet only once the first reconfiguration has finished.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CaptureStdout.h"
#include "EthernetTestSupport.h"
#include "RegistryTestTree.h"
#include "net/Network.h"

namespace {

// A modem whose PPP link reaches the requested state after a number of
// 10 ms polls (or never, with a negative number). Sleeps are counted, not slept.
struct FakeModem {
  int pollsUntilSettled = 0;
  bool linkUp = false;
  bool wanted = false;
  int pollsSinceRequest = 0;
  std::vector<bool> requests;
  int sleptMilliseconds = 0;

  Network::PppLink link() {
    return {[this](bool up) {
              requests.push_back(up);
              wanted = up;
              pollsSinceRequest = 0;
            },
            [this] { return linkUp; },
            [this](int milliseconds) {
              sleptMilliseconds += milliseconds;
              if (linkUp != wanted && pollsUntilSettled >= 0 && ++pollsSinceRequest >= pollsUntilSettled) {
                linkUp = wanted;
              }
            }};
  }
};

class NetworkUplinkTest : public testing::Test {
 protected:
  Network::EthernetContext ethernet() {
    Network::EthernetContext context = testEthernet(tree.root, catalogue, shell, tree.temporary.path + "/dhcpcd.conf");
    context.milliseconds = [] { return int64_t{0}; };
    context.sleep = [](int) {};
    context.waitForChange = [](int) { return false; };
    return context;
  }
  // The loop's first pass: dhcpcd.conf written and dhcpcd restarted.
  void finishFirstReload() {
    CaptureStdout quiet;
    network.pass();
  }

  TestTree tree{{Catalogue::topLevelOrder.begin(), Catalogue::topLevelOrder.end()}};
  Catalogue::All catalogue{tree.root};
  FakeShell shell;
  FakeModem modem;
  Network network{unusedMacSetup(), modem.link(), ethernet()};
};

TEST_F(NetworkUplinkTest, EthernetIsReadyOnceTheFirstReloadIsDone) {
  EXPECT_FALSE(network.networkReady()) << "dhcpcd has not been restarted with the settings yet";
  CaptureStdout output;
  network.switchBackup(false);
  EXPECT_TRUE(modem.requests.empty()) << "Ethernet is already the uplink";
  EXPECT_EQ(modem.sleptMilliseconds, 0);
  EXPECT_EQ(output.text().find("Switching backup"), std::string::npos);
  finishFirstReload();
  EXPECT_EQ(shell.count("dhcpcd"), 1u);
  EXPECT_TRUE(network.networkReady());
}

struct SwitchCase {
  const char* name;
  int pollsUntilSettled;  // negative: the modem never reports the state
  int expectedSleepMilliseconds;
  bool readyOnPpp;
};

class NetworkSwitchTest : public NetworkUplinkTest, public testing::WithParamInterface<SwitchCase> {};

TEST_P(NetworkSwitchTest, WaitsForTheModemAtMostThreeSecondsThenSettles) {
  const SwitchCase& c = GetParam();
  modem.pollsUntilSettled = c.pollsUntilSettled;
  CaptureStdout output;
  network.switchBackup(true);
  EXPECT_EQ(modem.requests, std::vector<bool>{true});
  EXPECT_EQ(modem.sleptMilliseconds, c.expectedSleepMilliseconds);
  EXPECT_NE(output.text().find("Switching backup on"), std::string::npos);
  EXPECT_EQ(network.networkReady(), c.readyOnPpp);

  // Asking again for the same uplink neither logs nor waits.
  int sleptBefore = modem.sleptMilliseconds;
  network.switchBackup(true);
  EXPECT_EQ(modem.requests.size(), 1u);
  EXPECT_EQ(modem.sleptMilliseconds, sleptBefore);
}

INSTANTIATE_TEST_SUITE_P(Modem, NetworkSwitchTest,
                         testing::Values(SwitchCase{"UpAtOnce", 1, 10 + 100, true},
                                         SwitchCase{"UpAfterOneSecond", 100, 1000 + 100, true},
                                         SwitchCase{"UpAtTheLastPoll", 300, 3000 + 100, true},
                                         SwitchCase{"NeverUp", -1, 3000 + 100, false}),
                         [](const testing::TestParamInfo<SwitchCase>& info) { return std::string(info.param.name); });

TEST_F(NetworkUplinkTest, EthernetIsReadyOnlyOnceThePppLinkIsDown) {
  finishFirstReload();
  modem.pollsUntilSettled = 1;
  network.switchBackup(true);
  ASSERT_TRUE(network.networkReady());

  // The modem is slow to drop the link: Ethernet is not usable while the PPP
  // default route is still there.
  modem.pollsUntilSettled = -1;
  CaptureStdout output;
  network.switchBackup(false);
  EXPECT_NE(output.text().find("Switching backup off"), std::string::npos);
  EXPECT_EQ(modem.requests, (std::vector<bool>{true, false}));
  EXPECT_FALSE(network.networkReady());

  modem.linkUp = false;
  EXPECT_TRUE(network.networkReady());
}

}  // namespace
