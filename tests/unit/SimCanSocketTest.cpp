#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "CaptureStdout.h"
#include "LogLines.h"
#include "platform/Platform.h"
#include "platform/SimCanSocket.h"

namespace {

namespace fs = std::filesystem;
using Platform::SimCanSocket;

CanFrame makeFrame(uint32_t id, std::initializer_list<uint8_t> data) {
  CanFrame frame;
  frame.id = id;
  frame.length = static_cast<uint8_t>(data.size());
  size_t i = 0;
  for (uint8_t byte : data) frame.data[i++] = byte;
  return frame;
}

bool sameBytes(const CanFrame& a, const CanFrame& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A plain datagram socket, for peers that misbehave.
class RawSocket {
 public:
  RawSocket() : fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0)) {}
  ~RawSocket() {
    if (fd >= 0) close(fd);
  }
  bool bindTo(const std::string& path) {
    sockaddr_un address = addressOf(path);
    return bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ssize_t sendTo(const std::string& path, const void* bytes, size_t size) {
    sockaddr_un address = addressOf(path);
    return sendto(fd, bytes, size, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  void closeNow() {
    close(fd);
    fd = -1;
  }

 private:
  static sockaddr_un addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
  }
  int fd;
};

class SimCanBus : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/canbus-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    top = pattern;
    bus = top + "/can0";
  }
  void TearDown() override { fs::remove_all(top); }

  std::unique_ptr<SimCanSocket> join(const std::string& name, const std::string& directory = "") {
    return std::make_unique<SimCanSocket>(directory.empty() ? bus : directory, name, [this] { return now; });
  }

  int64_t now = 1000000;
  std::string top;
  std::string bus;
};

TEST_F(SimCanBus, EveryOtherEndpointGetsOneCopyAndTheSenderNone) {
  auto a = join("a");
  auto b = join("b");
  auto c = join("c");
  ASSERT_GE(a->fd(), 0);
  EXPECT_TRUE(a->openResult().bound);
  EXPECT_EQ(a->socketPath(), bus + "/a.sock");

  CanFrame sent = makeFrame(CanFrame::extendedFlag | 0x1FFF0005u, {1, 2, 3, 4, 5, 6, 7, 8});
  sent.padding[1] = 0x5A;  // every byte of the record travels
  ASSERT_TRUE(a->writeFrame(sent));

  CanFrame received;
  for (auto* peer : {b.get(), c.get()}) {
    ASSERT_TRUE(peer->readFrame(received));
    EXPECT_TRUE(sameBytes(received, sent));
    EXPECT_FALSE(peer->readFrame(received)) << "exactly one copy";
  }
  EXPECT_FALSE(a->readFrame(received)) << "no echo to the sender";

  CanFrame reply = makeFrame(0x123u | CanFrame::remoteFlag, {});
  ASSERT_TRUE(c->writeFrame(reply));
  ASSERT_TRUE(a->readFrame(received));
  EXPECT_TRUE(sameBytes(received, reply));
  ASSERT_TRUE(b->readFrame(received));
  EXPECT_FALSE(c->readFrame(received));
}

TEST_F(SimCanBus, LateJoinerIsReachedWithinASecond) {
  auto a = join("a");
  auto b = join("b");
  CanFrame frame = makeFrame(CanFrame::extendedFlag | 7, {9});
  CanFrame received;

  // A join changes the directory, which a sender notices at once.
  auto late = join("late");
  ASSERT_TRUE(a->writeFrame(frame));
  EXPECT_TRUE(late->readFrame(received));

  // The time stamp is coarse: two joins within one tick look like none. The
  // list is then read again a second after the last reading.
  struct stat before {};
  ASSERT_EQ(stat(bus.c_str(), &before), 0);
  auto later = join("later");
  timespec stamps[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, bus.c_str(), stamps, 0), 0);

  now += SimCanSocket::refreshIntervalMilliseconds - 1;
  ASSERT_TRUE(a->writeFrame(frame));
  EXPECT_TRUE(b->readFrame(received));
  EXPECT_FALSE(later->readFrame(received)) << "the list is younger than a second";
  now += 1;
  ASSERT_TRUE(a->writeFrame(frame));
  EXPECT_TRUE(later->readFrame(received));

  // A port that only listens keeps its list fresh through tick().
  EXPECT_EQ(b->peerCount(), 1u);
  b->tick();
  EXPECT_EQ(b->peerCount(), 3u);
}

