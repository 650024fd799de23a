#pragma once
// A radio packet forwarded by a receiver (PR), as the reassembly hands it to the
// receiver filter. The filter merges copies of one packet heard by several PRs,
// keeping the strongest and the weakest reception; both start as the
// forwarding PR.
#include <array>
#include <cstdint>
#include <cstring>

struct PRMessage {
  // A CMT message is at most 256 bytes: RSSI byte, packet, two CRC bytes.
  static constexpr uint32_t maxPacketLength = 253;

  int64_t receivedAt = 0;  // monotonic milliseconds at completion
  uint16_t packetCrc = 0;  // the CRC the PR sent with the packet
  uint16_t packetLength = 0;
  std::array<uint8_t, maxPacketLength> packet{};
  uint32_t bestPR = 0;
  int8_t bestRssi = 0;
  uint32_t worstPR = 0;
  int8_t worstRssi = 0;

  const uint8_t* bytes() const { return packet.data(); }

  bool samePacket(const PRMessage& other) const {
    return packetLength == other.packetLength && std::memcmp(packet.data(), other.packet.data(), packetLength) == 0;
  }
};
