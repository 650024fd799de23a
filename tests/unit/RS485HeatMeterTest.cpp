// The Vzlet 24, Vzlet 42 and Vist heat meter drivers against meters that
// answer from hex tables: each Modbus answer (function, byte count, data,
// without address and CRC) beside the records' JSON texts.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "CaptureStdout.h"
#include "LogLines.h"
#include "RS485TestSupport.h"
#include "rs485/Drivers.h"
#include "rs485/Vist.h"
#include "rs485/Vzlet.h"

namespace {

using namespace RS485Test;

constexpr uint16_t vzlet42 = 6;
constexpr uint16_t vzlet24 = 7;
constexpr uint16_t vist = 9;

using AnswerTable = std::map<std::string, std::string>;

// Both Vzlet meters: net_id 7 (address 07), serial 777001.
// Identification: clock 0x6553F100 = 1700000000, serial 0x000BDB29 = 777001.
const char* const vzletIdentification = "04 08  65 53 F1 00  00 0B DB 29";

// Register values: big-endian integer, then big-endian single.
//   00 00 00 7B 3F 00 00 00 = 123 + 0.5
const AnswerTable meter24 = {
    {"04 80 00 00 04", vzletIdentification},
    {"04 C0 BE 00 08", "04 10  00 00 00 7B 3F 00 00 00  00 00 00 2D 3E 80 00 00"},  // 123.5, 45.25
    {"04 C0 D6 00 08", "04 10  00 00 00 C8 3F 40 00 00  00 00 00 00 3E 00 00 00"},  // 200.75, 0.125
    {"04 C0 EE 00 08", "04 10  00 0F 42 40 00 00 00 00  00 00 00 02 3F 80 00 00"},  // 1000000, 2 + 1.0
};

// Input registers from 0x8030 hold the values of both systems interleaved:
// Qso 1, Qso 2, Qgvs 1, Qgvs 2, Qts 1, Qts 2 (8 bytes each).
const char* const qso1 = "00 00 00 0C 3F 00 00 00";   // 12.5
const char* const qso2 = "00 00 00 63 00 00 00 00";   // 99
const char* const qgvs1 = "00 00 00 01 3E 80 00 00";  // 1.25
const char* const qgvs2 = "00 00 00 02 3F 00 00 00";  // 2.5
const char* const qts1 = "00 00 00 07 00 00 00 00";   // 7
const char* const qts2 = "00 00 00 7B 3F 00 00 00";   // 123.5
const char* const unused = "00 00 00 00 00 00 00 00";

std::string joined(std::initializer_list<const char*> parts) {
  std::string text;
  for (const char* part : parts) text += std::string(part) + " ";
  return text;
}

const AnswerTable meter42 = {
    {"04 80 00 00 04", vzletIdentification},
    {"04 80 30 00 18", "04 30 " + joined({qso1, qso2, qgvs1, qgvs2, qts1, qts2})},
    {"04 80 34 00 18", "04 30 " + joined({qso2, qgvs1, qgvs2, qts1, qts2, unused})},
};

std::string vzletRecord(int system, const std::string& values, uint32_t rserror = 0) {
  return R"({"type":"chmd_heat_meter","model":"ВЗЛЕТ??","meter_sn":777001,"heating_system":)" +
         std::to_string(system) + "," + values + R"("rserror":)" + std::to_string(rserror) + "}";
}

const std::vector<std::string> full24 = {
    vzletRecord(1, R"("Wts":123.500,"Wgv":45.250,"meter_time":1700000000,)"),
    vzletRecord(2, R"("Wts":200.750,"Wgv":0.125,"meter_time":1700000000,)"),
    vzletRecord(3, R"("Wts":1000000.000,"Wgv":3.000,"meter_time":1700000000,)"),
};
const std::vector<std::string> full42 = {
    vzletRecord(1, R"("Qso":12.500,"Qgvs":1.250,"Qts":7.000,"meter_time":1700000000,)"),
    vzletRecord(2, R"("Qso":99.000,"Qgvs":2.500,"Qts":123.500,"meter_time":1700000000,)"),
};

// The Vist: net_id 10 (address 0A), serial 12345; the same values in each
// heating system.
struct VistValues {
  const char* serialText = "31 32 33 34 35";  // "12345", then zero bytes
  uint16_t flowExponents[3] = {3, 3, 2};
  uint16_t temps[3] = {6543, 4321, 2000};  // hundredths of a degree
  int32_t flowMantissas[3] = {12345, 500, -250};
  int32_t volumes[3] = {-1500, 123456, 7};
  uint8_t volumeExponents[3] = {1, 3, 0};
  uint32_t workTime = 123456;  // hundredths
  uint64_t energy = 987654321;
  uint8_t energyExponent = 3;
};

void appendBigEndian(Bytes& bytes, uint64_t value, int count) {
  for (int i = count - 1; i >= 0; --i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The answers of one Vist, function and byte count first:
//   identification  03 16, the serial text padded with zeros to 22 bytes
//   A               04 10, flow exponents, 1 register, temperatures, 1 register
//   B               04 0C, flow mantissas
//   C (file record) 14 62 61 06, 96 record bytes: volumes at 22, work time
//                   at 46, energy at 50, the four exponents at 58
AnswerTable vistMeter(const VistValues& v = {}) {
  AnswerTable table;
  Bytes identification = bytesOf("03 16 " + std::string(v.serialText));
  identification.resize(2 + 22);
  table["03 00 17 00 0B"] = hexOf(identification);
  for (int s = 0; s < 3; ++s) {
    Bytes a = {0x04, 0x10};
    for (uint16_t e : v.flowExponents) appendBigEndian(a, e, 2);
    appendBigEndian(a, 0, 2);
    for (uint16_t t : v.temps) appendBigEndian(a, t, 2);
    appendBigEndian(a, 0, 2);
    Bytes b = {0x04, 0x0C};
    for (int32_t m : v.flowMantissas) appendBigEndian(b, static_cast<uint32_t>(m), 4);
    Bytes record(96);
    Bytes values;
    for (int32_t volume : v.volumes) appendBigEndian(values, static_cast<uint32_t>(volume), 4);
    std::copy(values.begin(), values.end(), record.begin() + 22);
    values.clear();
    appendBigEndian(values, v.workTime, 4);
    appendBigEndian(values, v.energy, 8);
    std::copy(values.begin(), values.end(), record.begin() + 46);
    for (int i = 0; i < 3; ++i) record[58 + i] = v.volumeExponents[i];
    record[61] = v.energyExponent;
    Bytes c = {0x14, 0x62, 0x61, 0x06};
    c.insert(c.end(), record.begin(), record.end());
    char key[3][40];
    std::snprintf(key[0], sizeof key[0], "04 %02X 02 00 08", 4 * s + 2);
    std::snprintf(key[1], sizeof key[1], "04 %02X 06 00 06", 4 * s + 3);
    std::snprintf(key[2], sizeof key[2], "14 07 06 00 %02X 00 00 00 30", s);
    table[key[0]] = hexOf(a);
    table[key[1]] = hexOf(b);
    table[key[2]] = hexOf(c);
  }
  return table;
}

std::string vistRecord(int system, uint32_t rserror = 0, const char* serial = "12345") {
  return std::string(R"({"type":"chmd_heat_meter","model":"ВИСТ","meter_sn":)") + serial + R"(,"heating_system":)" +
         std::to_string(system) +
         (rserror & 1 ? ","
                      : R"(,"work_time":1234.560,"e_sum":987654.321,)"
                        R"("point_1":{"volume":-150.000,"flow":12.345,"temp":65.430},)"
                        R"("point_2":{"volume":123.456,"flow":0.500,"temp":43.210},)"
                        R"("point_3":{"volume":7.000,"flow":-2.500,"temp":20.000},)") +
         R"("rserror":)" + std::to_string(rserror) + "}";
}

std::vector<std::string> threeVistRecords(uint32_t rserror, const char* serial = "12345") {
  return {vistRecord(1, rserror, serial), vistRecord(2, rserror, serial), vistRecord(3, rserror, serial)};
}

struct PollResult {
  std::vector<std::string> records;
  std::vector<std::string> payloads;
  std::string log;
};

// One whole poll, as the poll thread runs it: every step, every record.
PollResult pollAll(const RS485::DeviceRecord& device, FakeMeter& meter) {
  PollResult result;
  CaptureStdout output;
  std::unique_ptr<RS485::DeviceCore> driver = RS485::makeDriver(device, meter);
  for (uint8_t step = 0; step < driver->steps; ++step) {
    std::unique_ptr<RS485::RSMeterData> record = driver->poll(step);
    if (record) {
      EXPECT_EQ(record->clone()->toJson(), record->toJson());
      EXPECT_STREQ(record->method, "metering");
      result.records.push_back(record->toJson());
    }
  }
  result.payloads = meter.payloads;
  result.log = output.text();
  return result;
}

struct HeatMeterCase {
  const char* name;
  uint16_t driver;
  // Answers changed from the meter's table; an empty text removes one.
  AnswerTable changes;
  std::vector<std::string> records;
  size_t requests;
  int64_t serial = -1;  // -1: the meter's own
  const char* answerAddress = "";
};

class HeatMeterRecords : public ::testing::TestWithParam<HeatMeterCase> {};

TEST_P(HeatMeterRecords, FromAnswersToJson) {
  const HeatMeterCase& c = GetParam();
  bool isVist = c.driver == vist;
  AnswerTable answers = isVist ? vistMeter() : c.driver == vzlet24 ? meter24 : meter42;
  for (const auto& [payload, answer] : c.changes) {
    if (answer.empty()) {
      answers.erase(payload);
    } else {
      answers[payload] = answer;
    }
  }
  FakeMeter meter(isVist ? "0A" : "07", answers);
  meter.answerAddress = bytesOf(c.answerAddress);
  uint64_t serial = c.serial >= 0 ? static_cast<uint64_t>(c.serial) : isVist ? 12345 : 777001;
  PollResult result = pollAll(withNetId(deviceRecord(c.driver, serial), isVist ? 10 : 7), meter);
  EXPECT_EQ(result.records, c.records);
  EXPECT_EQ(result.payloads.size(), c.requests);
}

std::string zeros(size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) text += "00 ";
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    Vzlet, HeatMeterRecords,
    ::testing::Values(
        HeatMeterCase{"v24_full", vzlet24, {}, full24, 6},
        HeatMeterCase{"v42_full", vzlet42, {}, full42, 4},
        HeatMeterCase{"v24_silent_gives_no_record", vzlet24, {{"04 80 00 00 04", ""}}, {}, 3},
        // Bytes 7 to 10 hold the serial: 9 and 10 bytes in all are no identification.
        HeatMeterCase{"v42_identification_of_10_bytes", vzlet42, {{"04 80 00 00 04", "04 05 65 53 F1 00 00"}}, {}, 2},
        HeatMeterCase{"v42_identification_of_9_bytes", vzlet42, {{"04 80 00 00 04", "04 04 65 53 F1 00"}}, {}, 2},
        HeatMeterCase{"v42_answer_of_42_bytes", vzlet42,
                      {{"04 80 30 00 18", "04 25 " + joined({qso1, qso2, qgvs1, qgvs2}) + zeros(5)}},
                      {vzletRecord(1, "", 1), full42[1]}, 4},
        HeatMeterCase{"v24_no_data_answer", vzlet24, {{"04 C0 D6 00 08", ""}},
                      {full24[0], vzletRecord(2, "", 1), full24[2]}, 6},
        HeatMeterCase{"v24_other_serial_keeps_the_values", vzlet24, {{"04 80 00 00 04", "04 08 65 53 F1 00 00 0B DB 2A"}},
                      {vzletRecord(1, R"("Wts":123.500,"Wgv":45.250,"meter_time":1700000000,)", 16384),
                       vzletRecord(2, R"("Wts":200.750,"Wgv":0.125,"meter_time":1700000000,)", 16384),
                       vzletRecord(3, R"("Wts":1000000.000,"Wgv":3.000,"meter_time":1700000000,)", 16384)},
                      6},
        // Another meter's answer, or an exception answer, is no answer.
        HeatMeterCase{"v24_answers_from_another_address", vzlet24, {}, {}, 3, -1, "08"},
        HeatMeterCase{"v42_exception_answer", vzlet42, {{"04 80 34 00 18", "84 02"}},
                      {full42[0], vzletRecord(2, "", 1)}, 4},
        HeatMeterCase{"v24_fraction_that_is_no_number", vzlet24,
                      {{"04 C0 EE 00 08", "04 10  00 00 00 01 7F C0 00 00  00 00 00 02 7F 80 00 00"}},
                      {full24[0], full24[1], vzletRecord(3, R"("Wts":null,"Wgv":null,"meter_time":1700000000,)")},
                      6}),
    [](const ::testing::TestParamInfo<HeatMeterCase>& info) { return info.param.name; });

// Answer C of the Vist is built by vistMeter(); its changes here are short
// versions of the three value answers.
INSTANTIATE_TEST_SUITE_P(
    Vist, HeatMeterRecords,
    ::testing::Values(
        HeatMeterCase{"full", vist, {}, threeVistRecords(0), 12},
        HeatMeterCase{"silent_still_three_records", vist, {{"03 00 17 00 0B", ""}}, threeVistRecords(32769), 3},
        HeatMeterCase{"no_serial_configured", vist, {}, threeVistRecords(16384, "0"), 12, 0},
        HeatMeterCase{"other_serial", vist, {}, threeVistRecords(16384, "12346"), 12, 12346},
        // A with 11 data bytes has the exponents but not the temperatures.
        HeatMeterCase{"short_a", vist, {{"04 02 02 00 08", "04 0B 00 03 00 03 00 02 00 00 19 8F 10"}},
                      {vistRecord(1, 1), vistRecord(2), vistRecord(3)}, 12},
        HeatMeterCase{"short_b", vist, {{"04 07 06 00 06", "04 09 00 00 30 39 00 00 01 F4 FF"}},
                      {vistRecord(1), vistRecord(2, 1), vistRecord(3)}, 12},
        HeatMeterCase{"short_c", vist, {{"14 07 06 00 02 00 00 00 30", "14 3C 3B 06 " + zeros(59)}},
                      {vistRecord(1), vistRecord(2), vistRecord(3, 1)}, 12},
        HeatMeterCase{"answers_from_another_address", vist, {}, threeVistRecords(32769), 3, -1, "0B"}),
    [](const ::testing::TestParamInfo<HeatMeterCase>& info) { return info.param.name; });

TEST(HeatMeterRequests, PayloadsOfEachStep) {
  FakeMeter v24("07", meter24);
  EXPECT_EQ(pollAll(withNetId(deviceRecord(vzlet24, 777001), 7), v24).payloads,
            (std::vector<std::string>{"04 80 00 00 04", "04 C0 BE 00 08", "04 80 00 00 04", "04 C0 D6 00 08",
                                      "04 80 00 00 04", "04 C0 EE 00 08"}));
  FakeMeter v42("07", meter42);
  EXPECT_EQ(pollAll(withNetId(deviceRecord(vzlet42, 777001), 7), v42).payloads,
            (std::vector<std::string>{"04 80 00 00 04", "04 80 30 00 18", "04 80 00 00 04", "04 80 34 00 18"}));
  FakeMeter meter("0A", vistMeter());
  std::vector<std::string> payloads = pollAll(withNetId(deviceRecord(vist, 12345), 10), meter).payloads;
  ASSERT_EQ(payloads.size(), 12u);
  EXPECT_EQ(std::vector<std::string>(payloads.begin() + 4, payloads.begin() + 8),
            (std::vector<std::string>{"03 00 17 00 0B", "04 06 02 00 08", "04 07 06 00 06",
                                      "14 07 06 00 01 00 00 00 30"}));
}

// One address byte: the net_id's low byte; 0 (broadcast) without a net_id.
TEST(HeatMeterRequests, AddressIsTheLowByteOfTheNetId) {
  struct Case {
    uint16_t driver;
    RS485::DeviceRecord record;
    const char* address;
  };
  for (const Case& c : {Case{vzlet24, withNetId(deviceRecord(vzlet24, 1), 0x1FF), "FF"},
                        Case{vzlet42, deviceRecord(vzlet42, 1), "00"},
                        Case{vist, withNetId(deviceRecord(vist, 1), 300), "2C"}}) {
    SCOPED_TRACE(c.address);
    FakeMeter meter(c.address, {});
    RS485::makeDriver(c.record, meter)->poll(0);
    ASSERT_FALSE(meter.frames.empty());
  }
}

TEST(HeatMeterLog, MismatchedAnswerIsNamed) {
  FakeMeter meter("07", meter24);
  meter.answerAddress = bytesOf("08");
  PollResult result = pollAll(withNetId(deviceRecord(vzlet24, 777001), 7), meter);
  std::vector<TestLog::LogLine> lines = TestLog::linesWith(result.log, "dropped");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], (TestLog::LogLine{'W', "DeviceCore.cpp",
                                        "Answer to address 7 function 0x04 came from address 8 function 0x04: dropped"}));
}