TEST_F(SimCanBus, SocketFilesOfGoneEndpointsAreRemoved) {
  fs::create_directories(bus);
  RawSocket crashed;
  ASSERT_TRUE(crashed.bindTo(bus + "/crashed.sock"));
  crashed.closeNow();  // its file stays behind
  std::ofstream(bus + "/notes.sock") << "not a socket";

  auto a = join("a");
  auto b = join("b");
  EXPECT_EQ(b->peerCount(), 2u) << "a and the stale socket; never a plain file";

  ASSERT_TRUE(b->writeFrame(makeFrame(1, {})));
  EXPECT_FALSE(fs::exists(bus + "/crashed.sock"));
  EXPECT_TRUE(fs::exists(bus + "/notes.sock"));
  EXPECT_EQ(b->peerCount(), 1u) << "the list is read again at once";

  a.reset();  // leaves cleanly: its file goes with it
  EXPECT_FALSE(fs::exists(bus + "/a.sock"));
  ASSERT_TRUE(b->writeFrame(makeFrame(2, {})));
  EXPECT_EQ(b->peerCount(), 0u);
}

TEST_F(SimCanBus, DatagramsOfAnyOtherSizeAreDropped) {
  auto a = join("a");
  RawSocket sender;
  CanFrame frame = makeFrame(CanFrame::extendedFlag | 0x42, {1, 2});
  unsigned char bytes[100] = {};
  std::memcpy(bytes, &frame, sizeof frame);
  for (size_t size : {size_t{15}, size_t{17}, size_t{0}, size_t{100}}) {
    ASSERT_EQ(sender.sendTo(a->socketPath(), bytes, size), static_cast<ssize_t>(size));
  }
  ASSERT_EQ(sender.sendTo(a->socketPath(), bytes, 16), 16);

  CanFrame received;
  ASSERT_TRUE(a->readFrame(received));
  EXPECT_TRUE(sameBytes(received, frame));
  EXPECT_FALSE(a->readFrame(received));
}

// The number a test frame carries in its identifier.
CanFrame numbered(uint32_t number) { return makeFrame(CanFrame::extendedFlag | number, {}); }

// Reads what has arrived and lets the sender retry, until nothing moves any
// more; the numbers in the order they arrived.
std::vector<uint32_t> drainWhileRetrying(SimCanSocket& sender, SimCanSocket& reader) {
  std::vector<uint32_t> numbers;
  CanFrame received;
  for (;;) {
    while (reader.readFrame(received)) numbers.push_back(received.identifier());
    size_t kept = sender.pendingCopies();
    sender.tick();
    if (sender.pendingCopies() == kept) return numbers;
  }
}

std::vector<uint32_t> range(uint32_t first, uint32_t end) {
  std::vector<uint32_t> numbers;
  for (uint32_t i = first; i < end; ++i) numbers.push_back(i);
  return numbers;
}

// The clock stands still in these tests: a sender that waited for a full
// receiver would never come back, and no copy is given up before the clock
// has moved on by more than the hold time.
TEST_F(SimCanBus, ReceiverThatNeverReadsLosesItsCopiesAfterTheHoldTimeWhileOthersGetAll) {
  auto sender = join("sender");
  auto stalled = join("stalled");
  auto reader = join("reader");
  constexpr uint32_t frames = 200;
  CanFrame received;
  for (uint32_t i = 0; i < frames; ++i) {
    ASSERT_TRUE(sender->writeFrame(numbered(i)));
    ASSERT_TRUE(reader->readFrame(received)) << "frame " << i;
    EXPECT_EQ(received.identifier(), i);
  }
  size_t kept = sender->pendingCopies();
  ASSERT_GT(kept, 0u);
  ASSERT_LT(kept, size_t{frames});
  size_t queued = frames - kept;  // what the stalled receiver's queue took
  EXPECT_EQ(sender->retryWaitMilliseconds(), SimCanSocket::retryMilliseconds);

  now += SimCanSocket::refusedHoldMilliseconds;
  sender->tick();
  EXPECT_EQ(sender->pendingCopies(), kept) << "held for the whole hold time";
  EXPECT_EQ(sender->lostCopies(), 0u);

  CaptureStdout output;
  now += 1;
  sender->tick();
  EXPECT_EQ(sender->pendingCopies(), 0u);
  EXPECT_EQ(sender->lostCopies(), kept);
  EXPECT_EQ(sender->retryWaitMilliseconds(), -1) << "nothing left to retry: no more wake-ups";

  // From now on its copies are given up at the first refusal, nothing piles up.
  for (uint32_t i = frames; i < frames + 50; ++i) {
    ASSERT_TRUE(sender->writeFrame(numbered(i)));
    ASSERT_TRUE(reader->readFrame(received));
    EXPECT_EQ(received.identifier(), i);
  }
  EXPECT_EQ(sender->pendingCopies(), 0u);
  EXPECT_EQ(sender->lostCopies(), kept + 50);
  EXPECT_EQ(TestLog::linesWith(output.text(), "stalled.sock took no frame").size(), 1u) << output.text();

  // Once it reads again it gets what it had queued, then new frames as usual.
  EXPECT_EQ(drainWhileRetrying(*sender, *stalled), range(0, static_cast<uint32_t>(queued)));
  ASSERT_TRUE(sender->writeFrame(numbered(999)));
  ASSERT_TRUE(stalled->readFrame(received));
  EXPECT_EQ(received.identifier(), 999u);
}

