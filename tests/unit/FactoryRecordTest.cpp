// The factory identity record on its own: the form checks, fw_printenv
// output, the generated uuid and the text form.
#include <gtest/gtest.h>

#include <string>

#include "registry/FactoryEntry.h"

namespace {

const char* const goodUuid = "3f1c2a9e-5b7d-4e10-9a6b-0c8d2e4f6a01";

_factory_settings record(const char* serial, const char* uuid, const char* mac1, const char* mac2) {
  _factory_settings value{};
  copyTextField(value.serial, sizeof value.serial, serial);
  copyTextField(value.uuid, sizeof value.uuid, uuid);
  copyTextField(value.mac1, sizeof value.mac1, mac1);
  copyTextField(value.mac2, sizeof value.mac2, mac2);
  return value;
}

struct CheckCase {
  const char* name;
  const char* serial;
  const char* uuid;
  const char* mac1;
  const char* mac2;
  bool valid;
};

const CheckCase checkCases[] = {
    {"good", "123", goodUuid, "02:51:90:00:00:2A", "02:51:90:00:01:2A", true},
    {"nineteen digit serial", "1234567890123456789", goodUuid, "02:51:90:00:00:2A", "02:51:90:00:01:2A", true},
    {"serial with a letter", "12a", goodUuid, "02:51:90:00:00:2A", "02:51:90:00:01:2A", false},
    {"empty serial", "", goodUuid, "02:51:90:00:00:2A", "02:51:90:00:01:2A", false},
    {"negative serial", "-5", goodUuid, "02:51:90:00:00:2A", "02:51:90:00:01:2A", false},
    {"MAC with hyphens", "123", goodUuid, "02-51-90-00-00-2A", "02:51:90:00:01:2A", false},
    {"MAC one digit short", "123", goodUuid, "02:51:90:00:00:2A", "02:51:90:00:01:2", false},
    {"MAC with a trailing colon", "123", goodUuid, "02:51:90:00:00:2A:", "02:51:90:00:01:2A", false},
    {"MAC with seven pairs", "123", goodUuid, "02:51:90:00:00:2A", "02:51:90:00:01:2A:F", false},
    {"MAC with a non-hex digit", "123", goodUuid, "02:51:90:00:0G:2A", "02:51:90:00:01:2A", false},
    {"empty MAC", "123", goodUuid, "", "02:51:90:00:01:2A", false},
    {"uuid of 35 characters", "123", "3f1c2a9e-5b7d-4e10-9a6b-0c8d2e4f6a0", "02:51:90:00:00:2A", "02:51:90:00:01:2A",
     false},
    {"uuid of 37 characters", "123", "3f1c2a9e-5b7d-4e10-9a6b-0c8d2e4f6a011", "02:51:90:00:00:2A",
     "02:51:90:00:01:2A", false},
    {"uuid with a dash out of place", "123", "3f1c2a9e5-b7d-4e10-9a6b-0c8d2e4f6a01", "02:51:90:00:00:2A",
     "02:51:90:00:01:2A", false},
    {"uuid with a non-hex digit", "123", "3f1c2a9e-5b7d-4e10-9a6b-0c8d2e4f6z01", "02:51:90:00:00:2A",
     "02:51:90:00:01:2A", false},
};

TEST(FactoryRecord, FormChecks) {
  for (const CheckCase& c : checkCases) {
    _factory_settings value = record(c.serial, c.uuid, c.mac1, c.mac2);
    EXPECT_EQ(Factory::checkRecord(value), c.valid) << c.name;
  }
}

TEST(FactoryRecord, ChecksNormaliseTheDigits) {
  _factory_settings value = record("123", "3F1C2A9E-5B7D-4E10-9A6B-0C8D2E4F6A01", "02:51:90:00:0a:2b", "aa:bb:cc:dd:ee:ff");
  ASSERT_TRUE(Factory::checkRecord(value));
  EXPECT_STREQ(value.uuid, goodUuid);
  EXPECT_STREQ(value.mac1, "02:51:90:00:0A:2B");
  EXPECT_STREQ(value.mac2, "AA:BB:CC:DD:EE:FF");
}

struct OutputCase {
  const char* name;
  std::string output;
  bool complete;
  const char* serial;
  const char* uuid;
  const char* mac1;
  const char* mac2;
};

TEST(FactoryRecord, ReadsFwPrintenvOutput) {
  const OutputCase cases[] = {
      {"lines", "serial=123\nuuid=3f1c2a9e-5b7d-4e10-9a6b-0c8d2e4f6a01\nethaddr=02:51:90:00:00:2a\nmac2=02:51:90:00:01:2A\n",
       true, "123", goodUuid, "02:51:90:00:00:2a", "02:51:90:00:01:2A"},
      {"carriage returns and spaces end values",
       "serial=77 88\r\nuuid=3f1c2a9e-5b7d-4e10-9a6b-0c8d2e4f6a01\r\nethaddr=02:51:90:00:00:2A trailing\r\nmac2=02:51:90:00:01:2A",
       true, "77", goodUuid, "02:51:90:00:00:2A", "02:51:90:00:01:2A"},
      {"mac2 missing", "serial=123\nuuid=3f1c2a9e-5b7d-4e10-9a6b-0c8d2e4f6a01\nethaddr=02:51:90:00:00:2A\n", false,
       "123", goodUuid, "02:51:90:00:00:2A", ""},
      {"serial longer than its field", std::string("serial=") + std::string(25, '1') +
       "\nuuid=3f1c2a9e-5b7d-4e10-9a6b-0c8d2e4f6a01\nethaddr=02:51:90:00:00:2A\nmac2=02:51:90:00:01:2A\n",
       false, "1111111111111111111", goodUuid, "02:51:90:00:00:2A", "02:51:90:00:01:2A"},
      {"MAC with seven pairs", "serial=1\nuuid=u\nethaddr=02:51:90:00:00:2A:FF\nmac2=m\n", false, "1", "u",
       "02:51:90:00:00:2A:F", "m"},
      {"silent", "", false, "", "", "", ""},
      {"garbage", "\x01\xff## Error: \"serial\" not defined==\n", false, "", "", "", ""},
  };
  for (const OutputCase& c : cases) {
    _factory_settings value{};
    EXPECT_EQ(Factory::readIdentity(c.output.c_str(), value), c.complete) << c.name;
    EXPECT_STREQ(value.serial, c.serial) << c.name;
    EXPECT_STREQ(value.uuid, c.uuid) << c.name;
    EXPECT_STREQ(value.mac1, c.mac1) << c.name;
    EXPECT_STREQ(value.mac2, c.mac2) << c.name;
  }
}

TEST(FactoryRecord, GeneratedUuidTakesThreeBytesOfEachWord) {
  const uint8_t bytes[8] = {0x01, 0x02, 0x03, 0xFF, 0xA5, 0x06, 0x07, 0xEE};
  EXPECT_EQ(Factory::generatedUuid(bytes), "943c0917-8ebb-46f0-94c8-0302010706a5");
  const uint8_t zeros[8] = {};
  EXPECT_EQ(Factory::generatedUuid(zeros), "943c0917-8ebb-46f0-94c8-000000000000");
}

TEST(FactoryRecord, TextFormIsNullUntilValid) {
  _factory_settings value = record("123", goodUuid, "02:51:90:00:00:2A", "02:51:90:00:01:2A");
  EXPECT_EQ(EntryText<_factory_settings>::toText(value), "null");
  value.valid = 1;
  EXPECT_EQ(EntryText<_factory_settings>::toText(value),
            R"({"serial":"123","uuid":"3f1c2a9e-5b7d-4e10-9a6b-0c8d2e4f6a01","mac1":"02:51:90:00:00:2A",)"
            R"("mac2":"02:51:90:00:01:2A","test_result":false})");
  value.test_result = 1;
  EXPECT_NE(EntryText<_factory_settings>::toText(value).find(R"("test_result":true})"), std::string::npos);
}

TEST(FactoryRecord, ObjectCopyNeedsAllFourTexts) {
  _factory_settings value = record("9", "u", "a", "b");
  EXPECT_EQ(Factory::copyObject(value, R"({"serial":"123","uuid":"x","mac1":"y","test_result":true})"),
            Factory::ObjectCopy::incomplete);
  EXPECT_STREQ(value.serial, "9");
  EXPECT_EQ(value.test_result, 0);

  EXPECT_EQ(Factory::copyObject(value, R"({"serial":"123","uuid":"x","mac1":"y","mac2":"z","test_result":true})"),
            Factory::ObjectCopy::copied);
  EXPECT_STREQ(value.serial, "123");
  EXPECT_STREQ(value.mac2, "z");
  EXPECT_EQ(value.test_result, 1);

  EXPECT_EQ(Factory::copyObject(value, R"({"serial":"123456789012345678901","uuid":"x","mac1":"y","mac2":"z"})"),
            Factory::ObjectCopy::overlong);
  EXPECT_EQ(value.test_result, 0);
}

}  // namespace
