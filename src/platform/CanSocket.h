#pragma once
// A raw CAN port as the port supervisor sees it: a descriptor to poll() for
// POLLIN and POLLOUT, one frame read or written at a time. On the board it is
// a SocketCAN raw socket on can0/can1; in simulation mode an endpoint of the
// simulated bus under <root>/run/can/<interface>/. Only the supervisor thread
// uses a port, so the variants need no locking.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/CanFrame.h"

namespace Platform {

// The steps of opening a port and whether each succeeded; the owner reports
// the failed ones. A port with any failed step is inert (fd() is -1).
struct CanOpenResult {
  bool socketCreated = false;
  bool interfaceFound = false;
  bool mtuRead = false;
  bool bound = false;
};

class CanSocket {
 public:
  virtual ~CanSocket() = default;
  CanSocket(const CanSocket&) = delete;
  CanSocket& operator=(const CanSocket&) = delete;

  // The descriptor to poll; -1 while the port is inert. Read it again for
  // every poll(): a simulated port that could not join its bus at first gets
  // one later, in tick().
  virtual int fd() const = 0;
  // Reads one received frame; false when none is pending.
  virtual bool readFrame(CanFrame& frame) = 0;
  // Writes one frame; false when it was not taken whole, so the caller keeps
  // it and tries again on the next POLLOUT.
  virtual bool writeFrame(const CanFrame& frame) = 0;
  // Housekeeping; the owner calls it after every poll() wake-up or time-out.
  virtual void tick() {}
  // Milliseconds until the port wants tick() again for writes it holds back
  // (0: at once), or -1 when it holds none; the owner's poll() waits no longer.
  virtual int64_t retryWaitMilliseconds() const { return -1; }

  const CanOpenResult& openResult() const { return opened; }

 protected:
  CanSocket() = default;
  CanOpenResult opened;
};

// Opens the port of a CAN interface ("can0", "can1") for this platform.
std::unique_ptr<CanSocket> openCanSocket(const std::string& interfaceName);

}  // namespace Platform
