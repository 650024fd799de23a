#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "registry/Json.h"

namespace {

struct ExpectedPair {
  std::string key;
  std::string value;
  JsonType type;
};

struct ScanCase {
  const char* name;
  const char* text;
  std::vector<ExpectedPair> pairs;
};

std::vector<ExpectedPair> scan(const std::string& text) {
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  std::vector<ExpectedPair> result;
  for (const JsonPair& pair : scanJsonObject(buffer.data())) result.push_back({pair.key, pair.value, pair.type});
  return result;
}

bool operator==(const ExpectedPair& a, const ExpectedPair& b) {
  return a.key == b.key && a.value == b.value && a.type == b.type;
}

void PrintTo(const ExpectedPair& pair, std::ostream* out) {
  *out << pair.key << "=" << pair.value << "(" << pair.type << ")";
}

class ScanTable : public testing::TestWithParam<ScanCase> {};

TEST_P(ScanTable, Scans) {
  const ScanCase& c = GetParam();
  EXPECT_EQ(scan(c.text), c.pairs) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Objects, ScanTable,
    testing::Values(
        ScanCase{"members",
                 R"({"a":1,"b":"x","c":{"d":[1]},"e":null})",
                 {{"a", "1", JsonNumber}, {"b", "x", JsonString}, {"c", R"({"d":[1]})", JsonObject}, {"e", "null", JsonNull}}},
        ScanCase{"whitespace", "{ \"t\" :\ttrue ,\r\n\"f\": false }", {{"t", "true", JsonTrue}, {"f", "false", JsonFalse}}},
        ScanCase{"empty", "{}", {}},
        ScanCase{"empty_with_space", "{ \n}", {}},
        ScanCase{"array_value", R"({"a":[1,2]})", {}},
        ScanCase{"leading_space", R"( {"a":1})", {}},
        ScanCase{"escaped_quote", R"({"s":"say \"hi\""})", {{"s", R"(say \"hi\")", JsonString}}},
        ScanCase{"negative_fraction", R"({"n":-12.5})", {{"n", "-12.5", JsonNumber}}},
        ScanCase{"exponent", R"({"n":1e3})", {}},
        ScanCase{"literal_prefix", R"({"n":nullx})", {}},
        ScanCase{"braces_in_strings", R"({"o":{"k":"}{"},"z":2})", {{"o", R"({"k":"}{"})", JsonObject}, {"z", "2", JsonNumber}}},
        ScanCase{"duplicate_keys", R"({"a":1,"a":2})", {{"a", "1", JsonNumber}, {"a", "2", JsonNumber}}},
        ScanCase{"trailing_text_ignored", R"({"a":1}garbage)", {{"a", "1", JsonNumber}}},
        ScanCase{"missing_colon", R"({"a" 1})", {}},
        ScanCase{"unquoted_key", R"({a:1})", {}},
        ScanCase{"trailing_comma", R"({"a":1,})", {}},
        ScanCase{"bad_separator", R"({"a":1;"b":2})", {}},
        ScanCase{"backslash_at_end", "{\"a\":\"x\\", {}},
        ScanCase{"not_an_object", "[1]", {}}),
    [](const testing::TestParamInfo<ScanCase>& info) { return std::string(info.param.name); });

// Every truncation of a valid object is malformed: the scan gives nothing and,
// under AddressSanitizer, never reads past the end of its buffer.
TEST(ScanJsonObject, TruncationsGiveEmptyLists) {
  const std::string whole = R"({"a":1,"b":"x\"y","c":{"d":{"e":"}"}},"f":true,"g":null,"h":-0.5})";
  ASSERT_EQ(scan(whole).size(), 6u);
  for (size_t length = 0; length < whole.size(); ++length) {
    std::string prefix = whole.substr(0, length);
    auto* buffer = new char[length + 1];
    prefix.copy(buffer, length);
    buffer[length] = '\0';
    EXPECT_TRUE(scanJsonObject(buffer).empty()) << prefix;
    delete[] buffer;
  }
}

TEST(ScanJsonObject, NestedObjectCanBeScannedAgain) {
  std::string text = R"({"mqtt":{"host":"h","port":1883}})";
  auto outer = scanJsonObject(text.data());
  ASSERT_EQ(outer.size(), 1u);
  auto inner = scanJsonObject(outer[0].value);
  ASSERT_EQ(inner.size(), 2u);
  EXPECT_STREQ(getString(inner, "host", ""), "h");
  EXPECT_EQ(getInt(inner, "port", 0), 1883);
}

TEST(JsonLookups, FirstMatchAndDefaults) {
  std::string text = R"({"i":"42","big":12345678901234,"empty":"","nul":null,"i":7})";
  auto list = scanJsonObject(text.data());
  EXPECT_EQ(getInt(list, "i", -1), 42);
  EXPECT_EQ(getInt(list, "missing", -1), -1);
  EXPECT_EQ(getInt64(list, "big", 0), 12345678901234LL);
  EXPECT_EQ(getInt64(list, "missing", 5), 5);
  EXPECT_STREQ(getString(list, "missing", "dflt"), "dflt");
  EXPECT_STREQ(getString(list, "I", "case"), "case");
  EXPECT_TRUE(isEmpty(list, "empty"));
  EXPECT_TRUE(isEmpty(list, "nul"));
  EXPECT_TRUE(isEmpty(list, "missing"));
  EXPECT_FALSE(isEmpty(list, "i"));
}

TEST(JsonLookups, GetBoolTable) {
  struct BoolCase {
    const char* value;
    bool expected;
  };
  const BoolCase cases[] = {{"true", true}, {"\"True\"", true}, {"1", true},       {"9", true},
                            {"0", false},   {"false", false},   {"\"yes\"", false}, {"null", false},
                            {"\"\"", false}, {"\"t\"", true}};
  for (const BoolCase& c : cases) {
    std::string text = std::string("{\"b\":") + c.value + "}";
    auto list = scanJsonObject(text.data());
    ASSERT_EQ(list.size(), 1u) << c.value;
    EXPECT_EQ(getBool(list, "b", !c.expected), c.expected) << c.value;
  }
  std::string empty = "{}";
  auto list = scanJsonObject(empty.data());
  EXPECT_TRUE(getBool(list, "b", true));
  EXPECT_FALSE(getBool(list, "b", false));
}

}  // namespace
