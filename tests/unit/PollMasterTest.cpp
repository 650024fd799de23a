// The WebSocket server's rules, driven one poll cycle at a time from the test
// with real loopback clients, probe sessions and a clock the test sets.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CaptureStdout.h"
#include "core/Event.h"
#include "net/PollMaster.h"
#include "platform/Clock.h"

namespace {

const std::string handshakeRequest =
    "GET / HTTP/1.1\r\nHost: hub\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
const std::string handshakeReply =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
const std::string greeting = "hello client";

// What one session saw; shared by the test and the session.
struct SessionProbe {
  WSOutgoingTexts texts;
  std::vector<std::string> received;  // read by single-threaded tests only
  std::atomic<int> ticks{0};
  std::atomic<bool> destroyed{false};
  std::atomic<int> tickWithin{-1};  // what the session asks of the server's wait
  std::atomic<bool> over{false};    // the session wants its connection closed
};

// Greets the client, records what it sends and answers "echo X" with "X".
class ProbeSession : public WSSession {
 public:
  explicit ProbeSession(std::shared_ptr<SessionProbe> probe) : probe(std::move(probe)) {
    this->probe->texts.push(greeting);
  }
  ~ProbeSession() override { probe->destroyed = true; }
  void onText(const char* text) override {
    probe->received.emplace_back(text);
    std::string message = text;
    if (message.rfind("echo ", 0) == 0) probe->texts.push(message.substr(5));
  }
  void tick() override { probe->ticks.fetch_add(1); }
  WSOutgoingTexts& outgoing() override { return probe->texts; }
  int tickWithinMilliseconds() override { return probe->tickWithin.load(); }
  bool wantsClose() const override { return probe->over.load(); }

 private:
  std::shared_ptr<SessionProbe> probe;
};

// A client frame, masked as clients must (RFC 6455, section 5.3).
std::string clientFrame(uint8_t first, const std::string& payload) {
  const uint8_t mask[4] = {0x11, 0x22, 0x33, 0x44};
  std::string frame(1, static_cast<char>(first));
  if (payload.size() < 126) {
    frame += static_cast<char>(0x80 | payload.size());
  } else {
    frame += static_cast<char>(0x80 | 126);
    frame += static_cast<char>(payload.size() >> 8);
    frame += static_cast<char>(payload.size() & 0xFF);
  }
  frame.append(reinterpret_cast<const char*>(mask), 4);
  for (size_t i = 0; i < payload.size(); ++i) frame += static_cast<char>(payload[i] ^ mask[i % 4]);
  return frame;
}

std::string textFrame(const std::string& text) { return clientFrame(0x81, text); }

// A server frame as it must arrive: unmasked, 7- or 16-bit length.
std::string serverFrame(uint8_t first, const std::string& payload) {
  std::string frame(1, static_cast<char>(first));
  if (payload.size() < 126) {
    frame += static_cast<char>(payload.size());
  } else {
    frame += static_cast<char>(126);
    frame += static_cast<char>(payload.size() >> 8);
    frame += static_cast<char>(payload.size() & 0xFF);
  }
  return frame + payload;
}

std::string pattern(size_t length, char first) {
  std::string text;
  for (size_t i = 0; i < length; ++i) text += static_cast<char>(first + i % 26);
  return text;
}

int connectTo(int port, int receiveBuffer = 0) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void sendAll(int fd, const std::string& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    ssize_t sent = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (sent <= 0) return;
    at += static_cast<size_t>(sent);
  }
}

// Everything that has arrived, without waiting. eof is set when the peer closed.
std::string readAvailable(int fd, bool* eof = nullptr) {
  std::string bytes;
  char chunk[65536];
  for (;;) {
    ssize_t got = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (got > 0) {
      bytes.append(chunk, static_cast<size_t>(got));
      continue;
    }
    if (eof != nullptr) *eof = got == 0;
    return bytes;
  }
}

