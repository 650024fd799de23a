#pragma once
// The two CAN identifier layouts of panel installations, as I/O processors
// that turn a received frame into a packet and a packet into a frame to send.
// All identifiers are 29-bit extended ones; the SocketCAN identifier word adds
// bit 31 (extended), bit 30 (remote request) and bit 29 (error).
//
// Up to 64 nodes (IOProcessor64):
//   received: node = bits 21-28, reg = bits 1-16
//             valid when extended, node <= 64, no remote or error flag
//   sent:     reg << 1 | node << 13 | 1 << 21 (we are node 1) | extended,
//             and bit 30 when the packet carries data
//   digests:  registers 0xFF0-0xFF8 (the low 12 bits of reg)
//   node 5, reg 0xFF3 received as 0x80A01FE6 -> {node 5, reg 0xFF3}
//
// Up to 250 nodes (IOProcessor250):
//   received: node = bits 5-12, reg = bits 13-28
//             valid when extended, node <= 250, no error flag
//   sent:     node << 5 | reg << 13 | extended, and bit 0 when it carries data
//   digests:  registers 0xFFF0-0xFFF8
//   node 7, reg 0xFFF2 received as 0x9FFE40E0 -> {node 7, reg 0xFFF2}
//
// A frame with data goes out with all 8 data bytes and DLC = the packet's
// length; a frame without data has DLC 0.
#include <cstdint>
#include <functional>
#include <utility>

#include "can/krel/IOPacket.h"
#include "platform/CanFrame.h"

namespace KREL {

class AbstractIOProcessor {
 public:
  using FrameSink = std::function<void(const CanFrame&)>;

  virtual ~AbstractIOProcessor() = default;
  AbstractIOProcessor(const AbstractIOProcessor&) = delete;
  AbstractIOProcessor& operator=(const AbstractIOProcessor&) = delete;

  virtual bool isDigestRegister(uint16_t reg) const = 0;
  // Encodes the packet and hands the frame to the sink (the krel ports).
  virtual void send(const IOPacket& packet);
  virtual IOPacket decode(const CanFrame& frame) const = 0;
  virtual CanFrame encode(const IOPacket& packet) const = 0;
  // The installation size of the layout: 64 or 250 (selects the register map).
  virtual uint16_t maxNodes() const = 0;

 protected:
  explicit AbstractIOProcessor(FrameSink sink);
  // The data part common to both layouts: the data bytes, a length above 8
  // marked as an error (no CAN frame carries more).
  static IOPacket decodeData(const CanFrame& frame);
  static void encodeData(const IOPacket& packet, CanFrame& frame);

 private:
  FrameSink sink;
};

class IOProcessor64 final : public AbstractIOProcessor {
 public:
  static constexpr uint16_t layoutNodes = 64;
  explicit IOProcessor64(FrameSink sink) : AbstractIOProcessor(std::move(sink)) {}
  bool isDigestRegister(uint16_t reg) const override;
  IOPacket decode(const CanFrame& frame) const override;
  CanFrame encode(const IOPacket& packet) const override;
  uint16_t maxNodes() const override { return layoutNodes; }
};

class IOProcessor250 final : public AbstractIOProcessor {
 public:
  static constexpr uint16_t layoutNodes = 250;
  explicit IOProcessor250(FrameSink sink) : AbstractIOProcessor(std::move(sink)) {}
  bool isDigestRegister(uint16_t reg) const override;
  IOPacket decode(const CanFrame& frame) const override;
  CanFrame encode(const IOPacket& packet) const override;
  uint16_t maxNodes() const override { return layoutNodes; }
};

}  // namespace KREL
