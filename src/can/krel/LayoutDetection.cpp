#include "can/krel/LayoutDetection.h"

namespace KREL {
namespace {

constexpr uint32_t field(uint32_t word, unsigned low, unsigned width) { return (word >> low) & ((1u << width) - 1); }

}  // namespace

bool LayoutDetection::isDigest64(uint32_t word) { return field(word, 5, 8) == 0xFF && field(word, 1, 4) <= 8; }

bool LayoutDetection::isDigest250(uint32_t word) { return field(word, 17, 12) == 0xFFF && field(word, 13, 4) <= 8; }

bool LayoutDetection::isFromNode252(uint32_t word) { return field(word, 5, 8) == 252; }

void LayoutDetection::restart() { *this = LayoutDetection(); }

LayoutDetection::Result LayoutDetection::feed(const CanFrame& frame) {
  if (outcome != Result::undecided) return outcome;
  bool fits64 = isDigest64(frame.id);
  bool fits250 = isDigest250(frame.id) || isFromNode252(frame.id);
  if (!fits64 && !fits250) return outcome;
  if (layout64.take(fits64)) return outcome = Result::nodes64;
  if (layout250.take(fits250)) return outcome = Result::nodes250;
  if (!layout64.possible && !layout250.possible) outcome = Result::gaveUp;
  return outcome;
}

}  // namespace KREL