// Waits up to two seconds, without serving, until length bytes have arrived.
std::string awaitBytes(int fd, size_t length) {
  std::string bytes;
  for (int i = 0; i < 200 && bytes.size() < length; ++i) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, 10) == 1) bytes += readAvailable(fd);
  }
  return bytes;
}

int countOccurrences(const std::string& text, const std::string& word) {
  int count = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++count;
  return count;
}

// Ends the test program when a step that must not block does block.
class Watchdog {
 public:
  explicit Watchdog(int seconds)
      : guard([this, seconds] {
          std::unique_lock<std::mutex> lock(mutex);
          if (!cv.wait_for(lock, std::chrono::seconds(seconds), [this] { return done; })) {
            std::fprintf(stderr, "watchdog: the server thread blocked\n");
            std::_Exit(3);
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      done = true;
    }
    cv.notify_all();
    guard.join();
  }

 private:
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  std::thread guard;
};

class PollMasterTest : public ::testing::Test {
 protected:
  CaptureStdout capture;
  std::vector<std::shared_ptr<SessionProbe>> probes;
  std::vector<int> clients;
  std::vector<WSClient> sessionClients;
  // Seconds; the manager's clock gives milliseconds.
  int64_t now = 5000;
  int64_t extraMilliseconds = 0;
  WSConnectionManager manager{0,
                              [this](const WSClient& client) {
                                sessionClients.push_back(client);
                                probes.push_back(std::make_shared<SessionProbe>());
                                return std::make_unique<ProbeSession>(probes.back());
                              },
                              [this] { return now * 1000 + extraMilliseconds; }};

  void SetUp() override {
    ASSERT_TRUE(manager.openListener());
    // The test's clock stands still: a cycle must not sleep until a limit.
    manager.limitWait(100);
  }
  void TearDown() override {
    for (int fd : clients) close(fd);
    // The capture also swallowed the failure messages: show them with the log.
    if (HasFailure()) std::fputs(capture.text().c_str(), stderr);
  }

  // Cycles until the condition holds; false after maxCycles.
  bool cycleUntil(const std::function<bool()>& condition, int maxCycles = 50) {
    for (int i = 0; i < maxCycles; ++i) {
      if (condition()) return true;
      manager.serveOneCycle();
    }
    return condition();
  }

  // A connected and accepted client; its server-side id is returned in id.
  int connectClient(int* id = nullptr, int receiveBuffer = 0) {
    size_t before = manager.connectionCount();
    int fd = connectTo(manager.listeningPort(), receiveBuffer);
    EXPECT_GE(fd, 0);
    clients.push_back(fd);
    EXPECT_TRUE(cycleUntil([&] { return manager.connectionCount() > before; }));
    if (id != nullptr) *id = lastConnectedId();
    return fd;
  }

  // A client past the handshake whose greeting has been read.
  int openClient(int* id = nullptr, int receiveBuffer = 0) {
    int fd = connectClient(id, receiveBuffer);
    sendAll(fd, handshakeRequest);
    EXPECT_EQ(readUntil(fd, handshakeReply.size() + 2 + greeting.size()), handshakeReply + serverFrame(0x81, greeting));
    return fd;
  }

  // Cycles until at least length bytes arrived on fd; returns them.
  std::string readUntil(int fd, size_t length) {
    std::string bytes;
    cycleUntil([&] {
      bytes += readAvailable(fd);
      return bytes.size() >= length;
    });
    return bytes;
  }

  bool closedByServer(int fd) {
    return cycleUntil([&] {
      bool eof = false;
      readAvailable(fd, &eof);
      return eof;
    });
  }

  int lastConnectedId() {
    static const std::string connected = "WS connected, id: ";
    std::string log = capture.text();
    size_t at = log.rfind(connected);
    return at == std::string::npos ? -1 : std::atoi(log.c_str() + at + connected.size());
  }

