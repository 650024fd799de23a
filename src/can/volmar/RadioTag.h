#pragma once
// The tag a metering radio packet carries: a path of unsigned numbers and a
// value of typed items.
//
// Path: numbers in 7-bit groups, least significant group first, bit 7 set
// while another byte of the same number follows:
//   0A 02 B9 60  ->  (10, 2, 12345)
// Bits beyond 64 of an over-long number are dropped; a number still open at
// the end of the path bytes ends there.
//
// Value: items, each a header byte (bits 6-7 type, bits 0-5 data length L)
// and L data bytes:
//   type 0 boolean   L = 0 false, else the first byte non-zero
//   type 1 unsigned  L bytes, least significant first; the first 4 count
//   type 2 float     L = 4: IEEE-754 single, least significant byte first; else 0
//   type 3 text      L bytes, up to the first zero byte
//   42 39 30  ->  one unsigned item, 12345
// Items are taken while their data fits; one that runs past the end and all
// after it are ignored. No item: an empty value; one: a scalar; more: an array.
//
// The tag refers to the value bytes it was made from; keep them alive.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

class RadioTag {
 public:
  enum class Kind : uint8_t { empty = 0, boolean = 1, unsignedInteger = 2, floating = 3, text = 4, array = 5 };

  static constexpr size_t maxPathLength = 16;
  static constexpr uint64_t noElement = ~uint64_t{0};

  RadioTag(const uint8_t* path, size_t pathLength, const uint8_t* value, size_t valueLength);

  size_t pathLength() const { return pathCount; }
  // Path element i; all bits set when the path is shorter.
  uint64_t pathElement(size_t i) const { return i < pathCount ? path[i] : noElement; }

  Kind kind() const;
  bool isEmpty() const { return itemTotal == 0; }
  // Items of an array; 0 for a scalar or an empty value.
  size_t itemCount() const { return itemTotal > 1 ? itemTotal : 0; }
  // Item i as a number: a boolean 0 or 1, an unsigned as is, a float rounded
  // half away from zero (saturated, NaN as 0), a text 0. A scalar answers for
  // every i; an index past the array gives 0.
  int64_t itemAsInteger(size_t i) const;
  // Item i's text; empty for items of other kinds.
  std::string_view itemAsText(size_t i) const;

 private:
  struct Item {
    uint8_t type;
    uint8_t length;
    uint16_t offset;  // of the data within the value bytes
  };
  // Every item takes at least its header byte.
  static constexpr size_t maxItems = 256;

  const Item* itemAt(size_t i) const;

  std::array<uint64_t, maxPathLength> path{};
  size_t pathCount = 0;
  const uint8_t* value = nullptr;
  std::array<Item, maxItems> items{};
  size_t itemTotal = 0;
};
