#include "platform/BoardCanSocket.h"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

static_assert(sizeof(can_frame) == sizeof(CanFrame), "CanFrame mirrors struct can_frame");
static_assert(offsetof(can_frame, can_dlc) == offsetof(CanFrame, length), "CanFrame mirrors struct can_frame");
static_assert(offsetof(can_frame, data) == offsetof(CanFrame, data), "CanFrame mirrors struct can_frame");
static_assert(CAN_EFF_FLAG == CanFrame::extendedFlag && CAN_RTR_FLAG == CanFrame::remoteFlag &&
                  CAN_ERR_FLAG == CanFrame::errorFlag,
              "SocketCAN flag bits");

namespace Platform {

// Every step is tried even after one failed, so the owner can report each
// failure; the MTU is only asked for, never used.
BoardCanSocket::BoardCanSocket(const std::string& interfaceName) {
  int fd = socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW);
  opened.socketCreated = fd >= 0;

  ifreq request{};
  std::strncpy(request.ifr_name, interfaceName.c_str(), IFNAMSIZ - 1);
  opened.interfaceFound = ioctl(fd, SIOCGIFINDEX, &request) == 0;
  int interfaceIndex = opened.interfaceFound ? request.ifr_ifindex : 0;
  opened.mtuRead = ioctl(fd, SIOCGIFMTU, &request) == 0;

  sockaddr_can address{};
  address.can_family = AF_CAN;
  address.can_ifindex = interfaceIndex;
  opened.bound = opened.interfaceFound &&
                 bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;

  // An unbound raw socket neither receives nor sends, yet always polls
  // writable: keeping it would spin the supervisor on a frame it can never
  // write. Such a port stays inert instead.
  if (opened.bound) {
    socketFd = fd;
  } else if (fd >= 0) {
    close(fd);
  }
}

BoardCanSocket::~BoardCanSocket() {
  if (socketFd >= 0) close(socketFd);
}

bool BoardCanSocket::readFrame(CanFrame& frame) {
  if (socketFd < 0) return false;
  ssize_t got;
  while ((got = read(socketFd, &frame, sizeof frame)) < 0 && errno == EINTR) {
  }
  return got == static_cast<ssize_t>(sizeof frame);
}

bool BoardCanSocket::writeFrame(const CanFrame& frame) {
  if (socketFd < 0) return false;
  ssize_t written;
  while ((written = write(socketFd, &frame, sizeof frame)) < 0 && errno == EINTR) {
  }
  return written == static_cast<ssize_t>(sizeof frame);
}

}  // namespace Platform
