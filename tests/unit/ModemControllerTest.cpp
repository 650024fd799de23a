// The modem controller driven pass by pass with a fake line, clock and pppd.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "CaptureStdout.h"
#include "HexBytes.h"
#include "LogLines.h"
#include "ModemTestSupport.h"
#include "RegistryTestTree.h"
#include "net/sim800/controller.h"

namespace {

constexpr const char* imeiAnswer = "\r\n861234567890123\r\n";

struct FakePppd {
  int started = 0;
  bool dead = false;
  std::vector<pid_t> killed;
  int peer = -1;  // pppd's side of its "terminal"
  bool refuse = false;

  ~FakePppd() {
    if (peer >= 0) close(peer);
  }
  Platform::TerminalProgram start() {
    if (refuse) return {};
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends) != 0) return {};
    if (peer >= 0) close(peer);
    peer = ends[1];
    ++started;
    return {static_cast<pid_t>(4000 + started), ends[0]};
  }
  std::string received() {
    char buffer[4096];
    ssize_t got = read(peer, buffer, sizeof buffer);
    return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : std::string();
  }
};

class ModemControllerTest : public ::testing::Test {
 protected:
  ModemControllerTest() {
    auto ownPort = std::make_unique<FakeModemPort>();
    port = ownPort.get();
    port->onWrite = [this](const std::vector<uint8_t>& bytes) {
      std::string text(bytes.begin(), bytes.end());
      if (answerImei && text.find("AT+GSN") != std::string::npos) port->queueFrame(1, imeiAnswer);
    };
    Sim800::Environment environment;
    environment.tree = &tree.root;
    environment.status = &status;
    environment.port = std::move(ownPort);
    environment.setPower = [this](bool on) { power.push_back(on); };
    environment.seconds = [this] { return milliseconds / 1000; };
    environment.sleep = [this](int ms) { milliseconds += ms; };
    environment.waitForInput = [this](int, int masterFd, int ms) {
      watchedMaster.push_back(masterFd);
      if (port->incoming.empty()) milliseconds += ms;
      return Sim800::Readiness{};
    };
    environment.ppp.start = [this] { return pppd.start(); };
    environment.ppp.ended = [this](pid_t, int* exitStatus) {
      *exitStatus = 256;
      return pppd.dead;
    };
    environment.ppp.kill = [this](pid_t pid) { pppd.killed.push_back(pid); };
    modem = std::make_unique<Sim800>(std::move(environment));
  }

  // Start-up and the Bluetooth set-up, as the thread does them.
  void startService() {
    ASSERT_TRUE(modem->startUp());
    modem->beginService();
    port->written.clear();
  }
  // Passes until the fake clock has moved on by `seconds`.
  void runFor(int64_t seconds) {
    int64_t until = milliseconds + seconds * 1000;
    while (milliseconds < until) modem->servicePass();
  }
  void readyToReceive(bool ready) {
    std::vector<uint8_t> command = TestHex::bytesOf(ready ? "E3 05 0B 8D" : "E3 05 0B 85");
    port->queue(Cmux::encodeFrame(0, command.data(), command.size()));
  }
  int rssiEntry() {
    std::lock_guard<std::recursive_mutex> lock(tree.root.mutex());
    return status.rssi.value;
  }

  TestTree tree;
  Catalogue::GsmStatus status{tree.root};
  FakeModemPort* port = nullptr;
  bool answerImei = true;
  int64_t milliseconds = 1000000;
  std::vector<bool> power;
  std::vector<int> watchedMaster;
  FakePppd pppd;
  std::unique_ptr<Sim800> modem;
};

