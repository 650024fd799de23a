#pragma once
// The 29-bit identifier of a CMT frame on the metering radio bus:
//
//   bits 0-4    part index within the message (0-31)
//   bit  5      last part
//   bits 6-8    message sequence number
//   bits 9-28   receiver (PR) address
//
// Address and sequence (bits 6-28) are the message key under which parts are
// collected. Example: 0x02468A62 -> address 0x12345, sequence 1, part 2, last.
#include <cstdint>

namespace CmtIdentifier {

constexpr uint32_t partMask = 0x1Fu;
constexpr uint32_t lastPartBit = 0x20u;
constexpr uint32_t addressMask = 0xFFFFFu;
// Low nine bits of a PR's service frames (version, bootloader and update reports).
constexpr uint32_t serviceLowBits = 0x5Fu;
constexpr uint32_t lowBitsMask = 0x1FFu;

constexpr uint32_t partIndex(uint32_t identifier) { return identifier & partMask; }
constexpr bool isLastPart(uint32_t identifier) { return (identifier & lastPartBit) != 0; }
constexpr uint32_t sequence(uint32_t identifier) { return (identifier >> 6) & 7u; }
constexpr uint32_t address(uint32_t identifier) { return (identifier >> 9) & addressMask; }
constexpr uint32_t key(uint32_t identifier) { return (identifier >> 6) & 0x7FFFFFu; }
constexpr uint32_t keyAddress(uint32_t key) { return key >> 3; }
constexpr uint32_t keySequence(uint32_t key) { return key & 7u; }

constexpr uint32_t make(uint32_t address, uint32_t sequence, uint32_t part, bool last) {
  return (address & addressMask) << 9 | (sequence & 7u) << 6 | (last ? lastPartBit : 0u) | (part & partMask);
}

static_assert(make(0x12345, 1, 2, true) == 0x02468A62u);
static_assert(address(0x02468A62u) == 0x12345 && sequence(0x02468A62u) == 1 && partIndex(0x02468A62u) == 2);

}  // namespace CmtIdentifier
