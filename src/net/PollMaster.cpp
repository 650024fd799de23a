#include "net/PollMaster.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <utility>

#include "core/Event.h"
#include "core/Log.h"
#include "platform/Clock.h"
#include "platform/Platform.h"

WSConnectionManager* WSConnectionManager::instance() {
  // Never destroyed: the thread uses it until the process ends.
  static WSConnectionManager* const manager =
      new WSConnectionManager(Platform::webSocketPort(), makeClientSession, Platform::monotonicCoarseMilliseconds,
                              Platform::webSocketHost());
  return manager;
}

WSConnectionManager::WSConnectionManager(int port, WSSessionFactory makeSession, MillisecondsClock clock,
                                         std::string host)
    : port(port), host(std::move(host)), makeSession(std::move(makeSession)), milliseconds(std::move(clock)) {}

WSConnectionManager::~WSConnectionManager() {
  stop();
  connections.clear();
  if (listenFd >= 0) close(listenFd);
}

void WSConnectionManager::run() {
  alive.store(1);
  while (keepRunning.load() && !openListener()) waitForStop(1050);
  while (keepRunning.load()) serveOneCycle();
  alive.store(0);
}

bool WSConnectionManager::openListener() {
  // Close-on-exec: shell commands and pppd must not inherit the API sockets.
  // Non-blocking: a client that gives up between poll() and accept() must not
  // stall the thread.
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
  if (fd < 0) {
    LOGE("Failed to create WS socket. Retrying...");
    return false;
  }
  int one = 1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  bool hostValid = inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1;
  const char* failure = nullptr;
  std::string detail;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
    failure = "Failed to set WS socketopt. Retrying...";
  } else if (!hostValid || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    failure = "Failed to bind WS socket. Retrying...";
    detail = hostValid ? std::strerror(errno) : "not an IPv4 address";
  } else if (listen(fd, 8) != 0) {
    failure = "Failed to listen to WS socket. Retrying...";
  }
  // The port actually bound (FIELDHUB_WS_PORT may ask for any free one).
  sockaddr_in bound{};
  socklen_t boundLength = sizeof bound;
  if (failure == nullptr && getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLength) != 0) {
    failure = "Failed to read the WS socket's port. Retrying...";
  }
  if (failure != nullptr) {
    LOGE("%s", failure);
    // Which address and port, and why: "in use" needs another port, "cannot
    // assign" another address.
    if (!detail.empty()) LOGD("WS bind %s:%d: %s", host.c_str(), port, detail.c_str());
    close(fd);
    return false;
  }
  listenFd = fd;
  boundPort.store(ntohs(bound.sin_port));
  rebuildPollSet();
  LOGI("WS started");
  return true;
}

// Entry 0 is the listening socket; connection i has its socket at 2i+1 and its
// outgoing text ring at 2i+2; after those, entry 2n+1+i is the session's
// wake-up descriptor (-1, ignored by poll, for a session without one); the
// last entry is the thread's stop descriptor, so a stop ends any wait.
void WSConnectionManager::rebuildPollSet() {
  pollSet.clear();
  pollSet.push_back({listenFd, POLLIN, 0});
  for (const auto& connection : connections) {
    pollSet.push_back({connection->fd, POLLIN | POLLRDHUP, 0});
    pollSet.push_back({connection->session->outgoing().fd(), POLLIN, 0});
  }
  for (const auto& connection : connections) pollSet.push_back({connection->session->wakeDescriptor(), POLLIN, 0});
  pollSet.push_back({stopDescriptor(), POLLIN, 0});
}

int WSConnectionManager::nextWaitMilliseconds() const {
  int64_t current = milliseconds();
  int64_t wait = -1;
  auto sooner = [&wait](int64_t candidate) {
    if (candidate < 0) candidate = 0;
    if (wait < 0 || candidate < wait) wait = candidate;
  };
  for (const auto& connection : connections) {
    // A limit is over once the clock's whole seconds pass the last second on
    // time, that is at the start of the second after it.
    sooner((connection->parser.lastSecondOnTime() + 1) * 1000 - current);
    int tickIn = connection->session->tickWithinMilliseconds();
    if (tickIn >= 0) sooner(tickIn);
  }
  if (longestWait >= 0 && (wait < 0 || wait > longestWait)) wait = longestWait;
  return static_cast<int>(std::min<int64_t>(wait, INT_MAX));
}

// Texts wait in the ring until the handshake reply is out and the socket has
// taken everything queued before; their descriptor is left out of the poll
// meanwhile, so pending texts do not spin the loop.
void WSConnectionManager::updatePollEvents() {
  // A poll() cut short by a signal leaves revents as they were.
  for (pollfd& entry : pollSet) entry.revents = 0;
  for (size_t i = 0; i < connections.size(); ++i) {
    const WSConnectionContext& connection = *connections[i];
    pollSet[2 * i + 1].events = POLLIN | POLLRDHUP | (connection.outputBlocked ? POLLOUT : 0);
    bool textsWanted = connection.parser.handshakeDone() && !connection.outputBlocked;
    pollSet[2 * i + 2].events = textsWanted ? POLLIN : 0;
  }
}