TEST_F(ModemControllerTest, StartUpPowersSwitchesSpeedAndReadsTheImei) {
  CaptureStdout capture;
  ASSERT_TRUE(modem->startUp());
  EXPECT_EQ(power, (std::vector<bool>{false, false, true}));
  EXPECT_EQ(port->speeds, (std::vector<uint32_t>{115200, 460800}));
  std::string speed = "\r\nATE0Q0+IPR=460800;\r\n";
  std::string mux = "\r\nAT+CMUX=0\r\n";
  std::vector<uint8_t> expected(speed.begin(), speed.end());
  expected.insert(expected.end(), mux.begin(), mux.end());
  expected.insert(expected.end(), Cmux::openingFrames().begin(), Cmux::openingFrames().end());
  std::vector<uint8_t> gsn = Cmux::encodeFrame(1, reinterpret_cast<const uint8_t*>("\r\nAT+GSN\r\n"), 10);
  expected.insert(expected.end(), gsn.begin(), gsn.end());
  EXPECT_EQ(TestHex::hexOf(port->written), TestHex::hexOf(expected));
  {
    std::lock_guard<std::recursive_mutex> lock(tree.root.mutex());
    EXPECT_EQ(status.imei.value, 861234567890123ull);
    EXPECT_EQ(status.rssi.value, 99);
  }
  EXPECT_EQ(TestLog::linesWith(capture.text(), "Got IMEI: 861234567890123").size(), 1u);

  port->written.clear();
  modem->beginService();
  EXPECT_TRUE(port->wroteFrame(1, "\r\nAT+BTHOST=QTR-90;\r\n"));
  EXPECT_TRUE(port->wroteFrame(1, "\r\nAT+BTPAIRCFG=1,2958\r\n"));
  EXPECT_TRUE(port->wroteFrame(1, "\r\nAT+BTPOWER=1\r\n"));
}

TEST_F(ModemControllerTest, SilentModemRestartsTheStartUp) {
  answerImei = false;
  CaptureStdout capture;
  EXPECT_FALSE(modem->startUp());
  port->queueFrame(1, "\r\nOK\r\n");  // short texts are not an IMEI
  EXPECT_FALSE(modem->startUp());
  EXPECT_EQ(TestLog::linesWith(capture.text(), "No IMEI, restarting modem").size(), 2u);
}

TEST_F(ModemControllerTest, SignalPollsEveryTenSecondsAndCsqSetsRssi) {
  startService();
  struct {
    const char* answer;
    int rssi;
  } const cases[] = {{"\r\n+CSQ: 20,0\r\n", -73}, {"\r\n+CSQ: 99,99\r\n", 99}, {"+CSQ: 0,0\r\n", -113},
                     {"+CSQ: 31,0\r\n", -51}};
  for (const auto& test : cases) {
    port->queueFrame(1, test.answer);
    modem->servicePass();
    EXPECT_EQ(rssiEntry(), test.rssi) << test.answer;
  }
  port->written.clear();
  runFor(31);
  EXPECT_EQ(port->countFrames(1, "AT+CSQ\r\n"), 3u);
  EXPECT_EQ(port->countFrames(1, "AT+BTSTATUS?\r\n"), 3u);
}

TEST_F(ModemControllerTest, ThreeUnansweredPollsVoidTheReadingOnce) {
  startService();
  port->queueFrame(1, "+CSQ: 20,0\r\n");
  modem->servicePass();
  ASSERT_EQ(rssiEntry(), -73);
  CaptureStdout capture;
  runFor(35);  // polls at 10, 20, 30 s go unanswered
  EXPECT_EQ(rssiEntry(), -73);
  runFor(10);
  EXPECT_EQ(rssiEntry(), 99);
  runFor(30);
  EXPECT_EQ(TestLog::linesWith(capture.text(), "Modem not responding").size(), 1u);
  port->queueFrame(1, "+CSQ: 20,0\r\n");
  modem->servicePass();
  EXPECT_EQ(rssiEntry(), -73);
}

TEST_F(ModemControllerTest, DialsEveryThirtySecondsAndConnectStartsOnePppd) {
  startService();
  CaptureStdout capture;
  modem->wantPpp.store(true);
  runFor(65);
  EXPECT_EQ(TestLog::linesWith(capture.text(), "Trying to dialup...").size(), 2u);
  EXPECT_EQ(port->countFrames(2, "\r\nAT+CGDCONT=1,\"IP\",\"internet\"\r\n"), 2u);
  EXPECT_EQ(port->countFrames(2, "\r\nATD*99***1#\r\n"), 2u);
  EXPECT_FALSE(modem->pppUp());

  port->queueFrame(2, "\r\nCONNECT 115200\r\n");
  modem->servicePass();
  EXPECT_TRUE(modem->pppUp());
  EXPECT_EQ(pppd.started, 1);
  EXPECT_EQ(TestLog::linesWith(capture.text(), "Creating new PPPD process").size(), 1u);

  // Later channel 2 payloads are pppd's, even another CONNECT.
  port->queueFrame(2, "~\x7d PPP CONNECT");
  modem->servicePass();
  EXPECT_EQ(pppd.started, 1);
  EXPECT_EQ(pppd.received(), "~\x7d PPP CONNECT");
  runFor(40);
  EXPECT_EQ(TestLog::linesWith(capture.text(), "Trying to dialup...").size(), 2u);
}

