#pragma once
// SocketCAN raw socket bound to one interface of the board.
#include <string>

#include "platform/CanSocket.h"

namespace Platform {

class BoardCanSocket final : public CanSocket {
 public:
  explicit BoardCanSocket(const std::string& interfaceName);
  ~BoardCanSocket() override;

  int fd() const override { return socketFd; }
  bool readFrame(CanFrame& frame) override;
  bool writeFrame(const CanFrame& frame) override;

 private:
  int socketFd = -1;
};

}  // namespace Platform
