#pragma once
// The panel network thread. The port supervisor hands it every frame of a
// CAN port in krel mode (pushFrame). The thread mirrors each frame to the
// console link, detects the installation's identifier layout (64 or 250
// nodes) from the digest traffic, then decodes every frame into a packet and
// routes it: to a pending WebSocket request with the same node and register,
// then to the node's digest slot (digest registers) or the poll thread (any
// other register). A frame from node 252 is answered with register 0xEEE0.
// A frame equal to one the gateway queued in the last 50 ms is our own,
// heard back through the other port: it is mirrored, not routed.
//
// Frames wait in a ring of 40; a frame that finds it full is dropped with
// "Buffer overflow!".
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "can/krel/DigestSlot.h"
#include "can/krel/IOPacket.h"
#include "can/krel/IOProcessor.h"
#include "can/krel/PacketRouter.h"
#include "core/SyncRing.h"
#include "core/Thread.h"
#include "platform/CanFrame.h"

namespace KREL {

// Where the thread hands things to the console link, the poll thread and the
// WebSocket bridge. Every member may be left empty.
struct KrelLinks {
  // Started when the thread starts, and after detection.
  std::function<void()> startConsoleLink;
  std::function<void()> startPollThread;
  // Every frame received from a krel port, also during detection.
  std::function<void(const CanFrame&)> forward;
  // Every valid packet, first, for the pending WebSocket requests.
  std::function<void(const IOPacket&)> bridgePacket;
  // Every valid packet of a register that is not a digest register.
  std::function<void(const IOPacket&)> pollPacket;
  // The WebSocket request queue: its eventfd (-1 when there is none), and the
  // step that moves the queued requests to the pending list and returns their
  // packets.
  int requestFd = -1;
  std::function<void(std::vector<IOPacket>& packets)> takeRequests;
  // After every wake-up or time-out of the loop: expire pending requests.
  std::function<void()> expireRequests;
};

// A node came or went: commits "krel_devices_list" (local clients get the
// new list) and tells the listener main installed. Called by the poll pass.
void announceAliveNodes();

class KrelThread : public Thread {
 public:
  static constexpr uint32_t queueCapacity = 40;
  static constexpr int pollMilliseconds = 707;
  // Node 252 is answered with this register and eight zero bytes.
  static constexpr uint16_t node252 = PacketRouter::node252;
  static constexpr uint16_t node252AnswerRegister = PacketRouter::node252AnswerRegister;
  // Monotonic milliseconds.
  using Clock = std::function<int64_t()>;

  // The process-wide thread, made on first use (never destroyed).
  static KrelThread* instance();
  // Told by announceAliveNodes, after the "krel_devices_list" commit. main
  // connects the cloud link here; until then only local clients hear of it.
  using AliveNodesListener = void (*)();
  static void setAliveNodesListener(AliveNodesListener listener);

  // store: the slots digest registers go to. sink: where encoded frames
  // go (the krel ports). links: see KrelLinks. now: the clock of the 50 ms
  // during which a frame sent counts as our own (default: the coarse
  // monotonic clock).
  KrelThread(DigestStore& store, AbstractIOProcessor::FrameSink sink, KrelLinks links, Clock now = {});
  // Stops the loop and joins it, so a test's instance can go.
  ~KrelThread() override;

  // Producer side: the port supervisor, for each frame of a krel port.
  void pushFrame(const CanFrame& frame) { ring.push(frame); }

  // The layout's I/O processor; null until detection is done.
  AbstractIOProcessor* ioProcessor() const { return router.ioProcessor(); }
  uint32_t queuedFrames() const { return ring.size(); }
  // Frames the loop has finished with so far.
  uint64_t handledFrames() const { return handled.load(); }

 protected:
  void run() override;

 private:
  void takeFrame(const CanFrame& frame);
  void serveRequests();

  KrelLinks links;
  PacketRouter router;
  SyncRing<CanFrame, queueCapacity> ring;
  std::atomic<uint64_t> handled{0};
};

// The process-wide thread's I/O processor; null until its detection is done
// (or while there is no such thread).
AbstractIOProcessor* ioProcessor();

}  // namespace KREL
