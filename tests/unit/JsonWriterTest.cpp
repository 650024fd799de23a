#include <gtest/gtest.h>

#include <string>

#include "registry/Json.h"
#include "registry/JsonWriter.h"

namespace {

TEST(JsonWriter, NestsObjects) {
  JsonWriter writer;
  writer.addField("a", "1");
  writer.beginObject("d");
  writer.addField("x", "2");
  writer.close();
  writer.close();
  EXPECT_EQ(writer.str(), R"({"a":1,"d":{"x":2}})");
}

TEST(JsonWriter, EmptyObjectsAndKeys) {
  JsonWriter empty;
  empty.close();
  EXPECT_EQ(empty.str(), "{}");

  JsonWriter writer;
  writer.beginObject("inner");
  writer.close();
  writer.addKey("raw");
  writer.append("[1,2]");
  writer.append(",");
  writer.close();
  EXPECT_EQ(writer.str(), R"({"inner":{},"raw":[1,2]})");
}

TEST(JsonWriter, ValueFormatters) {
  EXPECT_EQ(formatInt(-7), "-7");
  EXPECT_EQ(formatUnsigned(4294967295u), "4294967295");
  EXPECT_EQ(formatUnsigned64(18446744073709551615ull), "18446744073709551615");
  EXPECT_EQ(formatFloat(19.04f), "19.040");
  EXPECT_EQ(formatFloat(-0.0005f), "-0.001");
}

TEST(QuoteText, ReplacesQuotesBackslashesAndEscapesControlCharacters) {
  struct QuoteCase {
    std::string input;
    std::string expected;
  };
  const QuoteCase cases[] = {
      {"plain", "\"plain\""},
      {"", "\"\""},
      {"say \"hi\"", "\"say 'hi'\""},
      {"C:\\dir\\", "\"C:/dir/\""},
      {"tab\there\nline\r\x01\x1f", "\"tab\\u0009here\\u000aline\\u000d\\u0001\\u001f\""},
      {"\xd0\x9f\xd1\x80", "\"\xd0\x9f\xd1\x80\""},
  };
  for (const QuoteCase& c : cases) EXPECT_EQ(quoteText(c.input), c.expected) << c.input;
}

// Whatever a text holds, the member written with quoteText scans back as one
// string member: the writer never produces an object the scanner rejects.
TEST(QuoteText, WrittenTextScansBack) {
  std::string awkward;
  for (int c = 1; c < 128; ++c) awkward += static_cast<char>(c);
  JsonWriter writer;
  writer.addField("k", quoteText(awkward));
  writer.close();
  std::string text = writer.str();
  auto list = scanJsonObject(text.data());
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].type, JsonString);
}

}  // namespace