TEST_F(SimCanBus, KeptCopiesGoOutInOrderAsASlowReceiverDrains) {
  auto sender = join("sender");
  auto slow = join("slow");
  for (uint32_t i = 0; i < 500; ++i) ASSERT_TRUE(sender->writeFrame(numbered(i)));
  EXPECT_GT(sender->pendingCopies(), 0u);
  // A frame written while copies are kept goes behind them.
  now += SimCanSocket::refusedHoldMilliseconds;
  EXPECT_EQ(drainWhileRetrying(*sender, *slow), range(0, 500));
  EXPECT_EQ(sender->pendingCopies(), 0u);
  EXPECT_EQ(sender->lostCopies(), 0u);

  // The hold time counts from the first refusal, not from the last copy
  // taken long ago: a burst after a quiet minute is held as long.
  now += 60000;
  for (uint32_t i = 0; i < 100; ++i) ASSERT_TRUE(sender->writeFrame(numbered(i)));
  now += SimCanSocket::refusedHoldMilliseconds;
  EXPECT_EQ(drainWhileRetrying(*sender, *slow), range(0, 100));
  EXPECT_EQ(sender->lostCopies(), 0u);
}

TEST_F(SimCanBus, CopiesKeptForOneReceiverAreBoundedAndTheOldestGo) {
  auto sender = join("sender");
  auto slow = join("slow");
  constexpr uint32_t frames = 3000;
  for (uint32_t i = 0; i < frames; ++i) ASSERT_TRUE(sender->writeFrame(numbered(i)));
  EXPECT_EQ(sender->pendingCopies(), SimCanSocket::pendingLimit);
  uint64_t lost = sender->lostCopies();
  uint32_t queued = frames - static_cast<uint32_t>(SimCanSocket::pendingLimit + lost);
  ASSERT_GT(queued, 0u);

  std::vector<uint32_t> expected = range(0, queued);
  std::vector<uint32_t> newest = range(frames - static_cast<uint32_t>(SimCanSocket::pendingLimit), frames);
  expected.insert(expected.end(), newest.begin(), newest.end());
  EXPECT_EQ(drainWhileRetrying(*sender, *slow), expected);
}

struct LeavingCase {
  const char* name;
  bool crashes;  // closes its socket and leaves the file behind
};

TEST_F(SimCanBus, ReceiverThatGoesMidBurstTakesItsKeptCopiesAlong) {
  const LeavingCase cases[] = {{"leaves cleanly", false}, {"crashes", true}};
  for (const LeavingCase& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(bus);
    fs::create_directories(bus);
    RawSocket crashing;
    ASSERT_TRUE(crashing.bindTo(bus + "/crashing.sock"));
    auto leaving = join("leaving");
    auto sender = join("sender");
    auto reader = join("reader");
    CanFrame received;
    for (uint32_t i = 0; i < 100; ++i) {
      ASSERT_TRUE(sender->writeFrame(numbered(i)));
      ASSERT_TRUE(reader->readFrame(received));
    }
    ASSERT_GT(sender->pendingCopies(), 0u);

    if (c.crashes) {
      leaving.reset();
      sender->tick();
      crashing.closeNow();
    } else {
      crashing.closeNow();
      sender->tick();
      leaving.reset();
    }
    sender->tick();
    EXPECT_EQ(sender->pendingCopies(), 0u);
    EXPECT_EQ(sender->lostCopies(), 0u) << "nobody is left to lose them";
    EXPECT_EQ(sender->peerCount(), 1u);
    EXPECT_FALSE(fs::exists(bus + "/crashing.sock"));
    ASSERT_TRUE(sender->writeFrame(numbered(100)));
    ASSERT_TRUE(reader->readFrame(received));
    EXPECT_EQ(received.identifier(), 100u);
  }
}

