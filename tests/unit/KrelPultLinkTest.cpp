// The console link on real UDP sockets: the link on a free port of all
// local addresses, its peers on 127.0.0.2 and 127.0.0.3 on the same port
// (SO_REUSEADDR), the clock of the peer sets moved by the test. Client and
// server mode, peer rotation, the disabled link, bad sizes, a taken port and
// a changed target.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CaptureStdout.h"
#include "PanelTestSupport.h"
#include "RegistryTestTree.h"
#include "can/krel/PultLink.h"

namespace {

using KREL::USock;
using PanelTest::eventually;
using PanelTest::frameOf;
using PanelTest::LogLine;
using PanelTest::textOf;

uint16_t freeUdpPort() {
  int probe = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  close(probe);
  return ntohs(address.sin_port);
}

// A console (or another gateway) on a loopback address, on the link's port.
class Peer {
 public:
  Peer(const char* address, uint16_t linkPort) : port(linkPort) {
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, address, &local.sin_addr);
    local.sin_port = htons(port);
    bound = bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
  }
  ~Peer() { close(fd); }

  void send(const std::string& bytes) const {
    sockaddr_in link{};
    link.sin_family = AF_INET;
    link.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    link.sin_port = htons(port);
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&link), sizeof link);
  }
  void send(const CanFrame& frame) const { send(std::string(reinterpret_cast<const char*>(&frame), sizeof frame)); }

  // Frames queued for the peer now (loopback delivers within the send).
  std::vector<std::string> received() const {
    std::vector<std::string> frames;
    CanFrame frame;
    while (recv(fd, &frame, sizeof frame, 0) == static_cast<ssize_t>(sizeof frame)) frames.push_back(textOf(frame));
    return frames;
  }

  bool bound = false;

 private:
  int fd = -1;
  uint16_t port;
};

class PultLinkTest : public ::testing::Test {
 protected:
  CaptureStdout output;
  TestTree tree;
  Catalogue::Pult settings{tree.root};
  PanelTest::FakeClock seconds;
  uint16_t port = freeUdpPort();
  std::mutex mutex;
  std::vector<std::string> toPorts;
  std::unique_ptr<USock> link;
  const CanFrame fromConsole = frameOf("80A000AE#0100000000000000");
  const CanFrame fromBus = frameOf("9FFE40E0#2122232425262728");

  void make(const char* settingsText) {
    tree.root.apply(settingsText);
    USock::Environment environment;
    environment.tree = &tree.root;
    environment.settings = &settings;
    environment.port = port;
    environment.toPorts = [this](const CanFrame& frame) {
      std::lock_guard<std::mutex> lock(mutex);
      toPorts.push_back(textOf(frame));
    };
    environment.seconds = [this] { return seconds(); };
    link = std::make_unique<USock>(std::move(environment));
    ASSERT_TRUE(link->openSocket());
    link->readSettings();
  }
  // Serves until the link has read `count` datagrams in all.
  void serveUntilReceived(uint32_t count) {
    ASSERT_TRUE(eventually([&] {
      link->serve(0);
      return link->receivedDatagrams() >= count;
    }));
  }
  std::vector<std::string> queued() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> frames;
    frames.swap(toPorts);
    return frames;
  }
};

TEST_F(PultLinkTest, ClientModeTakesFramesFromItsTargetOnly) {
  make(R"({"pult":{"is_server":false,"target":"127.0.0.2","enabled":true}})");
  Peer target("127.0.0.2", port), other("127.0.0.3", port);
  ASSERT_TRUE(target.bound && other.bound);
  other.send(fromConsole);
  target.send(fromConsole);
  serveUntilReceived(2);
  EXPECT_EQ(queued(), std::vector<std::string>{textOf(fromConsole)});
  EXPECT_EQ(link->acceptedDatagrams(), 1u);
  EXPECT_TRUE(target.received().empty()) << "a client does not echo";

  link->forward(fromBus);
  EXPECT_EQ(target.received(), std::vector<std::string>{textOf(fromBus)});
  EXPECT_TRUE(other.received().empty());
}