// The serial text is read from the data bytes only: byte 2 counts two of
// them here, so the "34" after them is not part of the number.
TEST(VistSerial, ReadWithinTheDataBytes) {
  AnswerTable answers = vistMeter();
  answers["03 00 17 00 0B"] = "03 02 31 32 33 34";
  FakeMeter meter("0A", answers);
  PollResult result = pollAll(withNetId(deviceRecord(vist, 12), 10), meter);
  ASSERT_EQ(result.records.size(), 3u);
  EXPECT_NE(result.records[0].find(R"("rserror":0})"), std::string::npos) << result.records[0];
  // Nothing but the address and the function: no digits at all.
  answers["03 00 17 00 0B"] = "03";
  FakeMeter bare("0A", answers);
  result = pollAll(withNetId(deviceRecord(vist, 12), 10), bare);
  EXPECT_NE(result.records[0].find(R"("rserror":16384})"), std::string::npos) << result.records[0];
}

TEST(VistScale, TenthsToThePowerOfTheExponent) {
  EXPECT_EQ(RS485::decimalScale(0), 1.0);
  EXPECT_DOUBLE_EQ(12345 * RS485::decimalScale(3), 12.345);
  EXPECT_EQ(RS485::decimalScale(20), RS485::decimalScale(16));
  EXPECT_NEAR(12345 * RS485::decimalScale(20), 12345e-16, 1e-24);
  EXPECT_DOUBLE_EQ(-1500 * RS485::decimalScale(1), -150.0);
}

TEST(HeatMeterRecords, CloneKeepsTheType) {
  RS485::Vzlet24_MeterData v24;
  v24.values[2] = 1.5;
  v24.heating_system = 2;
  RS485::Vzlet42_MeterData v42;
  v42.values[0] = 2.5;
  RS485::Vist_FifoData meter;
  meter.flow[1] = 3.5;
  meter.system = 1;
  for (const MeterData* record : std::initializer_list<const MeterData*>{&v24, &v42, &meter}) {
    EXPECT_EQ(record->clone()->toJson(), record->toJson());
  }
}

}  // namespace
