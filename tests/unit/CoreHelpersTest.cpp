// The small shared helpers of src/core/ that byte and text handling all over
// the program rests on: little-endian numbers, hex digits, fixed-size text
// fields and the random source.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "RegistryTestTree.h"
#include "TestFiles.h"
#include "core/FixedText.h"
#include "core/HexDigit.h"
#include "core/LittleEndian.h"
#include "core/RandomBytes.h"

namespace {

TEST(LittleEndianTest, ReadsLowByteFirst) {
  const uint8_t bytes[] = {0x78, 0x56, 0x34, 0x12, 0xF0, 0xDE, 0xBC, 0x9A, 0x55};
  struct Case {
    size_t count;
    uint64_t expected;
  };
  const Case cases[] = {{0, 0}, {1, 0x78}, {3, 0x345678}, {4, 0x12345678}, {8, 0x9ABCDEF012345678}, {9, 0x9ABCDEF012345678}};
  for (const Case& c : cases) EXPECT_EQ(littleEndian(bytes, c.count), c.expected) << c.count << " bytes";
  EXPECT_EQ(littleEndian16(bytes), 0x5678);
  EXPECT_EQ(littleEndian32(bytes + 4), 0x9ABCDEF0u) << "the top bit is no sign";
}

TEST(HexDigitTest, BothCasesAndNothingElse) {
  for (char c : std::string("0123456789abcdefABCDEF")) EXPECT_TRUE(isHexDigit(c)) << c;
  for (char c : std::string("gG/:@`xX \xE9")) EXPECT_FALSE(isHexDigit(c)) << static_cast<int>(c);
}

TEST(FixedTextTest, EndsAtTheZeroByteOrTheFieldsEnd) {
  char ended[8] = "abc";
  EXPECT_EQ(fieldText(ended), "abc");
  char full[4] = {'w', 'x', 'y', 'z'};  // no zero byte: never read past the field
  EXPECT_EQ(fieldText(full), "wxyz");
  char empty[4] = {};
  EXPECT_EQ(fieldText(empty), "");
}

TEST(RandomBytesTest, ShortOrMissingSourceKeepsTheCallersBytes) {
  TempDirectory directory;
  std::string source = directory.path + "/urandom";
  TestFiles::writeFile(source, std::string("\x01\x02\x03", 3));

  uint8_t bytes[6] = {9, 9, 9, 9, 9, 9};
  EXPECT_TRUE(readRandomBytes(source, bytes, 3));
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 6), (std::vector<uint8_t>{1, 2, 3, 9, 9, 9}));

  uint8_t more[6] = {};
  EXPECT_FALSE(readRandomBytes(source, more, sizeof more));
  EXPECT_EQ(std::vector<uint8_t>(more, more + 6), (std::vector<uint8_t>{1, 2, 3, 0, 0, 0}));

  uint8_t none[2] = {7, 7};
  EXPECT_FALSE(readRandomBytes(directory.path + "/missing", none, sizeof none));
  EXPECT_EQ(none[0], 7);
}

}  // namespace
