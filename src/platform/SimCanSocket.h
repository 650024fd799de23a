#pragma once
// An endpoint of the simulated CAN bus. A bus is a directory; every endpoint
// on it (a fieldhub port, a simulated panel node or radio receiver) is a Unix
// datagram socket bound to a file <bus>/<name>.sock. One frame is one 16-byte
// datagram in the CanFrame layout; datagrams of any other size are dropped.
//
// Sending delivers one copy to every other endpoint of the directory, never
// back to the sender, each with a non-blocking send: a receiver whose queue is
// full loses its copy, as a SocketCAN reader with a full buffer does. A socket
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

  // Joins the bus in busDirectory (made when missing) as <name>.sock; a name
  // that a live endpoint already holds gets a "-2", "-3", ... suffix.
  SimCanSocket(std::string busDirectory, std::string name, Clock now);
  ~SimCanSocket() override;

  int fd() const override { return socketFd; }
  bool readFrame(CanFrame& frame) override;
  // Always true on a joined bus, whether or not any copy was delivered: a CAN
  // controller, too, takes a frame without knowing who hears it.
  bool writeFrame(const CanFrame& frame) override;
  // Re-reads the endpoint list when it is a second old or the directory
  // changed, joins again when the bus directory was removed (and makes it
  // anew), retries a failed join once a second.
  void tick() override;

  // The socket file while joined, else empty.
  const std::string& socketPath() const { return ownPath; }
  size_t peerCount() const { return peers.size(); }

 private:
  struct Peer {
    std::string fileName;
    sockaddr_un address;
    socklen_t addressLength;
  };

  bool join();
  bool bindUniqueName(int fd, std::string& boundName);
  bool stillBound() const;
  bool directoryChanged() const;
  void refreshPeers();
  void listPeers();
  void removeStale(const Peer& peer);
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
};

}  // namespace Platform