TEST_F(ModemControllerTest, RelaysPppdOutputOnlyWhileChannelTwoIsReady) {
  startService();
  modem->wantPpp.store(true);
  port->queueFrame(2, "CONNECT\r\n");
  modem->servicePass();
  ASSERT_TRUE(modem->pppUp());
  ASSERT_EQ(write(pppd.peer, "LCP request", 11), 11);
  watchedMaster.clear();
  modem->servicePass();
  EXPECT_FALSE(port->wroteFrame(2, "LCP request"));
  EXPECT_EQ(watchedMaster, std::vector<int>{-1});

  readyToReceive(true);
  modem->servicePass();
  EXPECT_TRUE(port->wroteFrame(2, "LCP request"));
  watchedMaster.clear();
  modem->servicePass();
  ASSERT_EQ(watchedMaster.size(), 1u);
  EXPECT_GE(watchedMaster[0], 0);
}

TEST_F(ModemControllerTest, ClearingTheRequestHangsUp) {
  startService();
  modem->wantPpp.store(true);
  port->queueFrame(2, "CONNECT\r\n");
  modem->servicePass();
  ASSERT_TRUE(modem->pppUp());
  CaptureStdout capture;
  port->written.clear();
  modem->wantPpp.store(false);
  modem->servicePass();
  EXPECT_EQ(TestLog::linesWith(capture.text(), "Hanging up...").size(), 1u);
  EXPECT_TRUE(port->wroteFrame(2, "+++"));
  EXPECT_TRUE(port->wroteFrame(2, "\r\nATH0\r\n"));
  EXPECT_EQ(pppd.killed, std::vector<pid_t>{4001});
  EXPECT_FALSE(modem->pppUp());
  EXPECT_FALSE(modem->hasPppProcess());
  // pppd's terminal is closed: its peer reads end of file.
  char byte;
  EXPECT_EQ(read(pppd.peer, &byte, 1), 0);
}

TEST_F(ModemControllerTest, PppdDeathClearsTheRequestAndHangsUp) {
  startService();
  modem->wantPpp.store(true);
  port->queueFrame(2, "CONNECT\r\n");
  modem->servicePass();
  ASSERT_TRUE(modem->pppUp());
  CaptureStdout capture;
  pppd.dead = true;
  modem->servicePass();
  EXPECT_FALSE(modem->pppUp());
  EXPECT_FALSE(modem->wantPpp.load());
  EXPECT_EQ(TestLog::linesWith(capture.text(), "pppd ended (status 256)").size(), 1u);
  EXPECT_EQ(TestLog::linesWith(capture.text(), "Hanging up...").size(), 1u);
  // Reaped already: never killed by its old number.
  EXPECT_TRUE(pppd.killed.empty());
  EXPECT_FALSE(modem->hasPppProcess());
}

TEST_F(ModemControllerTest, NoCarrierOrNoPppdLeavesTheLinkDownAndDialsAgain) {
  startService();
  modem->wantPpp.store(true);
  CaptureStdout capture;
  runFor(31);
  port->queueFrame(2, "\r\nNO CARRIER\r\n");
  modem->servicePass();
  EXPECT_EQ(TestLog::linesWith(capture.text(), "Data call: NO CARRIER").size(), 1u);
  pppd.refuse = true;
  port->queueFrame(2, "\r\nCONNECT\r\n");
  modem->servicePass();
  EXPECT_EQ(TestLog::linesWith(capture.text(), "pppd could not be started").size(), 1u);
  EXPECT_FALSE(modem->pppUp());
  EXPECT_FALSE(modem->hasPppProcess());
  runFor(30);
  EXPECT_EQ(TestLog::linesWith(capture.text(), "Trying to dialup...").size(), 2u);
}

TEST_F(ModemControllerTest, SppConnectionIsAcceptedWithACarriageReturn) {
  startService();
  port->queueFrame(1, "\r\n+BTCONNECTING: \"aa:bb:cc:dd:ee:ff\",\"SPP\"\r\n");
  modem->servicePass();
  EXPECT_TRUE(port->wroteFrame(1, "AT+BTACPT=1\r\n"));
  port->queueFrame(1, "\r\n+BTCONNECT: 1,\"phone\",aa:bb:cc:dd:ee:ff,\"SPP\"\r\n");
  modem->servicePass();
  EXPECT_EQ(modem->btState().connectionId, 1);
}

