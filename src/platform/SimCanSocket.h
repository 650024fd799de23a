#pragma once
// An endpoint of the simulated CAN bus. A bus is a directory; every endpoint
// on it (a fieldhub port, a simulated panel node or radio receiver) is a Unix
// datagram socket bound to a file <bus>/<name>.sock. One frame is one 16-byte
// datagram in the CanFrame layout; datagrams of any other size are dropped.
//
// Sending delivers one copy to every other endpoint of the directory, never
// back to the sender, each with a non-blocking send. A receiver's datagram
// queue may hold as few as 11 frames where a SocketCAN reader buffers
// hundreds, so a copy it refuses (EAGAIN) is kept for it, in order, and tried
// again on the owner's next passes (tick()); only a receiver that has taken
// nothing for refusedHoldMilliseconds loses its copies, as a SocketCAN reader
// with a full buffer does. Nothing here ever waits for a receiver. A socket
// file whose owner is gone (ECONNREFUSED) is removed. The list of endpoints is
// read again when a send fails with ENOENT or ECONNREFUSED, when the
// directory's modification time moved, and at least once a second (the time
// stamp is coarse), so endpoints that join later are reached. A symlink
// between two bus directories makes them one bus (can1 -> can0 is the factory
// test jig).
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <time.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/CanSocket.h"

namespace Platform {

class SimCanSocket final : public CanSocket {
 public:
  // Milliseconds of a monotonic clock.
  using Clock = std::function<int64_t()>;
  static constexpr int64_t refreshIntervalMilliseconds = 1000;
  // A receiver that has taken no copy for longer than this loses what is
  // kept for it, and further copies are given up at their first refusal
  // until it takes one again. "Longer than": a coarse clock's tick must not
  // shorten the time a reader is given.
  static constexpr int64_t refusedHoldMilliseconds = 20;
  // Kept copies are tried again this often. A datagram socket that is not
  // connected cannot be polled for room at one peer, so a timer it is.
  static constexpr int64_t retryMilliseconds = 1;
  // Copies kept for one receiver at most; the oldest is lost for a new one.
  static constexpr size_t pendingLimit = 1000;

  // Joins the bus in busDirectory (made when missing) as <name>.sock; a name
  // that a live endpoint already holds gets a "-2", "-3", ... suffix.
  SimCanSocket(std::string busDirectory, std::string name, Clock now);
  ~SimCanSocket() override;

  int fd() const override { return socketFd; }
  bool readFrame(CanFrame& frame) override;
  // Always true on a joined bus, whether or not any copy was delivered: a CAN
  // controller, too, takes a frame without knowing who hears it. A receiver
  // that still has copies kept gets this one behind them.
  bool writeFrame(const CanFrame& frame) override;
  // Tries the kept copies again; re-reads the endpoint list when it is a
  // second old or the directory changed, joins again when the bus directory
  // was removed (and makes it anew), retries a failed join once a second.
  void tick() override;
  // retryMilliseconds while copies are kept, else -1.
  int64_t retryWaitMilliseconds() const override;

  // The socket file while joined, else empty.
  const std::string& socketPath() const { return ownPath; }
  size_t peerCount() const { return peers.size(); }
  // Copies kept for receivers that refused them, over all receivers.
  size_t pendingCopies() const { return pendingTotal; }
  // Copies given up because their receiver did not read (held too long, or
  // pushed out by newer ones). Copies for a receiver that left are not lost
  // to anybody and not counted.
  uint64_t lostCopies() const { return lost; }

 private:
  struct Peer {
    std::string fileName;
    sockaddr_un address;
    socklen_t addressLength;
    std::deque<CanFrame> pending;  // refused copies, oldest first
    bool refusing = false;         // refused since it last took a copy
    int64_t refusingSince = 0;
    bool lossReported = false;
  };
  enum class Delivery { kept, gone };

  bool join();
  bool bindUniqueName(int fd, std::string& boundName);
  bool stillBound() const;
  bool directoryChanged() const;
  void refreshPeers();
  void listPeers();
  void removeStale(const Peer& peer);
  Delivery deliver(Peer& peer, int64_t current);
  void discardPending(Peer& peer);
  void losePending(Peer& peer);
  void retryPending(int64_t current);
  bool makeAddress(const std::string& fileName, sockaddr_un& address, socklen_t& length) const;

  std::string busDirectory;
  std::string baseName;
  Clock now;

  int socketFd = -1;
  int directoryFd = -1;
  std::string ownName;  // file name, "<name>.sock"
  std::string ownPath;
  dev_t ownDevice = 0;
  ino_t ownInode = 0;
  std::vector<Peer> peers;
  timespec listedChange{};  // the directory's modification time when listed
  int64_t lastRefresh = 0;
  int64_t lastJoinAttempt = 0;
  bool joinFailureReported = false;
  size_t pendingTotal = 0;
  uint64_t lost = 0;
};

}  // namespace Platform
