#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include "core/ByteBuffer.h"

namespace {

TEST(ByteBuffer, CopyCarriesATrailingZeroAndMoveEmptiesTheSource) {
  ByteBuffer source("hello", 5);
  ASSERT_EQ(source.size(), 5u);
  EXPECT_EQ(source.data()[5], 0) << "content usable as zero-terminated text";
  EXPECT_STREQ(source.text(), "hello");

  ByteBuffer moved(std::move(source));
  EXPECT_STREQ(moved.text(), "hello");
  EXPECT_TRUE(source.empty());
  EXPECT_EQ(source.data(), nullptr);
  EXPECT_STREQ(source.text(), "");

  ByteBuffer assigned(3);
  assigned = std::move(moved);
  EXPECT_EQ(assigned.view(), "hello");
  EXPECT_TRUE(moved.empty());
}

TEST(ByteBuffer, SizedBufferIsZeroFilledAndEmptyOneHasNoStorage) {
  ByteBuffer sized(4);
  EXPECT_EQ(std::memcmp(sized.data(), "\0\0\0\0\0", 5), 0);
  ByteBuffer none(static_cast<uint16_t>(0));
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(none.data(), nullptr);
  EXPECT_STREQ(none.text(), "");
  ByteBuffer largest(static_cast<uint16_t>(ByteBuffer::maxLength));
  EXPECT_EQ(largest.size(), 65535u);
  EXPECT_EQ(largest.data()[65535], 0);
}

}  // namespace
