#pragma once
// The local WebSocket API server. One worker thread owns the listening socket
// and every client socket: it accepts up to 16 clients, feeds received bytes
// to each client's protocol parser, hands complete texts to the client's
// session, sends what the session queued and drops closed, failed or idle
// connections. All socket I/O of the API happens in this thread.
//
// The thread sleeps until there is work: a client's bytes, a text queued for
// a client, a session's wake-up, or the next time limit of a connection
// (idle 30 s after its last byte, handshake 10 s after accept, a frame 10 s
// after its first byte) or of a session (a held-back login answer).
#include <poll.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/Thread.h"
#include "net/WSConnectionContext.h"
#include "net/WSParser.h"
#include "net/WSSession.h"

class WSConnectionManager : public Thread {
 public:
  static constexpr size_t maxConnections = 16;
  static constexpr int32_t idleLimit = 30;
  static constexpr size_t readLimit = 2000;
  // A client that leaves this much unsent output (pongs to its own pings) is
  // dropped rather than buffered without bound.
  static constexpr size_t maxPendingOutput = 65536;

  // The process-wide server on the API port; created on first use.
  static WSConnectionManager* instance();

  // Milliseconds of a monotonic clock; the connections' limits use its whole
  // seconds.
  using MillisecondsClock = std::function<int64_t()>;

  // port 0 listens on any free port (see listeningPort()); host is the IPv4
  // address to listen on.
  WSConnectionManager(int port, WSSessionFactory makeSession, MillisecondsClock clock,
                      std::string host = "0.0.0.0");
  ~WSConnectionManager() override;

  // One attempt to set up the listening socket; a failed step is logged.
  bool openListener();
  // One poll cycle: wait for work (at most until the next time limit), serve
  // every connection once, drop the dead ones, accept at most one new client.
  // Returns what poll() returned.
  int serveOneCycle();
  // How long the next cycle may sleep: until the earliest time limit of a
  // connection or session; -1 without one.
  int nextWaitMilliseconds() const;
  // Caps every wait (tests drive cycles with a clock of their own); -1: no cap.
  void limitWait(int milliseconds) { longestWait = milliseconds; }

  // The bound port once listening, 0 before.
  int listeningPort() const { return boundPort.load(); }
  // Open connections; only the serving thread may ask.
  size_t connectionCount() const { return connections.size(); }

 protected:
  void run() override;

 private:
  void rebuildPollSet();
  void updatePollEvents();
  void serveConnection(size_t index);
  void flushOutput(WSConnectionContext& connection);
  void removeDeadConnections();
  void acceptOne();

  int64_t nowSeconds() const { return milliseconds() / 1000; }

  int port;
  std::string host;
  WSSessionFactory makeSession;
  MillisecondsClock milliseconds;
  int longestWait = -1;
  std::vector<std::unique_ptr<WSConnectionContext>> connections;
  std::vector<pollfd> pollSet;
  int listenFd = -1;
  std::atomic<int> boundPort{0};
};
