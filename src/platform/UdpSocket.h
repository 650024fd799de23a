#pragma once
// An IPv4 UDP socket bound to one port on all local addresses, with
// SO_REUSEADDR (so test peers on 127.0.0.2, 127.0.0.3 can bind the same
// port). Reads never block; sends are fire and forget. Addresses are IPv4
// addresses in network byte order, as in in_addr.
//
//   UdpSocket link;
//   if (link.open(1374) == UdpSocket::Opened::ok) link.sendTo(bytes, 16, peer, 1374);
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace Platform {

class UdpSocket {
 public:
  enum class Opened { ok, notCreated, optionRefused, notBound };

  // One datagram taken from the socket.
  struct Datagram {
    size_t size = 0;          // its whole size, also when longer than the buffer
    uint32_t source = 0;      // network byte order
    bool fromIpv4 = false;
  };

  UdpSocket() = default;
  ~UdpSocket();
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // Creates the socket, sets SO_REUSEADDR and binds it to `port` on every
  // local address. On failure the socket stays closed.
  Opened open(uint16_t port);
  bool isOpen() const { return descriptor() >= 0; }
  // -1 while closed. Any thread.
  int descriptor() const { return fd.load(); }

  // Takes the next datagram without waiting; false when none is queued. At
  // most `capacity` bytes are copied into `buffer`.
  bool receive(void* buffer, size_t capacity, Datagram& datagram);
  // Sends one datagram to address:port; errors are ignored. Any thread.
  void sendTo(const void* data, size_t size, uint32_t address, uint16_t port) const;

 private:
  std::atomic<int> fd{-1};
};

}  // namespace Platform
