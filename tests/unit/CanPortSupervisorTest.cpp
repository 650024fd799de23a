// The CAN port supervisor with fake ports: routing by the mode each frame
// finds, sending by mode, the outgoing ring (overflow, a refused write kept
// and retried later), the duplicate filter of the panel mode, and the
// warnings of a port that failed to open.
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "CaptureStdout.h"
#include "PanelTestSupport.h"
#include "RegistryTestTree.h"
#include "can/DuplicateFilter.h"
#include "can/canSock.h"
#include "can/svThread.h"
#include "registry/AtomicFile.h"
#include "registry/Catalogue.h"

namespace {

using PanelTest::frameOf;
using PanelTest::LogLine;
using PanelTest::textOf;

// A port whose received frames the test supplies and whose writes it sees.
// Its descriptor is an eventfd: readable while frames wait, always writable.
class FakePort : public Platform::CanSocket {
 public:
  explicit FakePort(Platform::CanOpenResult result = {true, true, true, true}) {
    opened = result;
    eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  }
  ~FakePort() override { close(eventFd); }

  int fd() const override { return eventFd; }
  bool readFrame(CanFrame& frame) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (inbox.empty()) {
      uint64_t count;
      [[maybe_unused]] ssize_t ignored = read(eventFd, &count, sizeof count);
      return false;
    }
    frame = inbox.front();
    inbox.pop_front();
    return true;
  }
  bool writeFrame(const CanFrame& frame) override {
    std::lock_guard<std::mutex> lock(mutex);
    ++writeAttempts;
    if (!accepting) return false;
    written.push_back(textOf(frame));
    return true;
  }

  void receive(const CanFrame& frame) {
    std::lock_guard<std::mutex> lock(mutex);
    inbox.push_back(frame);
    uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = write(eventFd, &one, sizeof one);
  }
  std::vector<std::string> writtenFrames() {
    std::lock_guard<std::mutex> lock(mutex);
    return written;
  }
  int attempts() {
    std::lock_guard<std::mutex> lock(mutex);
    return writeAttempts;
  }
  void accept(bool yes) {
    std::lock_guard<std::mutex> lock(mutex);
    accepting = yes;
  }
  // As a simulated port holding copies its receivers refused.
  int64_t retryWaitMilliseconds() const override { return retryWait.load(); }
  void tick() override { ticks.fetch_add(1); }
  std::atomic<int64_t> retryWait{-1};
  std::atomic<int> ticks{0};

 private:
  int eventFd;
  std::mutex mutex;
  std::deque<CanFrame> inbox;
  std::vector<std::string> written;
  int writeAttempts = 0;
  bool accepting = true;
};

class PortSupervisor : public ::testing::Test {
 protected:
  TestTree tree;
  Catalogue::Can settings{tree.root};
  PanelTest::FakeClock clock;
  FakePort* can0 = new FakePort;
  FakePort* can1 = new FakePort;
  std::mutex deliveredMutex;
  std::vector<std::string> delivered;  // "krel 80A01FE6#..." / "volmar ..."
  svThread supervisor{settings,
                      {std::make_unique<canSock>("can0", std::unique_ptr<Platform::CanSocket>(can0)),
                       std::make_unique<canSock>("can1", std::unique_ptr<Platform::CanSocket>(can1))},
                      svThread::Receivers{[this](const CanFrame& f) { deliver("krel", f); },
                                          [this](const CanFrame& f) { deliver("volmar", f); }},
                      [this] { return clock(); }};

  void deliver(const char* to, const CanFrame& frame) {
    std::lock_guard<std::mutex> lock(deliveredMutex);
    delivered.push_back(std::string(to) + " " + textOf(frame));
  }
  std::vector<std::string> deliveredFrames() {
    std::lock_guard<std::mutex> lock(deliveredMutex);
    return delivered;
  }
  // As an owner changes settings: values under the mutex, then commit, from
  // which the supervisor's lock-free copies show them.
  void configure(CanPortMode port1, CanPortMode port2, bool x2krel = false) {
    RegistryRoot::Scope scope(tree.root);
    settings.port1.value = port1;
    settings.port2.value = port2;
    settings.x2krel.value = x2krel;
    tree.root.commit(settings.port1);
  }
};

const CanPortMode off = CanPortMode::off;
const CanPortMode krel = CanPortMode::krel;
const CanPortMode volmar = CanPortMode::volmar;
const CanPortMode stored7 = static_cast<CanPortMode>(7);  // shown as "error", acts as off

