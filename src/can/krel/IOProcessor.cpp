#include "can/krel/IOProcessor.h"

#include <cstring>
#include <utility>

namespace KREL {
namespace {

constexpr uint32_t bit(unsigned n) { return uint32_t{1} << n; }

// Digest registers: index 0-8 in the low four bits, every bit above set.
constexpr bool isDigestNumber(uint32_t reg, uint32_t mask) {
  return (reg & mask & ~0xFu) == (mask & ~0xFu) && (reg & 0xFu) <= 8;
}

}  // namespace

AbstractIOProcessor::AbstractIOProcessor(FrameSink frameSink) : sink(std::move(frameSink)) {}

void AbstractIOProcessor::send(const IOPacket& packet) {
  if (sink) sink(encode(packet));
}

IOPacket AbstractIOProcessor::decodeData(const CanFrame& frame) {
  IOPacket packet;
  packet.length = frame.length;
  size_t count = frame.length < CanFrame::maxLength ? frame.length : CanFrame::maxLength;
  std::memcpy(packet.data, frame.data, count);
  if (frame.length > CanFrame::maxLength) packet.error = 1;
  return packet;
}

void AbstractIOProcessor::encodeData(const IOPacket& packet, CanFrame& frame) {
  if (packet.length == 0) return;
  frame.length = packet.length;
  std::memcpy(frame.data, packet.data, sizeof frame.data);
}

// ---- 64 nodes

bool IOProcessor64::isDigestRegister(uint16_t reg) const { return isDigestNumber(reg, 0xFFF); }

IOPacket IOProcessor64::decode(const CanFrame& frame) const {
  IOPacket packet = decodeData(frame);
  packet.node = static_cast<uint16_t>((frame.id >> 21) & 0xFF);
  packet.reg = static_cast<uint16_t>((frame.id >> 1) & 0xFFFF);
  if (!frame.isExtended() || frame.isRemote() || frame.isError() || packet.node > layoutNodes) packet.error = 1;
  return packet;
}

CanFrame IOProcessor64::encode(const IOPacket& packet) const {
  CanFrame frame;
  frame.id = uint32_t{packet.reg} << 1 | (uint32_t{packet.node} & 0xFF) << 13 | bit(21) | CanFrame::extendedFlag;
  if (packet.length != 0) frame.id |= bit(30);
  encodeData(packet, frame);
  return frame;
}

// ---- 250 nodes

bool IOProcessor250::isDigestRegister(uint16_t reg) const { return isDigestNumber(reg, 0xFFFF); }

IOPacket IOProcessor250::decode(const CanFrame& frame) const {
  IOPacket packet = decodeData(frame);
  packet.node = static_cast<uint16_t>((frame.id >> 5) & 0xFF);
  packet.reg = static_cast<uint16_t>((frame.id >> 13) & 0xFFFF);
  if (!frame.isExtended() || frame.isError() || packet.node > layoutNodes) packet.error = 1;
  return packet;
}

CanFrame IOProcessor250::encode(const IOPacket& packet) const {
  CanFrame frame;
  // Bits 5-12 node, 13-28 register: the node is 8 bits, the register 16.
  frame.id = (uint32_t{packet.node} & 0xFF) << 5 | uint32_t{packet.reg} << 13 | CanFrame::extendedFlag;
  if (packet.length != 0) frame.id |= bit(0);
  encodeData(packet, frame);
  return frame;
}

}  // namespace KREL
