#pragma once
// The local WebSocket API server. One worker thread owns the listening socket
// and every client socket: it accepts up to 16 clients, feeds received bytes
// to each client's protocol parser, hands complete texts to the client's
// session, sends what the session queued and drops closed, failed or idle
// connections. All socket I/O of the API happens in this thread.
#include <poll.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
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
  static constexpr int pollTimeoutMilliseconds = 100;
  // A client that leaves this much unsent output (pongs to its own pings) is
  // dropped rather than buffered without bound.
  static constexpr size_t maxPendingOutput = 65536;

  // The process-wide server on the API port; created on first use.
  static WSConnectionManager* instance();

  // port 0 listens on any free port (see listeningPort()).
  WSConnectionManager(int port, WSSessionFactory makeSession, WSParser::SecondsClock clock);
  ~WSConnectionManager() override;

  // One attempt to set up the listening socket; a failed step is logged.
  bool openListener();
  // One poll cycle: serve every connection once, drop the dead ones, accept at
  // most one new client. Returns what poll() returned.
  int serveOneCycle();

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

  int port;
  WSSessionFactory makeSession;
  WSParser::SecondsClock now;
  std::vector<std::unique_ptr<WSConnectionContext>> connections;
  std::vector<pollfd> pollSet;
  int listenFd = -1;
  std::atomic<int> boundPort{0};
};