// The worker itself: the network side asks for the link from another
// thread and sees it come up and go down; the worker stops when destroyed.
TEST(ModemControllerThread, LinkRequestedFromAnotherThread) {
  TestTree tree;
  Catalogue::GsmStatus status{tree.root};
  auto ownPort = std::make_unique<FakeModemPort>();
  FakeModemPort* port = ownPort.get();
  port->onWrite = [port](const std::vector<uint8_t>& bytes) {
    std::string text(bytes.begin(), bytes.end());
    if (text.find("AT+GSN") != std::string::npos) port->queueFrame(1, imeiAnswer);
    if (text.find("ATD") != std::string::npos) port->queueFrame(2, "\r\nCONNECT 115200\r\n");
  };
  auto milliseconds = std::make_shared<int64_t>(0);  // the worker's own clock
  std::atomic<int> kills{0};
  int peers[2] = {-1, -1};
  Sim800::Environment environment;
  environment.tree = &tree.root;
  environment.status = &status;
  environment.port = std::move(ownPort);
  environment.setPower = [](bool) {};
  environment.seconds = [milliseconds] { return *milliseconds / 1000; };
  environment.sleep = [milliseconds](int ms) { *milliseconds += ms; };
  environment.waitForInput = [milliseconds, port](int, int, int ms) {
    if (port->incoming.empty()) {
      *milliseconds += ms;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return Sim800::Readiness{};
  };
  environment.ppp.start = [&peers] {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, peers) != 0) return Platform::TerminalProgram{};
    return Platform::TerminalProgram{4242, peers[0]};
  };
  environment.ppp.ended = [](pid_t, int*) { return false; };
  environment.ppp.kill = [&kills](pid_t) { ++kills; };
  {
    CaptureStdout quiet;
    Sim800 modem(std::move(environment));
    modem.start();
    modem.wantPpp.store(true);
    auto waitFor = [&](bool up) {
      for (int i = 0; i < 5000 && modem.pppUp() != up; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return modem.pppUp() == up;
    };
    EXPECT_TRUE(waitFor(true));
    modem.wantPpp.store(false);
    EXPECT_TRUE(waitFor(false));
  }
  EXPECT_EQ(kills.load(), 1);
  if (peers[1] >= 0) close(peers[1]);
}

// "+BTSTATUS: 0" (Bluetooth off) restarts the modem: power cycle, multiplexer
// and IMEI again.
TEST(ModemControllerThread, BluetoothOffRestartsTheModem) {
  TestTree tree;
  Catalogue::GsmStatus status{tree.root};
  auto ownPort = std::make_unique<FakeModemPort>();
  FakeModemPort* port = ownPort.get();
  auto reported = std::make_shared<bool>(false);
  port->onWrite = [port, reported](const std::vector<uint8_t>& bytes) {
    std::string text(bytes.begin(), bytes.end());
    if (text.find("AT+GSN") != std::string::npos) port->queueFrame(1, imeiAnswer);
    if (text.find("AT+BTSTATUS?") != std::string::npos && !*reported) {
      *reported = true;
      port->queueFrame(1, "\r\n+BTSTATUS: 0\r\n");
    }
  };
  auto milliseconds = std::make_shared<int64_t>(0);
  std::atomic<int> powerOns{0};
  Sim800::Environment environment;
  environment.tree = &tree.root;
  environment.status = &status;
  environment.port = std::move(ownPort);
  environment.setPower = [&powerOns](bool on) { powerOns += on ? 1 : 0; };
  environment.seconds = [milliseconds] { return *milliseconds / 1000; };
  environment.sleep = [milliseconds](int ms) { *milliseconds += ms; };
  environment.waitForInput = [milliseconds, port](int, int, int ms) {
    if (port->incoming.empty()) {
      *milliseconds += ms;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return Sim800::Readiness{};
  };
  environment.ppp.start = [] { return Platform::TerminalProgram{}; };
  environment.ppp.ended = [](pid_t, int*) { return true; };
  environment.ppp.kill = [](pid_t) {};
  CaptureStdout capture;
  {
    Sim800 modem(std::move(environment));
    modem.start();
    for (int i = 0; i < 5000 && powerOns.load() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (int i = 0; i < 5000 && TestLog::linesWith(capture.text(), "Got IMEI").size() < 2; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  EXPECT_EQ(powerOns.load(), 2);
  EXPECT_EQ(TestLog::linesWith(capture.text(), "BT disabled, rebooting modem").size(), 1u);
  EXPECT_EQ(TestLog::linesWith(capture.text(), "Got IMEI: 861234567890123").size(), 2u);
}

}  // namespace