struct RoutingCase {
  CanPortMode port1;
  CanPortMode port2;
  std::vector<std::string> expected;
};

TEST_F(PortSupervisor, RoutesEveryFrameByItsPortsMode) {
  const RoutingCase cases[] = {
      {krel, volmar, {"krel 80A01FE6#01", "volmar 03456600#02"}},
      {volmar, volmar, {"volmar 80A01FE6#01", "volmar 03456600#02"}},
      {off, krel, {"krel 03456600#02"}},
      {stored7, off, {}},
  };
  for (const RoutingCase& c : cases) {
    delivered.clear();
    configure(c.port1, c.port2);
    can0->receive(frameOf("80A01FE6#01"));
    can1->receive(frameOf("03456600#02"));
    supervisor.runOnce(1000);
    EXPECT_EQ(deliveredFrames(), c.expected) << EntryText<CanPortMode>::toText(c.port1) << " "
                                             << EntryText<CanPortMode>::toText(c.port2);
  }
}

TEST_F(PortSupervisor, AChangedModeAppliesFromTheNextFrame) {
  configure(krel, off);
  can0->receive(frameOf("80A01FE6#01"));
  supervisor.runOnce(1000);
  configure(volmar, off);
  can0->receive(frameOf("80A01FE6#02"));
  supervisor.runOnce(1000);
  configure(off, off);
  can0->receive(frameOf("80A01FE6#03"));
  supervisor.runOnce(1000);
  EXPECT_EQ(deliveredFrames(), (std::vector<std::string>{"krel 80A01FE6#01", "volmar 80A01FE6#02"}));
}

TEST_F(PortSupervisor, SendsOnEveryPortOfTheMode) {
  configure(volmar, volmar);
  supervisor.send(frameOf("03456600#AA"), volmar);
  supervisor.send(frameOf("80200000#"), krel);  // no krel port: dropped
  EXPECT_EQ(supervisor.port(0).queued(), 1u);
  EXPECT_EQ(supervisor.port(1).queued(), 1u);
  supervisor.runOnce(1000);
  EXPECT_EQ(can0->writtenFrames(), (std::vector<std::string>{"03456600#AA"}));
  EXPECT_EQ(can1->writtenFrames(), (std::vector<std::string>{"03456600#AA"}));

  configure(krel, volmar);
  supervisor.send(frameOf("80200000#"), krel);
  supervisor.queueFrame(1, frameOf("80200001#"));  // straight onto can1, whatever its mode
  supervisor.runOnce(1000);
  EXPECT_EQ(can0->writtenFrames(), (std::vector<std::string>{"03456600#AA", "80200000#"}));
  EXPECT_EQ(can1->writtenFrames(), (std::vector<std::string>{"03456600#AA", "80200001#"}));
}

TEST_F(PortSupervisor, KeepsRefusedFramesAndDropsThe201st) {
  configure(krel, off);
  can0->accept(false);
  CaptureStdout output;
  for (uint32_t i = 0; i < 201; ++i) supervisor.send(frameOf(textOf(CanFrame{0x80000000u | i})), krel);
  EXPECT_EQ(PanelTest::linesWith(output.text(), "Buffer overflow!"),
            (std::vector<LogLine>{{'W', "SyncRing.h", "Buffer overflow!"}}));
  EXPECT_EQ(supervisor.port(0).queued(), 200u);

  supervisor.runOnce(0);
  EXPECT_EQ(can0->attempts(), 1);
  EXPECT_EQ(supervisor.port(0).queued(), 200u);
  // A refused write is not retried at once (a full controller queue still
  // polls writable), only after the retry interval.
  supervisor.runOnce(0);
  clock.advance(svThread::writeRetryMilliseconds - 1);
  supervisor.runOnce(0);
  EXPECT_EQ(can0->attempts(), 1);

  can0->accept(true);
  clock.advance(1);
  supervisor.runOnce(0);
  std::vector<std::string> written = can0->writtenFrames();
  ASSERT_EQ(written.size(), 200u);
  for (uint32_t i = 0; i < 200; ++i) EXPECT_EQ(written[i], textOf(CanFrame{0x80000000u | i}));
  EXPECT_EQ(supervisor.port(0).queued(), 0u);
}

