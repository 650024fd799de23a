#pragma once
// What the panel thread does with each frame of a krel port, without the
// thread: layout detection until a layout is known, then decoding and
// routing. A decoded packet goes to the pending WebSocket requests first, then
// to its node's digest slot (a digest register) or to the poll thread (any
// other register); invalid packets and nodes above 250 go nowhere. Node 252
// is answered with register 0xEEE0 and eight zero bytes. A frame equal to one
// sent in the last 50 ms is our own, heard back through the other port: it
// is not routed.
//
//   PacketRouter router(store, toPorts, bridge, poll, clock);
//   router.take(frame) -> Outcome::detected    (the tenth 64-node digest)
//   router.take(frame) -> Outcome::routed      (decoded and routed)
//
// Used by one thread (the panel thread); the chosen I/O processor may be read
// from any thread once published.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "can/krel/DigestSlot.h"
#include "can/krel/IOPacket.h"
#include "can/krel/IOProcessor.h"
#include "can/krel/LayoutDetection.h"
#include "can/krel/OwnFrames.h"
#include "platform/CanFrame.h"

namespace KREL {

class PacketRouter {
 public:
  static constexpr uint16_t node252 = 252;
  static constexpr uint16_t node252AnswerRegister = 0xEEE0;
  using PacketSink = std::function<void(const IOPacket&)>;

  // store: the digest slots. toPorts: where encoded frames go. bridge, poll:
  // the pending WebSocket requests and the poll thread (either may be empty).
  // now: monotonic milliseconds, for our own frames heard back.
  PacketRouter(DigestStore& store, AbstractIOProcessor::FrameSink toPorts, PacketSink bridge, PacketSink poll,
               OwnFrames::Clock now);
  PacketRouter(const PacketRouter&) = delete;
  PacketRouter& operator=(const PacketRouter&) = delete;

  enum class Outcome {
    undecided,  // taken as evidence (or skipped) by the detection
    gaveUp,     // the traffic fits no layout: detection starts again
    detected,   // this frame decided the layout: ioProcessor() is set
    handled,    // decoded and routed (or our own frame, ignored)
  };
  Outcome take(const CanFrame& frame);

  // The layout's I/O processor; null until detection is done. Any thread.
  AbstractIOProcessor* ioProcessor() const { return processor.load(); }

 private:
  void handle(const CanFrame& frame);
  void route(const IOPacket& packet);

  DigestStore& digestStore;
  OwnFrames ownFrames;
  AbstractIOProcessor::FrameSink sink;
  PacketSink bridgePacket;
  PacketSink pollPacket;
  LayoutDetection detection;
  std::unique_ptr<AbstractIOProcessor> chosen;
  std::atomic<AbstractIOProcessor*> processor{nullptr};
};

}  // namespace KREL