  std::string disconnected(int id) { return "WS disconencted, id: " + std::to_string(id); }
};

TEST_F(PollMasterTest, NothingGoesOutBeforeTheHandshakeReplyAndWaitingTextsDoNotSpin) {
  int fd = connectClient();
  ASSERT_EQ(probes.size(), 1u);
  EXPECT_EQ(probes[0]->texts.size(), 1u) << "the greeting waits in the ring";
  EXPECT_EQ(manager.serveOneCycle(), 0) << "a waiting greeting must not wake the poll";
  EXPECT_EQ(readAvailable(fd), "");

  sendAll(fd, handshakeRequest);
  manager.serveOneCycle();
  EXPECT_EQ(readAvailable(fd), handshakeReply + serverFrame(0x81, greeting)) << "reply and greeting in one cycle";
}

TEST_F(PollMasterTest, TextsReachTheSessionInOrderAndOneQueuedTextLeavesPerCycle) {
  int fd = openClient();
  SessionProbe& probe = *probes[0];
  sendAll(fd, textFrame("first") + textFrame("") + textFrame("third"));
  ASSERT_TRUE(cycleUntil([&] { return probe.received.size() == 3; }));
  EXPECT_EQ(probe.received, (std::vector<std::string>{"first", "", "third"}));

  probe.texts.push("one");
  probe.texts.push("");  // taken but sends nothing
  probe.texts.push("three");
  int ticks = probe.ticks.load();
  manager.serveOneCycle();
  EXPECT_EQ(awaitBytes(fd, 5), serverFrame(0x81, "one"));
  manager.serveOneCycle();
  EXPECT_EQ(readAvailable(fd), "");
  manager.serveOneCycle();
  EXPECT_EQ(awaitBytes(fd, 7), serverFrame(0x81, "three"));
  EXPECT_EQ(probe.ticks.load(), ticks + 3) << "one tick per cycle";
  EXPECT_EQ(probe.texts.size(), 0u);
}

TEST_F(PollMasterTest, ReadsAtMost2000BytesPerConnectionAndCycle) {
  int fd = openClient();
  SessionProbe& probe = *probes[0];
  // Eight masked 500-byte texts, 508 bytes each on the wire: 2000 bytes hold
  // three whole frames, 4000 bytes seven.
  std::string burst;
  for (char c = 'a'; c < 'a' + 8; ++c) burst += textFrame(std::string(500, c));
  sendAll(fd, burst);
  const size_t expected[] = {3, 7, 8};
  for (size_t messages : expected) {
    manager.serveOneCycle();
    EXPECT_EQ(probe.received.size(), messages);
  }
  EXPECT_EQ(probe.received.back(), std::string(500, 'h'));
}

TEST_F(PollMasterTest, OneAcceptPerCycleAndThe17thClientIsRejected) {
  int first = openClient();
  int second = connectTo(manager.listeningPort());
  int third = connectTo(manager.listeningPort());
  clients.push_back(second);
  clients.push_back(third);
  manager.serveOneCycle();
  EXPECT_EQ(manager.connectionCount(), 2u);
  manager.serveOneCycle();
  EXPECT_EQ(manager.connectionCount(), 3u);

  while (manager.connectionCount() < WSConnectionManager::maxConnections) connectClient();
  EXPECT_EQ(countOccurrences(capture.text(), "WS rejected!"), 0);

  int rejected = connectTo(manager.listeningPort());
  clients.push_back(rejected);
  EXPECT_TRUE(closedByServer(rejected));
  EXPECT_EQ(countOccurrences(capture.text(), "WS rejected!"), 1);
  EXPECT_EQ(manager.connectionCount(), 16u);
  EXPECT_EQ(probes.size(), 16u) << "no session for a rejected client";

  sendAll(first, clientFrame(0x89, "still here"));
  EXPECT_EQ(readUntil(first, 12), serverFrame(0x8A, "still here"));
}

TEST_F(PollMasterTest, IdleLimitIsThirtySecondsAfterTheLastByte) {
  int silentId = -1;
  int silent = openClient(&silentId);  // at 5000, then sends nothing
  int busyId = -1;
  int busy = connectClient(&busyId);
  now = 5010;
  sendAll(busy, handshakeRequest);
  readUntil(busy, handshakeReply.size());

  now = 5030;
  manager.serveOneCycle();
  EXPECT_EQ(manager.connectionCount(), 2u) << "30 s without a byte is still allowed";
  now = 5031;
  manager.serveOneCycle();
  EXPECT_EQ(manager.connectionCount(), 1u);
  EXPECT_EQ(countOccurrences(capture.text(), disconnected(silentId)), 1);
  EXPECT_TRUE(closedByServer(silent));
  EXPECT_TRUE(probes[0]->destroyed);

  now = 5040;
  manager.serveOneCycle();
  EXPECT_EQ(manager.connectionCount(), 1u);
  now = 5041;
  manager.serveOneCycle();
  EXPECT_EQ(manager.connectionCount(), 0u);
  EXPECT_EQ(countOccurrences(capture.text(), disconnected(busyId)), 1);
}

TEST_F(PollMasterTest, ProtocolEndsRemoveTheConnectionInTheSameCycle) {
  struct Case {
    const char* name;
    std::string bytes;  // sent after the handshake unless it is the request itself
    bool handshake;
    std::string reply;  // what the client reads before the end
  };
  const Case cases[] = {
      {"refused handshake", "GET / HTTP/1.1\r\nHost: hub\r\n\r\n", false,
       "HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n"},
      {"close frame", textFrame("bye") + clientFrame(0x88, ""), true, ""},
      {"binary frame", clientFrame(0x82, "bin"), true, ""},
      {"64-bit length", std::string("\x81\xff\0\0\0\0\0\0\0\x05", 10), true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int id = -1;
    int fd = c.handshake ? openClient(&id) : connectClient(&id);
    sendAll(fd, c.bytes);
    manager.serveOneCycle();
    EXPECT_EQ(manager.connectionCount(), 0u) << "removed in the cycle that read the bytes";
    EXPECT_EQ(countOccurrences(capture.text(), disconnected(id)), 1);
    bool eof = false;
    EXPECT_EQ(readAvailable(fd, &eof), c.reply);
    EXPECT_TRUE(eof);
  }
}

TEST_F(PollMasterTest, HangUpIsRemovedAtOnceAndSurvivorsKeepBeingServed) {
  int ids[4];
  int fds[4];
  for (int i = 0; i < 4; ++i) fds[i] = openClient(&ids[i]);
  shutdown(fds[0], SHUT_RDWR);
  shutdown(fds[2], SHUT_RDWR);
  ASSERT_TRUE(cycleUntil([&] { return manager.connectionCount() == 2; }, 3)) << "no idle wait for a hang-up";
  EXPECT_EQ(countOccurrences(capture.text(), disconnected(ids[0])), 1);
  EXPECT_EQ(countOccurrences(capture.text(), disconnected(ids[2])), 1);
  EXPECT_TRUE(probes[0]->destroyed && probes[2]->destroyed);
  EXPECT_FALSE(probes[1]->destroyed || probes[3]->destroyed);

  // The last connection moved into a free place: both still get their texts
  // and their pongs.
  for (int i : {1, 3}) {
    probes[i]->texts.push("for " + std::to_string(i));
    sendAll(fds[i], clientFrame(0x89, "p" + std::to_string(i)));
  }
  for (int i : {1, 3}) {
    std::string expected = serverFrame(0x8A, "p" + std::to_string(i)) + serverFrame(0x81, "for " + std::to_string(i));
    EXPECT_EQ(readUntil(fds[i], expected.size()), expected) << i;
  }
}

TEST_F(PollMasterTest, ClientResetWhileATextIsQueuedEndsQuietly) {
  int id = -1;
  int fd = openClient(&id);
  linger reset{1, 0};  // close() sends a reset
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  close(fd);
  clients.clear();
  probes[0]->texts.push("answer for a client that is gone");
  probes[0]->texts.push("and another");
  // A write to the reset socket raises SIGPIPE unless the server suppresses it.
  ASSERT_TRUE(cycleUntil([&] { return manager.connectionCount() == 0; }, 3));
  EXPECT_EQ(countOccurrences(capture.text(), disconnected(id)), 1);
}

TEST_F(PollMasterTest, ClientThatDoesNotReadStallsNobodyAndIsDroppedWhenItFloods) {
  Watchdog watchdog(60);
  int slowId = -1;
  int slow = openClient(&slowId, 4096);
  SessionProbe& slowProbe = *probes[0];
  const std::string big = pattern(60000, 'A');

  // Keep the ring full until the socket stops taking texts.
  int quietCycles = 0;
  size_t textsSent = 0;
  for (int cycle = 0; cycle < 2000 && quietCycles < 5; ++cycle) {
    while (slowProbe.texts.size() < WSOutgoingTexts::capacity()) slowProbe.texts.push(big);
    manager.serveOneCycle();
    bool taken = slowProbe.texts.size() < WSOutgoingTexts::capacity();
    textsSent += taken ? 1 : 0;
    quietCycles = taken ? 0 : quietCycles + 1;
  }
  ASSERT_EQ(quietCycles, 5) << "the slow client's socket never filled";

  // Another client is served meanwhile.
  int other = openClient();
  sendAll(other, clientFrame(0x89, "ping"));
  EXPECT_EQ(readUntil(other, 6), serverFrame(0x8A, "ping"));

  // The slow client reads at last: every frame arrives whole, in order, though
  // the socket took some of them piece by piece.
  std::string stream;
  const std::string frame = serverFrame(0x81, big);
  size_t wanted = (textsSent + 1) * frame.size();  // one more is taken once room appears
  ASSERT_TRUE(cycleUntil(
      [&] {
        stream += readAvailable(slow);
        return stream.size() >= wanted;
      },
      5000));
  for (size_t at = 0; at + frame.size() <= stream.size(); at += frame.size()) {
    ASSERT_EQ(stream.compare(at, frame.size(), frame), 0) << "frame at " << at;
  }

  // Fill its socket again, then let it send pings without reading the pongs:
  // the pending pongs are capped and the client dropped.
  quietCycles = 0;
  for (int cycle = 0; cycle < 2000 && quietCycles < 5; ++cycle) {
    while (slowProbe.texts.size() < WSOutgoingTexts::capacity()) slowProbe.texts.push(big);
    manager.serveOneCycle();
    quietCycles = slowProbe.texts.size() < WSOutgoingTexts::capacity() ? 0 : quietCycles + 1;
  }
  const std::string ping = clientFrame(0x89, pattern(125, 'a'));
  std::string pings;
  for (int i = 0; i < 16; ++i) pings += ping;
  ASSERT_TRUE(cycleUntil(
      [&] {
        send(slow, pings.data(), pings.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        return countOccurrences(capture.text(), disconnected(slowId)) == 1;
      },
      20000));
  EXPECT_EQ(countOccurrences(capture.text(), "does not read, dropped"), 1);
  sendAll(other, clientFrame(0x89, "again"));
  EXPECT_EQ(readUntil(other, 7), serverFrame(0x8A, "again"));
}

// Clients that trickle bytes lose their place: the handshake must be complete
// 10 s after accept, the request must end within 4 KiB, and a frame must be
// complete 10 s after its first byte, however often bytes come meanwhile.
TEST_F(PollMasterTest, SlowHandshakesOverlongRequestsAndTricklingFramesAreDropped) {
  struct Case {
    const char* reason;
    bool handshake;            // the client first completes the handshake
    std::string bytes;         // then sends these, a byte a second
    int64_t droppedAfter;      // seconds after the first byte; 0: at once
  };
  const Case cases[] = {
      {"handshake not complete after 10 s", false, "GET / HTTP/1.1\r\nHost: hub\r\nUpgrade: websocket\r\n", 11},
      {"frame not complete after 10 s", true, textFrame(std::string(40, 'x')), 11},
      {"request over 4 KiB without its end", false, "GET / HTTP/1.1\r\n" + std::string(4100, 'h'), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    now = 5000;
    int id = -1;
    int fd = c.handshake ? openClient(&id) : connectClient(&id);
    std::string reason = "WS: client " + std::to_string(id) + " dropped: " + c.reason;
    if (c.droppedAfter == 0) {
      sendAll(fd, c.bytes);
      EXPECT_TRUE(closedByServer(fd));
      EXPECT_NE(capture.text().find("[W]"), std::string::npos);
      EXPECT_EQ(countOccurrences(capture.text(), reason), 1);
      continue;
    }
    for (int64_t second = 0; second < c.droppedAfter; ++second) {
      now = 5000 + second;
      sendAll(fd, c.bytes.substr(static_cast<size_t>(second), 1));
      manager.serveOneCycle();
      manager.serveOneCycle();
      ASSERT_EQ(manager.connectionCount(), 1u) << "still on time at +" << second << " s";
    }
    now = 5000 + c.droppedAfter;
    manager.serveOneCycle();
    EXPECT_EQ(manager.connectionCount(), 0u);
    EXPECT_EQ(countOccurrences(capture.text(), reason), 1);
    EXPECT_TRUE(closedByServer(fd));
  }
}

// The server sleeps until the earliest limit of any connection or session;
// with no connection it sleeps until something happens.
TEST_F(PollMasterTest, TheWaitEndsAtTheEarliestLimit) {
  manager.limitWait(-1);
  EXPECT_EQ(manager.nextWaitMilliseconds(), -1);
  extraMilliseconds = 400;
  int fd = connectClient();
  // Accepted at 5000.4 s: the handshake limit ends at the start of second 5011.
  EXPECT_EQ(manager.nextWaitMilliseconds(), 10600);
  sendAll(fd, handshakeRequest);
  readUntil(fd, handshakeReply.size() + 2 + greeting.size());
  EXPECT_EQ(manager.nextWaitMilliseconds(), 30600) << "the idle limit";
  sendAll(fd, std::string(1, '\x81'));
  cycleUntil([&] { return manager.nextWaitMilliseconds() == 10600; });
  EXPECT_EQ(manager.nextWaitMilliseconds(), 10600) << "a frame begun";
  probes[0]->tickWithin = 250;
  EXPECT_EQ(manager.nextWaitMilliseconds(), 250) << "the session's own time";
  probes[0]->tickWithin = 0;
  EXPECT_EQ(manager.nextWaitMilliseconds(), 0);
}

TEST_F(PollMasterTest, ASessionThatIsOverLeavesOnceItsTextsAreOut) {
  int id = -1;
  int fd = openClient(&id);
  probes[0]->texts.push("first");
  probes[0]->texts.push("last");
  probes[0]->over = true;
  EXPECT_EQ(readUntil(fd, 13), serverFrame(0x81, "first") + serverFrame(0x81, "last"));
  EXPECT_TRUE(closedByServer(fd));
  EXPECT_EQ(countOccurrences(capture.text(), disconnected(id)), 1);
  EXPECT_EQ(sessionClients.back().id, id);
  EXPECT_EQ(sessionClients.back().address, "127.0.0.1");
}

TEST(PollMasterListener, BindFailureIsLoggedAndTheNextAttemptSucceeds) {
  int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  socklen_t length = sizeof address;
  getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
  int port = ntohs(address.sin_port);

  CaptureStdout capture;
  WSConnectionManager manager(port, makeClientSession, [] { return int64_t{0}; });
  EXPECT_FALSE(manager.openListener());
  EXPECT_EQ(manager.listeningPort(), 0);
  EXPECT_NE(capture.text().find("[E]"), std::string::npos);
  EXPECT_NE(capture.text().find("Failed to bind WS socket. Retrying..."), std::string::npos);
  // The line after it says which port and why.
  std::string detail = "WS bind 0.0.0.0:" + std::to_string(port) + ": Address already in use";
  EXPECT_NE(capture.text().find(detail), std::string::npos);
  EXPECT_LT(capture.text().find("Failed to bind"), capture.text().find(detail));
  EXPECT_EQ(capture.text().find("WS started"), std::string::npos);

  close(holder);
  EXPECT_TRUE(manager.openListener());
  EXPECT_EQ(manager.listeningPort(), port);
  EXPECT_NE(capture.text().find("WS started"), std::string::npos);

  // A listening address that is no IPv4 address fails the same way.
  WSConnectionManager misnamed(0, makeClientSession, [] { return int64_t{0}; }, "localhost");
  EXPECT_FALSE(misnamed.openListener());
  EXPECT_NE(capture.text().find("WS bind localhost:0: not an IPv4 address"), std::string::npos);
}

bool readFrom(int fd, std::string& into, size_t length) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (into.size() < length && std::chrono::steady_clock::now() < deadline) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, 100) == 1) {
      bool eof = false;
      into += readAvailable(fd, &eof);
      if (eof) return false;
    }
  }
  return into.size() >= length;
}

