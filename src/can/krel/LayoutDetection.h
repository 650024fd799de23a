#pragma once
// Finds out which identifier layout a panel installation uses by watching
// digest frames, before anything else is decoded.
//
// A frame is evidence when it carries a digest register in either layout:
//   64 nodes:  identifier bits 5-12 all set, bits 1-4 at most 8
//   250 nodes: identifier bits 17-28 all set, bits 13-16 at most 8,
//              or the frame comes from node 252 (bits 5-12 = 252)
// Each layout stays possible while every evidence frame fits it and counts the
// frames that did; ten in a row decide (the 64-node layout is tested first).
// When no layout is possible any more, the run gives up; the caller logs it
// and starts a fresh run.
//
//   10 x 0x80A01FE6 (node 5, reg 0xFF3)     -> nodes64
//   0x9FFE40E0 (250-node digest) among them  -> the 64-node layout is out
#include <cstdint>

#include "platform/CanFrame.h"

namespace KREL {

class LayoutDetection {
 public:
  enum class Result { undecided, nodes64, nodes250, gaveUp };
  // Evidence frames a layout needs, in a row.
  static constexpr int framesToDecide = 10;

  // Takes one frame. After a decision or giving up the detection stays there
  // until restart().
  Result feed(const CanFrame& frame);
  void restart();
  Result result() const { return outcome; }

  static bool isDigest64(uint32_t identifierWord);
  static bool isDigest250(uint32_t identifierWord);
  static bool isFromNode252(uint32_t identifierWord);

 private:
  struct Candidate {
    bool possible = true;
    int count = 0;
    // Takes one evidence frame; true once the layout is decided.
    bool take(bool fits) {
      possible = possible && fits;
      if (possible) ++count;
      return count >= framesToDecide;
    }
  };
  Candidate layout64;
  Candidate layout250;
  Result outcome = Result::undecided;
};

}  // namespace KREL
