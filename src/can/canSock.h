#pragma once
// One CAN interface as the port supervisor owns it: the platform's raw port
// (a SocketCAN socket on the board, a simulated-bus endpoint on a host) and
// the ring of frames waiting to be written to it.
//
// Any thread may queue a frame (queueFrame); only the supervisor thread reads,
// flushes and ticks the port. The ring's semaphore-mode eventfd counts the
// queued frames: one unit per queued frame, one taken per frame written.
#include <cstdint>
#include <memory>
#include <string>

#include "core/SyncRing.h"
#include "platform/CanFrame.h"
#include "platform/CanSocket.h"

class canSock {
 public:
  static constexpr uint32_t ringCapacity = 200;

  // Opens the interface through the platform; each failed opening step is
  // logged, and a port that failed stays inert (it never delivers or sends).
  explicit canSock(const std::string& interfaceName);
  // Wraps a port made elsewhere (a fake one in tests).
  canSock(const std::string& interfaceName, std::unique_ptr<Platform::CanSocket> port);

  canSock(const canSock&) = delete;
  canSock& operator=(const canSock&) = delete;

  const std::string& name() const { return interfaceName; }
  // The descriptor to poll; -1 while inert. Read it again for every poll.
  int fd() const { return port->fd(); }

  // Reads one received frame; false when none is pending.
  bool readFrame(CanFrame& frame) { return port->readFrame(frame); }

  // Appends a frame to the outgoing ring (any thread). A full ring drops the
  // new frame with "Buffer overflow!". A frame no CAN controller can send
  // (data length above 8) is refused, so it can never block the ring's head.
  // Returns false when the frame was refused; the caller wakes the supervisor.
  bool queueFrame(const CanFrame& frame);

  // Writes queued frames, oldest first, until the ring is empty or the port
  // does not take a frame whole; that frame stays queued for the next try.
  // Returns true when the ring was emptied.
  bool flush();

  uint32_t queued() const { return ring.size(); }
  // The ring's event counter (one unit per queued frame).
  int ringFd() const { return ring.fd(); }

  void tick() { port->tick(); }
  // How long the port lets its held-back writes wait (-1: none held back).
  int64_t retryWait() const { return port->retryWaitMilliseconds(); }

 private:
  void reportOpening();

  std::string interfaceName;
  std::unique_ptr<Platform::CanSocket> port;
  SyncRing<CanFrame, ringCapacity> ring;
};
