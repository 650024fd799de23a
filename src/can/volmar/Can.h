#pragma once
// The metering radio thread. The port supervisor hands it every frame of a
// CAN port in volmar mode (pushFrame); the thread runs the CMT transport,
// the receiver registry and filter, decodes meter readings and dispatches
// them as records. Frames it sends go to the port supervisor through the
// process-wide port sender.
//
// Frames wait in a ring of 20; a frame that finds the ring full, or the
// thread not yet running, is dropped without a log line (counted in
// droppedFrames()).
#include <atomic>
#include <cstdint>

#include "can/volmar/CanCMT.h"
#include "can/volmar/MeterDataLogger.h"
#include "can/volmar/OfflineCheckTimer.h"
#include "core/SyncRing.h"
#include "core/Thread.h"
#include "platform/CanFrame.h"

class VolmarCan : public Thread {
 public:
  // The supervisor empties the port into this queue as fast as it can, so
  // the queue, not the socket, holds a burst while this thread is not
  // scheduled. One telegram heard by three receivers is 21 frames: a queue
  // of 20 lost frames whenever this thread fell 2.6 ms behind a full bus.
  // 256 is the most the supervisor hands over from a port in one pass.
  static constexpr uint32_t queueCapacity = 256;
  // How long the loop may sleep at `now`: until the earliest filter entry or
  // partial message is due, or the next offline check while a receiver is
  // alive; -1 (until a frame comes) when nothing waits.
  static int waitMilliseconds(int64_t now, const CanCMT& protocol, const OfflineCheckTimer& offlineTimer);

  // Hands one outgoing frame to every port in volmar mode. Set by the port
  // supervisor; until then frames sent to receivers are dropped.
  using PortSender = void (*)(const CanFrame& frame);
  static void setPortSender(PortSender sender);

  // The process-wide instance, made on first use (never destroyed).
  static VolmarCan* instance();

  // The clock (monotonic milliseconds) and frame sink default to the
  // platform's monotonic clock at full resolution and the port sender. The
  // 50 ms part expiry and the 250 ms merge window are measured on it: the
  // coarse clock would move them by up to a whole kernel tick.
  explicit VolmarCan(CanCMT::Clock clock = {}, CanCMT::FrameSink sink = {});
  // Stops the loop and joins it, so a test's instance can go.
  ~VolmarCan() override;

  // Producer side, called by the port supervisor for each received frame.
  void pushFrame(const CanFrame& frame);

  bool isAccepting() const { return accepting.load(); }
  uint32_t queuedFrames() const { return ring.size(); }
  uint64_t droppedFrames() const { return dropped.load(); }
  // Frames the loop has passed to the protocol so far.
  uint64_t handledFrames() const { return handled.load(); }

 protected:
  void run() override;

 private:
  MeterDataLogger logger;
  CanCMT::Clock clock;
  CanCMT::FrameSink sink;
  SyncRing<CanFrame, queueCapacity> ring;
  std::atomic<bool> accepting{false};
  std::atomic<uint64_t> dropped{0};
  std::atomic<uint64_t> handled{0};
  int64_t createdAt;
};
