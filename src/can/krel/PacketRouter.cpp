#include "can/krel/PacketRouter.h"

#include <utility>

namespace KREL {

PacketRouter::PacketRouter(DigestStore& store, AbstractIOProcessor::FrameSink toPorts, PacketSink bridge,
                           PacketSink poll, OwnFrames::Clock now)
    : digestStore(store),
      ownFrames(std::move(now)),
      // Every frame the layout's I/O processor sends (polls, bridge
      // requests, answers to node 252) is remembered as our own.
      sink([this, toPorts = std::move(toPorts)](const CanFrame& frame) {
        ownFrames.remember(frame);
        if (toPorts) toPorts(frame);
      }),
      bridgePacket(std::move(bridge)),
      pollPacket(std::move(poll)) {}

PacketRouter::Outcome PacketRouter::take(const CanFrame& frame) {
  if (processor.load() != nullptr) {
    handle(frame);
    return Outcome::handled;
  }
  switch (detection.feed(frame)) {
    case LayoutDetection::Result::undecided:
      return Outcome::undecided;
    case LayoutDetection::Result::gaveUp:
      detection.restart();
      return Outcome::gaveUp;
    case LayoutDetection::Result::nodes64:
      chosen = std::make_unique<IOProcessor64>(sink);
      break;
    case LayoutDetection::Result::nodes250:
      chosen = std::make_unique<IOProcessor250>(sink);
      break;
  }
  processor.store(chosen.get());
  return Outcome::detected;
}

void PacketRouter::handle(const CanFrame& frame) {
  if (ownFrames.heardBack(frame)) return;
  AbstractIOProcessor& io = *processor.load();
  IOPacket packet = io.decode(frame);
  route(packet);
  // Node 252 gets an answer whatever the packet's validity; except to an
  // answer itself: with both ports on one bus each port hears the other's
  // copy of our answer, which would be answered again without end.
  if (packet.node == node252 && packet.reg != node252AnswerRegister) {
    IOPacket answer;
    answer.node = node252;
    answer.reg = node252AnswerRegister;
    answer.length = 8;
    io.send(answer);
  }
}

void PacketRouter::route(const IOPacket& packet) {
  if (packet.error != 0 || packet.node > maxNode) return;
  if (bridgePacket) bridgePacket(packet);
  if (processor.load()->isDigestRegister(packet.reg)) {
    digestStore.slot(packet.node).update(packet);
  } else if (pollPacket) {
    pollPacket(packet);
  }
}

}  // namespace KREL