// A pass of the loop never sleeps past the moment a port wants to retry
// held-back writes (from tick()), whatever the loop's own time-out.
TEST_F(PortSupervisor, APortsRetryWaitCutsThePollShort) {
  can1->retryWait.store(0);
  auto started = std::chrono::steady_clock::now();
  supervisor.runOnce(600000);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::minutes(1)) << "waited out the time-out";
  EXPECT_EQ(can0->ticks.load(), 1);
  EXPECT_EQ(can1->ticks.load(), 1);
}

TEST_F(PortSupervisor, RefusesFramesNoControllerCanSend) {
  CanFrame tooLong = frameOf("80200000#0102030405060708");
  tooLong.length = 9;
  EXPECT_FALSE(supervisor.port(0).queueFrame(tooLong));
  EXPECT_TRUE(supervisor.port(0).queueFrame(frameOf("80200000#0102030405060708")));
  EXPECT_EQ(supervisor.port(0).queued(), 1u);
}

struct DuplicateCase {
  bool x2krel;
  // Arrivals: port index and milliseconds since the first.
  std::vector<std::pair<int, int>> arrivals;
  size_t delivered;
};

TEST_F(PortSupervisor, SuppressesTheSecondCopyFromTheOtherPortWhenAsked) {
  const DuplicateCase cases[] = {
      {true, {{0, 0}, {1, 10}, {0, 200}}, 2},  // the copy 10 ms later is dropped, 200 ms later delivered
      {true, {{0, 0}, {1, 10}, {1, 20}}, 2},   // the second copy made the filter forget: the third passes
      {false, {{0, 0}, {1, 10}, {0, 200}}, 3},
  };
  for (const DuplicateCase& c : cases) {
    delivered.clear();
    configure(krel, krel, c.x2krel);
    int64_t start = clock() + 1000;  // clear of earlier rows
    for (auto [port, at] : c.arrivals) {
      clock.now = start + at;
      (port == 0 ? can0 : can1)->receive(frameOf("9FFE40E0#0102030405060708"));
      supervisor.runOnce(1000);
    }
    clock.now = start + 1000;
    EXPECT_EQ(deliveredFrames().size(), c.delivered) << "x2krel " << c.x2krel;
  }
}

// A save whose flush to storage hangs (a slow flash): the first fsync waits
// until the test lets it go, or 5 s at most so a fault fails instead of hanging.
struct BlockingFlush {
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false;
  bool released = false;
};
BlockingFlush blockingFlush;

int blockingFsync(int fd) {
  std::unique_lock<std::mutex> lock(blockingFlush.mutex);
  if (!blockingFlush.entered) {
    blockingFlush.entered = true;
    blockingFlush.changed.notify_all();
    blockingFlush.changed.wait_for(lock, std::chrono::seconds(5), [] { return blockingFlush.released; });
  }
  return ::fsync(fd);
}

// Another thread can take the mutex (a recursive mutex lets its own holder in).
bool lockableFromAnotherThread(std::recursive_mutex& mutex) {
  bool taken = false;
  std::thread other([&] {
    if (mutex.try_lock()) {
      taken = true;
      mutex.unlock();
    }
  });
  other.join();
  return taken;
}

TEST_F(PortSupervisor, RoutingAndSettingsReadsGoOnWhileASaveIsBlocked) {
  configure(krel, krel);
  tree.root.setFileOperations(FileOperations{::write, blockingFsync, ::rename});
  blockingFlush.entered = false;
  blockingFlush.released = false;
  std::thread client([this] { tree.root.apply(R"({"can":{"x2krel":true}})"); });
  {
    std::unique_lock<std::mutex> lock(blockingFlush.mutex);
    ASSERT_TRUE(blockingFlush.changed.wait_for(lock, std::chrono::seconds(5), [] { return blockingFlush.entered; }));
  }

  // The save is stuck in its flush. Frames are routed with the new setting...
  can0->receive(frameOf("9FFE40E0#01"));
  supervisor.runOnce(0);
  can1->receive(frameOf("9FFE40E0#01"));
  can1->receive(frameOf("9FFE40E0#02"));
  supervisor.send(frameOf("80200000#"), krel);
  supervisor.runOnce(0);
  // ...and readers of settings get the registry mutex.
  bool readable = lockableFromAnotherThread(tree.root.mutex());
  std::string shown = tree.root.childText(0);
  bool stillBlocked;
  {
    std::lock_guard<std::mutex> lock(blockingFlush.mutex);
    stillBlocked = !blockingFlush.released;
    blockingFlush.released = true;
  }
  blockingFlush.changed.notify_all();
  client.join();

  EXPECT_TRUE(stillBlocked) << "the save ended before the checks: they prove nothing";
  EXPECT_TRUE(readable);
  EXPECT_EQ(shown, R"({"can":{"port1":"krel","port2":"krel","x2krel":true}})");
  EXPECT_EQ(deliveredFrames(), (std::vector<std::string>{"krel 9FFE40E0#01", "krel 9FFE40E0#02"}))
      << "the copy from can1 is dropped by the filter just switched on";
  EXPECT_EQ(can0->writtenFrames(), (std::vector<std::string>{"80200000#"}));
  EXPECT_EQ(can1->writtenFrames(), (std::vector<std::string>{"80200000#"}));
  EXPECT_EQ(tree.read("can"), R"({"port1":"krel","port2":"krel","x2krel":true})");
}