// The server on its own thread while other threads queue texts for a client,
// as meter-record producers do.
TEST(PollMasterThread, ServesClientsWhileOtherThreadsQueueTexts) {
  std::mutex probesMutex;
  std::vector<std::shared_ptr<SessionProbe>> probes;
  auto manager = std::make_unique<WSConnectionManager>(
      0,
      [&](const WSClient&) {
        auto probe = std::make_shared<SessionProbe>();
        std::lock_guard<std::mutex> lock(probesMutex);
        probes.push_back(probe);
        return std::make_unique<ProbeSession>(probe);
      },
      Platform::monotonicCoarseMilliseconds);
  CaptureStdout capture;
  manager->start();
  for (int i = 0; i < 500 && manager->listeningPort() == 0; ++i) msleep(10);
  ASSERT_NE(manager->listeningPort(), 0);

  constexpr int clientCount = 3;
  constexpr int textsPerClient = 15;  // fewer than the ring holds: none is lost
  int fds[clientCount];
  std::vector<std::shared_ptr<SessionProbe>> mine;
  for (int c = 0; c < clientCount; ++c) {
    fds[c] = connectTo(manager->listeningPort());
    ASSERT_GE(fds[c], 0);
    sendAll(fds[c], handshakeRequest);
    std::string bytes;
    std::string expected = handshakeReply + serverFrame(0x81, greeting);
    ASSERT_TRUE(readFrom(fds[c], bytes, expected.size()));
    EXPECT_EQ(bytes, expected);
    std::lock_guard<std::mutex> lock(probesMutex);
    mine.push_back(probes.back());
  }

  std::vector<std::thread> producers;
  for (int c = 0; c < clientCount; ++c) {
    producers.emplace_back([&mine, c] {
      for (int t = 0; t < textsPerClient; ++t) mine[c]->texts.push("record " + std::to_string(t));
    });
  }
  for (std::thread& producer : producers) producer.join();
  for (int c = 0; c < clientCount; ++c) {
    std::string expected;
    for (int t = 0; t < textsPerClient; ++t) expected += serverFrame(0x81, "record " + std::to_string(t));
    sendAll(fds[c], textFrame("echo done"));
    expected += serverFrame(0x81, "done");
    std::string bytes;
    EXPECT_TRUE(readFrom(fds[c], bytes, expected.size()));
    EXPECT_EQ(bytes, expected) << c;
  }

  for (int fd : fds) close(fd);
  for (int i = 0; i < 500 && countOccurrences(capture.text(), "WS disconencted") < clientCount; ++i) msleep(10);
  EXPECT_EQ(countOccurrences(capture.text(), "WS disconencted"), clientCount);
  manager->stop();
  for (auto& probe : mine) EXPECT_TRUE(probe->destroyed);
}

}  // namespace