int WSConnectionManager::serveOneCycle() {
  updatePollEvents();
  int ready = poll(pollSet.data(), pollSet.size(), nextWaitMilliseconds());
  for (size_t i = 0; i < connections.size(); ++i) serveConnection(i);
  bool clientWaiting = !pollSet.empty() && (pollSet[0].revents & POLLIN) != 0;
  removeDeadConnections();
  if (clientWaiting) acceptOne();
  return ready;
}

void WSConnectionManager::serveConnection(size_t index) {
  WSConnectionContext& connection = *connections[index];
  WSParser& parser = connection.parser;
  WSSession& session = *connection.session;

  if ((pollSet[2 * index + 1].revents & POLLIN) != 0) {
    uint8_t chunk[readLimit];
    ssize_t got = read(connection.fd, chunk, sizeof chunk);
    if (got > 0) parser.feed(chunk, static_cast<size_t>(got));
    auto& received = parser.receivedMessages();
    while (!received.empty()) {
      ByteBuffer message = std::move(received.front());
      received.pop_front();
      session.onText(message.text());
    }
  }

  if ((pollSet[2 * connections.size() + 1 + index].revents & POLLIN) != 0) clearEvent(session.wakeDescriptor());
  session.tick();

  WSOutgoingTexts& texts = session.outgoing();
  if (parser.handshakeDone() && !connection.outputBlocked && texts.size() != 0) {
    texts.takeUnit();
    std::string text = texts.front();
    texts.pop();
    parser.sendText(text);
  }

  flushOutput(connection);
}

// Writes the send queue oldest first without ever blocking the thread: what
// the socket does not take now stays queued until poll() reports room.
void WSConnectionManager::flushOutput(WSConnectionContext& connection) {
  auto& queue = connection.parser.outputQueue();
  connection.outputBlocked = false;
  while (!queue.empty()) {
    const ByteBuffer& head = queue.front();
    size_t rest = head.size() - connection.headWritten;
    // MSG_NOSIGNAL: a peer that already left must not raise SIGPIPE.
    ssize_t sent = send(connection.fd, head.data() + connection.headWritten, rest, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      // The peer is gone: drop the output and the connection.
      queue.clear();
      connection.headWritten = 0;
      connection.pollFlags |= POLLERR;
      return;
    }
    if (sent >= 0 && static_cast<size_t>(sent) == rest) {
      queue.pop_front();
      connection.headWritten = 0;
      continue;
    }
    if (sent > 0) connection.headWritten += static_cast<size_t>(sent);
    connection.outputBlocked = true;
    break;
  }
  if (!connection.outputBlocked) return;
  size_t pending = 0;
  for (const ByteBuffer& buffer : queue) pending += buffer.size();
  if (pending - connection.headWritten > maxPendingOutput) {
    LOGW("WS: client %d does not read, dropped", connection.fd);
    connection.pollFlags |= POLLERR;
  }
}

void WSConnectionManager::removeDeadConnections() {
  constexpr short failureBits = POLLRDHUP | POLLERR | POLLHUP | POLLNVAL;
  for (size_t i = 0; i < connections.size(); ++i) {
    connections[i]->pollFlags |= static_cast<uint16_t>(pollSet[2 * i + 1].revents & failureBits);
  }
  int64_t current = nowSeconds();
  bool removed = false;
  for (size_t i = 0; i < connections.size();) {
    WSConnectionContext& connection = *connections[i];
    const char* reason = connection.parser.failure();
    if (reason == nullptr) reason = connection.parser.overdueAt(current);
    if (reason != nullptr) LOGW("WS: client %d dropped: %s", connection.fd, reason);
    // A session that is over leaves once everything queued for it is out.
    bool finished = connection.session->wantsClose() && connection.session->outgoing().size() == 0 &&
                    connection.parser.outputQueue().empty();
    bool dead = reason != nullptr || finished || !connection.parser.isOpen() || connection.parser.idleAt(current) ||
                connection.parser.currentFrameState() == WSParser::FrameState::Closed || connection.pollFlags != 0;
    if (!dead) {
      ++i;
      continue;
    }
    LOGI("WS disconencted, id: %d", connection.fd);
    // The last connection takes the free place; the order of the rest changes.
    connections[i] = std::move(connections.back());
    connections.pop_back();
    removed = true;
  }
  if (removed) rebuildPollSet();
}

void WSConnectionManager::acceptOne() {
  sockaddr_in peer{};
  socklen_t peerLength = sizeof peer;
  int fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
  if (fd < 0) return;
  if (connections.size() >= maxConnections) {
    LOGW("WS rejected!");
    close(fd);
    return;
  }
  LOGI("WS connected, id: %d", fd);
  // Every text leaves in one write; holding small frames back for a delayed ACK
  // (Nagle) would only add latency to a client's replies.
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  char address[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
  connections.push_back(std::make_unique<WSConnectionContext>(fd, makeSession(WSClient{fd, address}),
                                                              [this] { return nowSeconds(); }, idleLimit));
  rebuildPollSet();
}