TEST_F(PultLinkTest, ServerModeRelaysBetweenPeersAndForgetsSilentOnes) {
  make(R"({"pult":{"is_server":true,"target":null,"enabled":true}})");
  Peer a("127.0.0.2", port), b("127.0.0.3", port);
  b.send(fromConsole);  // B becomes a peer
  serveUntilReceived(1);
  a.send(fromConsole);
  serveUntilReceived(2);
  EXPECT_EQ(queued(), (std::vector<std::string>{textOf(fromConsole), textOf(fromConsole)}));
  EXPECT_EQ(b.received(), std::vector<std::string>{textOf(fromConsole)}) << "A's frame reaches B";
  EXPECT_TRUE(a.received().empty()) << "not back to A";

  link->forward(fromBus);
  EXPECT_EQ(a.received(), std::vector<std::string>{textOf(fromBus)});
  EXPECT_EQ(b.received(), std::vector<std::string>{textOf(fromBus)});

  // Only A speaks during the next period: B is forgotten one rotation later.
  seconds.advance(USock::rotationSeconds + 1);
  link->serve(0);
  a.send(fromConsole);
  serveUntilReceived(3);
  b.received();
  link->forward(fromBus);
  EXPECT_EQ(b.received().size(), 1u) << "still heard during the last period";
  a.received();
  seconds.advance(USock::rotationSeconds + 1);
  link->serve(0);
  link->forward(fromBus);
  EXPECT_EQ(a.received(), std::vector<std::string>{textOf(fromBus)});
  EXPECT_TRUE(b.received().empty());
}

TEST_F(PultLinkTest, ADisabledLinkReadsAndCountsButPassesNothing) {
  make(R"({"pult":{"is_server":true,"target":"127.0.0.2","enabled":false}})");
  Peer a("127.0.0.2", port);
  a.send(fromConsole);
  serveUntilReceived(1);
  EXPECT_EQ(link->acceptedDatagrams(), 0u);
  EXPECT_TRUE(queued().empty());
  link->forward(fromBus);
  EXPECT_TRUE(a.received().empty());
}

TEST_F(PultLinkTest, DatagramsOfOtherSizesAreDroppedUncounted) {
  make(R"({"pult":{"is_server":false,"target":"127.0.0.2","enabled":true}})");
  Peer a("127.0.0.2", port);
  std::string frame(reinterpret_cast<const char*>(&fromConsole), sizeof fromConsole);
  for (size_t size : {0, 15, 17, 1000}) a.send(std::string(frame + std::string(1000, 'x')).substr(0, size));
  a.send(frame);
  serveUntilReceived(1);
  EXPECT_EQ(queued(), std::vector<std::string>{textOf(fromConsole)});
  link->serve(0);
  EXPECT_EQ(link->receivedDatagrams(), 1u);
}

TEST_F(PultLinkTest, AChangedTargetTakesEffectAtTheNextPass) {
  make(R"({"pult":{"is_server":false,"target":"127.0.0.2","enabled":true}})");
  Peer c("127.0.0.3", port);
  tree.root.apply(R"({"pult":{"target":"127.0.0.3"}})");
  link->serve(0);
  EXPECT_EQ(PanelTest::linesWith(output.text(), "Changing target"),
            (std::vector<LogLine>{{'D', "PultLink.cpp", "Changing target"}}));
  c.send(fromConsole);
  serveUntilReceived(1);
  EXPECT_EQ(link->acceptedDatagrams(), 1u);
  link->forward(fromBus);
  EXPECT_EQ(c.received(), std::vector<std::string>{textOf(fromBus)});
}

TEST_F(PultLinkTest, ATakenPortIsReported) {
  int taken = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  USock::Environment environment;
  environment.tree = &tree.root;
  environment.settings = &settings;
  environment.port = port;
  environment.toPorts = [](const CanFrame&) {};
  environment.seconds = [this] { return seconds(); };
  USock blocked(std::move(environment));
  EXPECT_FALSE(blocked.openSocket());
  EXPECT_EQ(PanelTest::linesWith(output.text(), "USock"), (std::vector<LogLine>{{'W', "PultLink.cpp", "Failed to bind USock"}}));
  blocked.forward(fromBus);  // no socket: nothing to do, nothing breaks
  close(taken);
  EXPECT_TRUE(blocked.openSocket());
}

}  // namespace