TEST(DuplicateFilterTest, RemembersEachFrameForFiftyMilliseconds) {
  CanFrame a = frameOf("9FFE40E0#01");
  CanFrame b = frameOf("9FFE40E0#02");
  CanFrame aPadded = a;
  aPadded.padding[0] = 1;  // the whole record counts, padding included
  struct Step {
    const CanFrame& frame;
    int64_t at;
    bool passes;
  };
  const Step steps[] = {
      {a, 0, true},   {b, 5, true},         {a, 49, false}, {a, 60, true}, {b, 60, true},
      {a, 109, false}, {aPadded, 110, true}, {a, 200, true}, {a, 250, true},
  };
  DuplicateFilter filter;
  for (const Step& step : steps) EXPECT_EQ(filter.pass(step.frame, step.at), step.passes) << "at " << step.at;
  EXPECT_EQ(filter.remembered(), 1u);  // only the copy of a from 250 ms
}

TEST(CanSockTest, ReportsEveryStepThatFailedToOpen) {
  struct Case {
    Platform::CanOpenResult result;
    std::vector<LogLine> lines;
  };
  const Case cases[] = {
      {{false, false, false, false},
       {{'W', "canSock.cpp", "socket Error"},
        {'W', "canSock.cpp", "Could get index of interface >can1<"},
        {'W', "canSock.cpp", "Could get MTU of interface >can1<"},
        {'W', "canSock.cpp", "Could not bind to CAN interface  >can1<"}}},
      {{true, true, true, false}, {{'W', "canSock.cpp", "Could not bind to CAN interface  >can1<"}}},
      {{true, true, true, true}, {}},
  };
  for (const Case& c : cases) {
    CaptureStdout output;
    canSock port("can1", std::make_unique<FakePort>(c.result));
    EXPECT_EQ(PanelTest::logLines(output.text()), c.lines);
  }
}

// Producers on other threads queue while the loop runs: every frame goes out
// once, each producer's frames in its order, and received frames are routed.
TEST_F(PortSupervisor, ProducersOnOtherThreadsWhileTheLoopRuns) {
  configure(krel, krel);
  supervisor.start();
  auto produce = [this](uint32_t producer) {
    for (uint32_t i = 0; i < 80; ++i) {
      PanelTest::eventually([&] { return supervisor.port(0).queued() < 150; });
      supervisor.send(CanFrame{0x80000000u | producer << 16 | i}, krel);
    }
  };
  std::thread first(produce, 1);
  std::thread second(produce, 2);
  for (int i = 0; i < 20; ++i) can1->receive(frameOf("9FFE40E0#" + std::string(i < 10 ? "0" : "") + std::to_string(i)));
  first.join();
  second.join();
  ASSERT_TRUE(PanelTest::eventually([&] { return can0->writtenFrames().size() == 160 && can1->writtenFrames().size() == 160; }));
  ASSERT_TRUE(PanelTest::eventually([&] { return deliveredFrames().size() == 20; }));
  for (FakePort* port : {can0, can1}) {
    uint32_t next[3] = {0, 0, 0};
    for (const std::string& text : port->writtenFrames()) {
      uint32_t id = static_cast<uint32_t>(std::stoul(text.substr(0, 8), nullptr, 16));
      uint32_t producer = (id >> 16) & 0xFF;
      ASSERT_TRUE(producer == 1 || producer == 2) << text;
      EXPECT_EQ(id & 0xFFFF, next[producer]++) << text;
    }
  }
}

}  // namespace
