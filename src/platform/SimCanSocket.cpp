#include "platform/SimCanSocket.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/Log.h"

namespace Platform {
namespace {

constexpr const char* socketSuffix = ".sock";
// A sender's queued copies count against its send buffer until the receivers
// read them; room for many stalled receivers keeps one from starving the rest.
constexpr int sendBufferBytes = 1 << 20;

bool endsWith(const std::string& text, const char* suffix) {
  size_t length = std::strlen(suffix);
  return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

// mkdir -p: every missing directory of the path is made.
bool ensureDirectory(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0755);
  }
  mkdir(path.c_str(), 0755);
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return false;
  if (S_ISDIR(info.st_mode)) return true;
  errno = ENOTDIR;
  return false;
}

// A socket address for a file of the bus directory. Paths longer than
// sun_path (108 bytes) are reached through the directory's descriptor as
// /proc/self/fd/<n>/<file>, so deep test directories work too.
bool fillAddress(const std::string& directory, int directoryFd, const std::string& fileName, sockaddr_un& address,
                 socklen_t& length) {
  std::string full = directory + "/" + fileName;
  if (full.size() >= sizeof address.sun_path) {
    full = "/proc/self/fd/" + std::to_string(directoryFd) + "/" + fileName;
    if (directoryFd < 0 || full.size() >= sizeof address.sun_path) return false;
  }
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, full.c_str(), full.size() + 1);
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + full.size() + 1);
  return true;
}

bool isSocketFile(int directoryFd, const char* fileName) {
  struct stat info {};
  return fstatat(directoryFd, fileName, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(info.st_mode);
}

// A socket file nobody listens on any more: connecting is refused.
bool isStaleSocket(const sockaddr_un& address, socklen_t length) {
  int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  bool refused = connect(probe, reinterpret_cast<const sockaddr*>(&address), length) != 0 && errno == ECONNREFUSED;
  close(probe);
  return refused;
}

}  // namespace

SimCanSocket::SimCanSocket(std::string busDirectory_, std::string name, Clock now_)
    : busDirectory(std::move(busDirectory_)), baseName(std::move(name)), now(std::move(now_)) {
  while (busDirectory.size() > 1 && busDirectory.back() == '/') busDirectory.pop_back();
  join();
}

SimCanSocket::~SimCanSocket() {
  if (stillBound()) unlink(ownPath.c_str());
  if (socketFd >= 0) close(socketFd);
  if (directoryFd >= 0) close(directoryFd);
}

bool SimCanSocket::join() {
  lastJoinAttempt = now();
  lastRefresh = lastJoinAttempt;
  bool rejoining = socketFd >= 0;

  bool directoryReady = ensureDirectory(busDirectory);
  int failure = directoryReady ? 0 : errno;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0 && failure == 0) failure = errno;
  int newDirectoryFd = directoryReady ? open(busDirectory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC) : -1;
  if (directoryReady && newDirectoryFd < 0 && failure == 0) failure = errno;
  opened.socketCreated = fd >= 0;
  opened.interfaceFound = newDirectoryFd >= 0;
  opened.mtuRead = opened.interfaceFound;
  opened.bound = false;

  std::string boundName;
  if (fd >= 0 && newDirectoryFd >= 0) {
    std::swap(directoryFd, newDirectoryFd);
    opened.bound = bindUniqueName(fd, boundName);
    failure = errno;
    if (!opened.bound) std::swap(directoryFd, newDirectoryFd);
  }
  if (newDirectoryFd >= 0) close(newDirectoryFd);
  if (!opened.bound) {
    if (fd >= 0) close(fd);
    peers.clear();
    pendingTotal = 0;
    if (!joinFailureReported) {
      LOGW("Cannot join simulated CAN bus %s: %s", busDirectory.c_str(), std::strerror(failure));
    }
    joinFailureReported = true;
    return false;
  }

  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBufferBytes, sizeof sendBufferBytes);
  // On a rejoin the new socket takes over the old descriptor number, so the
  // owner's poll set stays valid.
  if (socketFd >= 0) {
    dup2(fd, socketFd);
    close(fd);
  } else {
    socketFd = fd;
  }
  ownName = boundName;
  ownPath = busDirectory + "/" + ownName;
  struct stat info {};
  if (lstat(ownPath.c_str(), &info) == 0) {
    ownDevice = info.st_dev;
    ownInode = info.st_ino;
  }
  joinFailureReported = false;
  LOGI("%s simulated CAN bus %s as %s", rejoining ? "Joined again" : "Joined", busDirectory.c_str(), ownName.c_str());
  listPeers();
  return true;
}

