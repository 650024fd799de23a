// The Mercury 236 and 206 drivers against meters that answer from hex
// tables: each answer's data (without address and CRC) beside the record's
// JSON text.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "RS485TestSupport.h"
#include "rs485/Drivers.h"
#include "rs485/Mercury206.h"
#include "rs485/Mercury236.h"

namespace {

using namespace RS485Test;
using RS485::DeviceRecord;

constexpr uint16_t mercury206 = 2;
constexpr uint16_t mercury236 = 3;

using AnswerTable = std::map<std::string, std::string>;

// A Mercury 236 with serial 12345678 (address 78 = 0x4E).
const AnswerTable meter236 = {
    {"00", "00"},
    {"01 01 07 07 07 07 07 07", "00"},
    // Tariffs: A+, A-, R+, R- each as b1 b2 b3 b4 = (b2 << 24) | (b1 << 16) | (b4 << 8) | b3.
    {"05 00 01", "00 01 02 03  00 00 00 00  00 00 E8 03  FF FF FF FF"},
    {"05 00 02", "00 00 39 30  00 00 00 00  00 00 00 00  00 00 00 00"},
    {"05 00 03", "00 00 02 00  00 00 00 00  00 00 00 00  00 00 00 00"},
    {"05 00 04", "00 00 A0 0F  00 00 00 00  00 00 00 00  01 00 00 00"},
    // Three-byte values b1 b2 b3 = (b1 << 16) | (b3 << 8) | b2; power: the sum first.
    {"08 16 11", "00 1A 5B  00 3C 5A  00 A6 59"},
    {"08 16 21", "00 DC 05  00 FA 00  00 00 00"},
    {"08 16 00", "00 00 00  00 C4 86  00 8F 16  80 D2 04"},
    {"08 16 08", "00 00 00  00 64 00  40 32 00  00 00 00"},
    {"08 11 40", "00 89 13"},
    {"08 02", "00 01 00 05"},
    {"08 00", "0C 22 38 4E  0F 06 15"},
};

const char* const full236 =
    R"({"type":"energy_meter","model":"МЕРКУРИЙ236","meter_sn":12345678,)"
    R"("energy":["{'A+':16777.986,'A-':0.000,'R+':1.000,'R-':null}",)"
    R"("{'A+':12.345,'A-':0.000,'R+':0.000,'R-':0.000}",)"
    R"("{'A+':0.002,'A-':0.000,'R+':0.000,'R-':0.000}",)"
    R"("{'A+':4.000,'A-':0.000,'R+':0.000,'R-':65.536}"],)"
    R"("frequency":50.010,"voltage":[233.220,231.000,229.500],"current":[1.500,0.250,0.000],)"
    R"("active":[345.000,57.750,-12.340],"reactive":[1.000,-0.500,0.000],"Kn":1,"Kt":5,)"
    R"("meter_date":0,"date_made":"15.6.2021",)";

// A Mercury 206 with serial 12345678 (address 00 BC 61 4E): address, command, BCD data.
const AnswerTable meter206 = {
    {"81", "81 50 00 02"},
    {"2E", "2E 04"},
    {"27", "27 00 01 23 45  00 00 67 89  00 00 00 00  12 34 56 78"},
    {"85", "85 00 00 01 00  00 00 00 00  00 00 00 00  00 00 00 00"},
    {"63", "63 22 95  01 23  00 28 34"},
};

const char* const full206 =
    R"({"type":"energy_meter","model":"МЕРКУРИЙ206","meter_sn":12345678,"tariff_count":4,"tariff":2,)"
    R"("active":[123.450,67.890,0.000,123456.780],"reactive":[1.000,0.000,0.000,0.000],)"
    R"("frequency":50.000,"voltage":229.500,"current":1.230,"power":2834,"meter_time":0,)";

std::string shortRecord(const char* model, uint32_t rserror) {
  return std::string(R"({"type":"energy_meter","model":")") + model + R"(","meter_sn":12345678,"rserror":)" +
         std::to_string(rserror) + "}";
}

struct DriverCase {
  const char* name;
  uint16_t driver;
  // Answers changed from the meter's table; an empty text removes one.
  AnswerTable changes;
  std::string json;
  size_t requests;
};

std::string pollOnce(const DriverCase& c, std::vector<std::string>* payloads) {
  AnswerTable answers = c.driver == mercury236 ? meter236 : meter206;
  for (const auto& [payload, answer] : c.changes) {
    if (answer.empty()) {
      answers.erase(payload);
    } else {
      answers[payload] = answer;
    }
  }
  FakeMeter meter(c.driver == mercury236 ? "4E" : "00 BC 61 4E", answers);
  std::unique_ptr<RS485::DeviceCore> driver = RS485::makeDriver(deviceRecord(c.driver, 12345678), meter);
  std::unique_ptr<RS485::RSMeterData> record = driver->poll(0);
  if (payloads != nullptr) *payloads = meter.payloads;
  return record ? record->toJson() : "no record";
}

class DriverRecords : public ::testing::TestWithParam<DriverCase> {};

TEST_P(DriverRecords, FromAnswersToJson) {
  std::vector<std::string> payloads;
  EXPECT_EQ(pollOnce(GetParam(), &payloads), GetParam().json);
  EXPECT_EQ(payloads.size(), GetParam().requests);
}

INSTANTIATE_TEST_SUITE_P(
    Mercury, DriverRecords,
    ::testing::Values(
        DriverCase{"m236_full", mercury236, {}, std::string(full236) + R"("rserror":0})", 13},
        DriverCase{"m236_silent_stops_after_the_channel_test", mercury236, {{"00", ""}},
                   shortRecord("МЕРКУРИЙ236", 32769), 1},
        DriverCase{"m236_negative_channel_test", mercury236, {{"00", "05"}}, shortRecord("МЕРКУРИЙ236", 32769), 1},
        DriverCase{"m236_session_refused", mercury236, {{"01 01 07 07 07 07 07 07", "05"}},
                   shortRecord("МЕРКУРИЙ236", 8193), 2},
        DriverCase{"m236_short_kn_kt", mercury236, {{"08 02", "00"}}, shortRecord("МЕРКУРИЙ236", 1), 13},
        DriverCase{"m236_short_energy", mercury236, {{"05 00 03", "00 00 02 00"}}, shortRecord("МЕРКУРИЙ236", 1),
                   13},
        DriverCase{"m236_wrong_serial_keeps_the_values", mercury236, {{"08 00", "0C 22 38 4F  0F 06 15"}},
                   std::string(full236) + R"("rserror":16384})", 13},
        DriverCase{"m236_no_serial_answer", mercury236, {{"08 00", ""}}, shortRecord("МЕРКУРИЙ236", 16385), 13},
        DriverCase{"m206_full", mercury206, {}, std::string(full206) + R"("rserror":0})", 5},
        DriverCase{"m206_silent_gets_0x81_twice", mercury206, {{"81", ""}}, shortRecord("МЕРКУРИЙ206", 32769), 2},
        DriverCase{"m206_short_first_answer", mercury206, {{"81", "81 50 00"}}, shortRecord("МЕРКУРИЙ206", 32769),
                   2},
        DriverCase{"m206_short_power_answer", mercury206, {{"63", "63 22 95 01 23"}},
                   shortRecord("МЕРКУРИЙ206", 1), 5},
        DriverCase{"m206_no_tariff_count", mercury206, {{"2E", ""}}, shortRecord("МЕРКУРИЙ206", 1), 5}),
    [](const ::testing::TestParamInfo<DriverCase>& info) { return info.param.name; });

TEST(Mercury236, RequestsInOrder) {
  std::vector<std::string> payloads;
  pollOnce(DriverCase{"", mercury236, {}, "", 0}, &payloads);
  EXPECT_EQ(payloads, (std::vector<std::string>{"00", "01 01 07 07 07 07 07 07", "05 00 01", "05 00 02", "05 00 03",
                                                "05 00 04", "08 16 11", "08 16 21", "08 16 00", "08 16 08",
                                                "08 11 40", "08 02", "08 00"}));
}

// Address bytes in front of every payload.
TEST(MercuryAddress, FromNetIdOrSerial) {
  struct Case {
    uint16_t driver;
    DeviceRecord record;
    const char* address;
  };
  for (const Case& c : {
           Case{mercury236, deviceRecord(mercury236, 12345678), "4E"},  // 678 > 239: 78
           Case{mercury236, deviceRecord(mercury236, 12345200), "C8"},  // 200
           Case{mercury236, deviceRecord(mercury236, 12345000), "01"},  // 0 becomes 1
           Case{mercury236, withNetId(deviceRecord(mercury236, 12345678), 55), "37"},
           Case{mercury236, withNetId(deviceRecord(mercury236, 12345678), 9999), "0F"},  // low byte of 0x270F
           Case{mercury236, withNetId(deviceRecord(mercury236, 12345678), 12345), "2D"},  // 345 > 239: 45
           Case{mercury206, deviceRecord(mercury206, 12345678), "00 BC 61 4E"},
           Case{mercury206, withNetId(deviceRecord(mercury206, 12345678), 0x01020304), "01 02 03 04"},
       }) {
    SCOPED_TRACE(c.address);
    FakeMeter meter(c.address, {});
    RS485::makeDriver(c.record, meter)->poll(0);
    ASSERT_FALSE(meter.frames.empty());
  }
}

// The line settings come from the record: rates above 65535 as stored.
TEST(MercuryLine, ConfigFromTheRecord) {
  FakeMeter meter("4E", {});
  RS485::makeDriver(deviceRecord(mercury236, 12345678, 2, 115200, "8e2"), meter)->poll(0);
  ASSERT_EQ(meter.configs.size(), 1u);
  const Platform::LineConfig& config = meter.configs[0];
  EXPECT_EQ(config.timeout, 2000);
  EXPECT_EQ(config.baud, 115200u);
  EXPECT_EQ(config.line, 2);
  EXPECT_EQ(config.raw, 0);
  EXPECT_STREQ(config.mode, "8e2");
}

TEST(MercuryRecords, CloneIsTheSameRecord) {
  RS485::Mercury236_FifoData m236;
  m236.serial = 7;
  m236.energy[3][1] = 1234;
  m236.voltage[2] = 22000;
  RS485::Mercury206_FifoData m206;
  m206.serial = 8;
  m206.power = 99;
  m206.rserror = 0x4000;
  for (const MeterData* record : std::initializer_list<const MeterData*>{&m236, &m206}) {
    EXPECT_EQ(record->clone()->toJson(), record->toJson());
    EXPECT_STREQ(record->method, "metering");
  }
}

}  // namespace
