// SHA-1 against the FIPS 180 / RFC 3174 vectors and Base64 against RFC 4648.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "net/Base64.h"
#include "net/Sha1.h"

namespace {

std::string hex(const Sha1Digest& digest) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t byte : digest) {
    out += digits[byte >> 4];
    out += digits[byte & 0x0F];
  }
  return out;
}

std::vector<uint8_t> counting(size_t length) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i);
  return bytes;
}

struct Sha1Case {
  std::string input;
  const char* digest;
};

TEST(Sha1, PublishedVectors) {
  const Sha1Case cases[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopq"
       "rstu",
       "a49b2446a02c645bf419f995b67091253a04a259"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  for (const Sha1Case& c : cases) {
    EXPECT_EQ(hex(sha1(c.input.data(), c.input.size())), c.digest) << c.input.substr(0, 20);
  }
}

TEST(Sha1, PaddingSpillsIntoASecondBlockFrom56Bytes) {
  // 55 bytes leave room for the marker and the length; 56 do not; 64 fill a block.
  const std::pair<size_t, const char*> cases[] = {
      {55, "8ae2d46729cfe68ff927af5eec9c7d1b66d65ac2"},
      {56, "636e2ec698dac903498e648bd2f3af641d3c88cb"},
      {64, "c6138d514ffa2135bfce0ed0b8fac65669917ec7"},
  };
  for (const auto& [length, digest] : cases) {
    std::vector<uint8_t> input = counting(length);
    EXPECT_EQ(hex(sha1(input.data(), input.size())), digest) << length;
  }
}

TEST(Base64, Rfc4648Vectors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xff\xfe\xfd", "//79"},
  };
  for (const auto& [input, encoded] : cases) EXPECT_EQ(base64Encode(input.data(), input.size()), encoded) << input;
}

TEST(Base64, LineFeedAfterEvery72CharactersWhenMoreFollows) {
  const std::string full = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7";
  std::vector<uint8_t> sixty = counting(60);
  EXPECT_EQ(base64Encode(sixty.data(), sixty.size()), full.substr(0, 72) + "\n" + full.substr(72));
  std::vector<uint8_t> fiftyFour = counting(54);  // exactly 72 characters: no line feed
  EXPECT_EQ(base64Encode(fiftyFour.data(), fiftyFour.size()), full.substr(0, 72));
}

TEST(Sha1Base64, WebSocketAcceptOfTheRfc6455SampleKey) {
  std::string joined = "dGhlIHNhbXBsZSBub25jZQ==258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  Sha1Digest digest = sha1(joined.data(), joined.size());
  EXPECT_EQ(base64Encode(digest.data(), digest.size()), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

}  // namespace