TEST_F(SimCanBus, LinkedDirectoriesAreOneBus) {
  fs::create_directories(bus);
  fs::create_directory_symlink("can0", top + "/can1");
  auto port1 = join("port1", bus);
  auto port2 = join("port2", top + "/can1");
  auto panel = join("panel", bus);

  ASSERT_TRUE(panel->writeFrame(makeFrame(5, {5})));
  CanFrame received;
  EXPECT_TRUE(port1->readFrame(received));
  EXPECT_TRUE(port2->readFrame(received));
  ASSERT_TRUE(port1->writeFrame(makeFrame(6, {6})));
  EXPECT_TRUE(port2->readFrame(received)) << "the two ports hear each other, as on the test jig";
  EXPECT_EQ(received.identifier(), 6u);
}

TEST_F(SimCanBus, RemovedBusDirectoryIsJoinedAgain) {
  auto a = join("a");
  auto b = join("b");
  int descriptor = a->fd();
  fs::remove_all(bus);

  EXPECT_TRUE(a->writeFrame(makeFrame(1, {})));  // nobody to reach, nothing breaks
  now += SimCanSocket::refreshIntervalMilliseconds;
  a->tick();
  b->tick();
  ASSERT_TRUE(fs::exists(a->socketPath()));
  EXPECT_EQ(a->fd(), descriptor) << "the poll set stays valid";

  now += SimCanSocket::refreshIntervalMilliseconds;
  ASSERT_TRUE(a->writeFrame(makeFrame(2, {})));
  CanFrame received;
  ASSERT_TRUE(b->readFrame(received));
  EXPECT_EQ(received.identifier(), 2u);
}

TEST_F(SimCanBus, NamesStayUniqueAndStaleOnesAreTakenOver) {
  fs::create_directories(bus);
  RawSocket crashed;
  ASSERT_TRUE(crashed.bindTo(bus + "/node.sock"));
  crashed.closeNow();

  auto first = join("node");
  EXPECT_EQ(first->socketPath(), bus + "/node.sock");
  auto second = join("node");
  EXPECT_EQ(second->socketPath(), bus + "/node-2.sock");
  ASSERT_TRUE(first->writeFrame(makeFrame(3, {})));
  CanFrame received;
  EXPECT_TRUE(second->readFrame(received));
}

TEST_F(SimCanBus, DeepDirectoriesAreReachedThroughTheDirectoryDescriptor) {
  std::string deep = top + "/" + std::string(60, 'd') + "/" + std::string(60, 'e') + "/can0";
  ASSERT_GT(deep.size() + std::string("/a.sock").size(), sizeof(sockaddr_un::sun_path));
  auto a = join("a", deep);
  auto b = join("b", deep);
  ASSERT_TRUE(a->openResult().bound);
  ASSERT_TRUE(b->openResult().bound);
  EXPECT_TRUE(fs::exists(deep + "/a.sock"));
  ASSERT_TRUE(a->writeFrame(makeFrame(4, {4})));
  CanFrame received;
  ASSERT_TRUE(b->readFrame(received));
  EXPECT_EQ(received.data[0], 4);
}

TEST_F(SimCanBus, PortWithoutBusIsInertUntilItCanJoin) {
  std::ofstream(top + "/blocker") << "a file where a directory belongs";
  auto port = join("port", top + "/blocker/can0");
  EXPECT_TRUE(port->openResult().socketCreated);
  EXPECT_FALSE(port->openResult().interfaceFound);
  EXPECT_FALSE(port->openResult().bound);
  EXPECT_EQ(port->fd(), -1);
  CanFrame frame = makeFrame(1, {});
  EXPECT_FALSE(port->writeFrame(frame));
  EXPECT_FALSE(port->readFrame(frame));

  fs::remove(top + "/blocker");
  port->tick();
  EXPECT_EQ(port->fd(), -1) << "retried at most once a second";
  now += SimCanSocket::refreshIntervalMilliseconds;
  port->tick();
  EXPECT_GE(port->fd(), 0);
  EXPECT_TRUE(port->openResult().bound);
}

TEST(CanSocketFactory, SimulationPortsJoinTheBusesOfTheRoot) {
  ASSERT_TRUE(Platform::simulationMode());
  auto port = Platform::openCanSocket("can0");
  auto* simulated = dynamic_cast<SimCanSocket*>(port.get());
  ASSERT_NE(simulated, nullptr);
  EXPECT_TRUE(port->openResult().bound);
  EXPECT_EQ(simulated->socketPath(),
            Platform::root() + "/run/can/can0/fieldhub-" + std::to_string(getpid()) + "-can0.sock");
}

}  // namespace