bool SimCanSocket::bindUniqueName(int fd, std::string& boundName) {
  constexpr int maxSuffix = 100;
  bool staleRemoved = false;
  for (int suffix = 1; suffix <= maxSuffix;) {
    std::string candidate = baseName + (suffix > 1 ? "-" + std::to_string(suffix) : "") + socketSuffix;
    sockaddr_un address{};
    socklen_t length = 0;
    if (!fillAddress(busDirectory, directoryFd, candidate, address, length)) {
      errno = ENAMETOOLONG;
      return false;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
      boundName = candidate;
      return true;
    }
    if (errno != EADDRINUSE) return false;
    // Left behind by an endpoint that is gone (a crashed run of this
    // program): take its place once; a live holder keeps its name.
    if (!staleRemoved && isSocketFile(directoryFd, candidate.c_str()) && isStaleSocket(address, length)) {
      unlinkat(directoryFd, candidate.c_str(), 0);
      staleRemoved = true;
      continue;
    }
    staleRemoved = false;
    ++suffix;
  }
  errno = EADDRINUSE;
  return false;
}

bool SimCanSocket::stillBound() const {
  if (ownPath.empty()) return false;
  struct stat info {};
  return lstat(ownPath.c_str(), &info) == 0 && info.st_ino == ownInode && info.st_dev == ownDevice;
}

void SimCanSocket::refreshPeers() {
  lastRefresh = now();
  if (!stillBound()) {
    // The bus directory was removed (and maybe made again): a socket file
    // that is gone can never be reached, so bind a new one.
    join();
    return;
  }
  listPeers();
}

bool SimCanSocket::directoryChanged() const {
  struct stat info {};
  if (fstat(directoryFd, &info) != 0) return true;
  return info.st_mtim.tv_sec != listedChange.tv_sec || info.st_mtim.tv_nsec != listedChange.tv_nsec;
}

void SimCanSocket::listPeers() {
  // Receivers still listed keep the copies held for them, in order.
  std::vector<Peer> previous = std::move(peers);
  peers.clear();
  pendingTotal = 0;
  // Stamp taken before reading, so a join during the listing shows next time.
  struct stat info {};
  if (fstat(directoryFd, &info) == 0) listedChange = info.st_mtim;
  int listFd = openat(directoryFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listFd < 0) return;
  DIR* directory = fdopendir(listFd);
  if (directory == nullptr) {
    close(listFd);
    return;
  }
  while (dirent* entry = readdir(directory)) {
    std::string fileName = entry->d_name;
    if (fileName == ownName || !endsWith(fileName, socketSuffix)) continue;
    if (entry->d_type != DT_SOCK && !(entry->d_type == DT_UNKNOWN && isSocketFile(directoryFd, entry->d_name))) {
      continue;
    }
    Peer peer;
    peer.fileName = fileName;
    if (!fillAddress(busDirectory, directoryFd, fileName, peer.address, peer.addressLength)) continue;
    for (Peer& known : previous) {
      if (known.fileName != fileName) continue;
      peer.pending = std::move(known.pending);
      peer.refusing = known.refusing;
      peer.refusingSince = known.refusingSince;
      peer.lossReported = known.lossReported;
      pendingTotal += peer.pending.size();
      break;
    }
    peers.push_back(std::move(peer));
  }
  closedir(directory);
}

