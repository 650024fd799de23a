#include "platform/UdpSocket.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace Platform {

UdpSocket::~UdpSocket() {
  int descriptor = fd.exchange(-1);
  if (descriptor >= 0) close(descriptor);
}

UdpSocket::Opened UdpSocket::open(uint16_t port) {
  if (isOpen()) return Opened::ok;
  int made = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (made < 0) return Opened::notCreated;
  int one = 1;
  if (setsockopt(made, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
    close(made);
    return Opened::optionRefused;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(port);
  if (bind(made, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    close(made);
    return Opened::notBound;
  }
  fd.store(made);
  return Opened::ok;
}

bool UdpSocket::receive(void* buffer, size_t capacity, Datagram& datagram) {
  sockaddr_storage source{};
  socklen_t sourceLength = sizeof source;
  // MSG_TRUNC: the datagram's real size, so a longer one is told from one
  // that just fits.
  ssize_t got = recvfrom(descriptor(), buffer, capacity, MSG_DONTWAIT | MSG_TRUNC,
                         reinterpret_cast<sockaddr*>(&source), &sourceLength);
  if (got < 0) return false;
  datagram.size = static_cast<size_t>(got);
  datagram.fromIpv4 = source.ss_family == AF_INET;
  datagram.source = datagram.fromIpv4 ? reinterpret_cast<const sockaddr_in*>(&source)->sin_addr.s_addr : 0;
  return true;
}

void UdpSocket::sendTo(const void* data, size_t size, uint32_t address, uint16_t port) const {
  int descriptor = fd.load();
  if (descriptor < 0) return;
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr.s_addr = address;
  peer.sin_port = htons(port);
  sendto(descriptor, data, size, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
}

}  // namespace Platform
