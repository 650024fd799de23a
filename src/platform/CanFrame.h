#pragma once
// One classic CAN frame in the 16-byte record layout of Linux SocketCAN
// (struct can_frame), in host byte order. The same bytes are read from and
// written to a raw CAN socket, travel as one datagram on the simulated bus and
// as the UDP datagram of the console link, so the layout is fixed:
//
//   offset 0  identifier word: bits 0-28 identifier (0-10 for a standard
//             frame), bit 31 extended format, bit 30 remote request, bit 29 error
//   offset 4  data length (0-8)
//   offset 5  three padding bytes
//   offset 8  eight data bytes
//
// Frames are copied by value.
#include <cstddef>
#include <cstdint>

struct CanFrame {
  static constexpr uint32_t extendedFlag = 0x80000000u;
  static constexpr uint32_t remoteFlag = 0x40000000u;
  static constexpr uint32_t errorFlag = 0x20000000u;
  static constexpr uint32_t extendedMask = 0x1FFFFFFFu;
  static constexpr uint32_t standardMask = 0x000007FFu;
  static constexpr uint8_t maxLength = 8;

  uint32_t id = 0;
  uint8_t length = 0;
  uint8_t padding[3] = {0, 0, 0};
  uint8_t data[8] = {0, 0, 0, 0, 0, 0, 0, 0};

  // The identifier without the flag bits.
  uint32_t identifier() const { return id & ((id & extendedFlag) != 0 ? extendedMask : standardMask); }
  bool isExtended() const { return (id & extendedFlag) != 0; }
  bool isRemote() const { return (id & remoteFlag) != 0; }
  bool isError() const { return (id & errorFlag) != 0; }
};

static_assert(sizeof(CanFrame) == 16, "a CAN frame record is 16 bytes");
static_assert(offsetof(CanFrame, length) == 4, "the data length follows the identifier word");
static_assert(offsetof(CanFrame, data) == 8, "the data starts at offset 8");