void SimCanSocket::removeStale(const Peer& peer) {
  if (isSocketFile(directoryFd, peer.fileName.c_str())) unlinkat(directoryFd, peer.fileName.c_str(), 0);
}

bool SimCanSocket::readFrame(CanFrame& frame) {
  if (socketFd < 0) return false;
  // One byte more than a frame, so a longer datagram shows as too long.
  unsigned char datagram[sizeof(CanFrame) + 1];
  for (;;) {
    ssize_t got = recv(socketFd, datagram, sizeof datagram, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == static_cast<ssize_t>(sizeof(CanFrame))) {
      std::memcpy(&frame, datagram, sizeof frame);
      return true;
    }
  }
}

bool SimCanSocket::writeFrame(const CanFrame& frame) {
  if (socketFd < 0) return false;
  int64_t current = now();
  if (current - lastRefresh >= refreshIntervalMilliseconds || directoryChanged()) refreshPeers();
  bool listChanged = false;
  for (Peer& peer : peers) {
    if (peer.pending.size() >= pendingLimit) {
      peer.pending.pop_front();
      --pendingTotal;
      ++lost;
    }
    peer.pending.push_back(frame);
    ++pendingTotal;
    // Behind copies already kept it waits for the retry, so order holds.
    if (peer.pending.size() == 1 && deliver(peer, current) == Delivery::gone) listChanged = true;
  }
  if (listChanged) refreshPeers();
  return true;
}

SimCanSocket::Delivery SimCanSocket::deliver(Peer& peer, int64_t current) {
  while (!peer.pending.empty()) {
    ssize_t sent = sendto(socketFd, &peer.pending.front(), sizeof(CanFrame), MSG_DONTWAIT | MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr*>(&peer.address), peer.addressLength);
    if (sent >= 0) {
      peer.pending.pop_front();
      --pendingTotal;
      peer.refusing = false;
      peer.lossReported = false;
      continue;
    }
    int error = errno;
    if (error == EINTR) continue;
    if (error == EAGAIN || error == EWOULDBLOCK) {
      if (!peer.refusing) {
        peer.refusing = true;
        peer.refusingSince = current;
      }
      if (current - peer.refusingSince > refusedHoldMilliseconds) losePending(peer);
      return Delivery::kept;
    }
    if (error == ECONNREFUSED || error == ENOENT) {
      // The receiver is gone: nobody is left to hold its copies for.
      if (error == ECONNREFUSED) removeStale(peer);
      discardPending(peer);
      return Delivery::gone;
    }
    // Not met between local sockets; this copy cannot be sent, the next may.
    peer.pending.pop_front();
    --pendingTotal;
    ++lost;
  }
  return Delivery::kept;
}

void SimCanSocket::discardPending(Peer& peer) {
  pendingTotal -= peer.pending.size();
  peer.pending.clear();
}

void SimCanSocket::losePending(Peer& peer) {
  if (!peer.lossReported) {
    LOGW("Simulated CAN bus %s: %s took no frame for %lld ms, its copies are lost", busDirectory.c_str(),
         peer.fileName.c_str(), static_cast<long long>(refusedHoldMilliseconds));
    peer.lossReported = true;
  }
  lost += peer.pending.size();
  discardPending(peer);
}

void SimCanSocket::retryPending(int64_t current) {
  bool listChanged = false;
  for (Peer& peer : peers) {
    if (!peer.pending.empty() && deliver(peer, current) == Delivery::gone) listChanged = true;
  }
  if (listChanged) refreshPeers();
}

int64_t SimCanSocket::retryWaitMilliseconds() const { return pendingTotal != 0 ? retryMilliseconds : -1; }

void SimCanSocket::tick() {
  int64_t current = now();
  if (ownPath.empty()) {
    if (current - lastJoinAttempt >= refreshIntervalMilliseconds) join();
    return;
  }
  if (pendingTotal != 0) retryPending(current);
  if (current - lastRefresh >= refreshIntervalMilliseconds || directoryChanged()) refreshPeers();
}

}  // namespace Platform
