// The poll records: which registers each asks for, and its JSON made from
// the answers (as captured from the bus: register -> 8 data bytes).
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "CaptureStdout.h"
#include "LogLines.h"
#include "can/krel/polls/AlertDevices.h"
#include "can/krel/polls/DeviceInfo.h"
#include "can/krel/polls/DevsUsedInfo.h"
#include "can/krel/polls/HubsInfo.h"
#include "can/krel/polls/PollValues.h"
#include "can/krel/polls/PowerInfo.h"
#include "can/krel/polls/RDI.h"
#include "can/krel/polls/pollNames.h"

namespace {

using namespace KREL;

const RegisterMap& map64 = RegisterMap::of(64);
const RegisterMap& map250 = RegisterMap::of(250);

IOPacket answerOf(const std::string& hex) {
  IOPacket packet;
  packet.length = 8;
  for (size_t i = 0; i + 1 < hex.size() && i / 2 < 8; i += 2) {
    packet.data[i / 2] = static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16));
  }
  return packet;
}

struct RecordCase {
  const char* name;
  std::function<std::unique_ptr<Assembleble>()> make;
  std::map<uint16_t, std::string> answers;  // unlisted registers answer zeros
  const char* registers;                    // the request, entry order
  const char* json;
};

std::string registersOf(const RequestRegisters& request) {
  std::string text;
  for (unsigned i = 0; i < RequestRegisters::capacity; ++i) {
    if ((request.mask >> i & 1u) == 0) continue;
    char reg[8];
    std::snprintf(reg, sizeof reg, "%s%04X", text.empty() ? "" : " ", request.registers[i]);
    text += reg;
  }
  return text;
}

// Names in KOI8-R: 'Щит "A"' and sixteen letters (32 bytes of UTF-8).
const std::string quoted = "FDC9D42022412200";
const std::string lettersFirst = "E1E2F7E7E4E5B3F6";
const std::string lettersSecond = "FAE9EAEBECEDEEEF";

const RecordCase recordCases[] = {
    {"power",
     [] { return std::make_unique<PowerInfo>(5, map250); },
     {{0x19, "0000C041"}, {0x1A, "00005841"}, {0x1B, "01000000"}},
     "0019 001A 001B 001C",
     R"j({"can_id":5,"v_main":24.000,"v_backup":13.500,"v_main_ok":true,"v_backup_ok":false})j"},
    {"power not a number",
     [] { return std::make_unique<PowerInfo>(5, map250); },
     {{0x19, "0000C07F"}, {0x1A, "CAF24971"}, {0x1B, "00000100"}, {0x1C, "FFFFFFFF"}},
     "0019 001A 001B 001C",
     R"j({"can_id":5,"v_main":null,"v_backup":1000000015047466219876688855040.000,"v_main_ok":true,)j"
     R"j("v_backup_ok":true})j"},
    {"hubs (16 bits of the word)",
     [] { return std::make_unique<HubsInfo>(2, map64); },
     {{0x08FD, "03000000"}, {0x005B, "01000100"}},
     "08FD 005B",
     R"j({"can_id":2,"hubs_used":3,"hubs_fault":1})j"},
    {"device info",
     [] { return std::make_unique<DeviceInfo>(5, map250); },
     {{0x0B82, "34120000"}, {0x0B83, "911A0000"}, {0x818E, "03000000"}, {0x818F, "01000000"},
      {0x8190, "02000000"}, {0x8191, "03000000"}, {0x8192, "0A000000"}},
     "0B82 0B83 818E 818F 8190 8191 8192",
     R"j({"can_id":5,"code":4660,"fw_ver":"2024-06(17)","rf_channel":3,"rf_key":"0000000100000002000000030000000A"})j"},
    {"device info, version with bit 15",
     [] { return std::make_unique<DeviceInfo>(1, map64); },
     {{0x034A, "FFFFFFFF"}, {0x034B, "919A0000"}, {0x049D, "EFBEADDE"}},
     "034A 034B 08FC 049A 049B 049C 049D",
     R"j({"can_id":1,"code":4294967295,"fw_ver":"2024-06#17","rf_channel":0,"rf_key":"000000000000000000000000DEADBEEF"})j"},
    {"used devices: always 32 bytes",
     [] { return std::make_unique<DevsUsedInfo>(2, map64); },
     {{0x0053, "0F000000"}, {0x0054, "01000080"}},
     "0053 0054",
     R"j({"can_id":2,"devices":[15,0,0,0,1,0,0,128,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]})j"},
    {"radio device with serial 0",
     [] { return std::make_unique<RDI>(2, map64, 0); },
     {{0x09A9, quoted}, {0x0070, "05000000"}},
     "099F 09A0 09A9 09AA 09A2 09A1 0070 006C 006D 0071 028A 028B 028C",
     R"j({"can_id":2,"device":{"number":1,"serial":0}})j"},
    {"radio device",
     [] { return std::make_unique<RDI>(5, map250, 1); },
     {{0x82B3, "B90B0000"}, {0x82B4, "01000000"}, {0x82BD, quoted}, {0x82B6, "02000000"}, {0x00AE, "01000000"},
      {0x00AA, "66664640"}, {0x00AB, "9A993940"}, {0x00B1, "5E620000"}, {0x00B2, "911A0000"}, {0x00B3, "01000000"}},
     "82B3 82B4 82BD 82BE 82B6 82B5 00AE 00AA 00AB 00AF 00B1 00B2 00B3",
     R"j({"can_id":5,"device":{"number":2,"serial":3001,"name":"Щит 'A'","type":1,"group":2,"status":1,"fault":0,)j"
     R"j("signal_quality":[-30,-34],"fw_ver":"2024-06(17)","hub":1,"v_main":3.100,"v_backup":2.900,)j"
     R"j("disabled":false}})j"},
    {"radio device, type bit 7: no radio details; a name of 16 letters",
     [] { return std::make_unique<RDI>(5, map250, 1); },
     {{0x82B3, "B90B0000"}, {0x82B4, "81000000"}, {0x82BD, lettersFirst}, {0x82BE, lettersSecond},
      {0x82B5, "01000000"}, {0x00AF, "02000000"}},
     "82B3 82B4 82BD 82BE 82B6 82B5 00AE 00AA 00AB 00AF 00B1 00B2 00B3",
     R"j({"can_id":5,"device":{"number":2,"serial":3001,"name":"АБВГДЕЁЖЗИЙКЛМНО","type":129,"group":0,)j"
     R"j("status":0,"fault":2,"disabled":true}})j"},
    {"valve names: one page of 7",
     [] { return std::make_unique<BSLReader>(5, "valve_names", map250.valveNames, 0); },
     {{0x8075, quoted}, {0x8088, lettersFirst}, {0x8089, lettersSecond}, {0x809B, "5A6F6E6520330000"}},
     "8075 8076 8088 8089 809B 809C 80AE 80AF 80C1 80C2 80D4 80D5 80E7 80E8",
     R"j({"can_id":5,"part":0,"names":["Щит 'A'","АБВГДЕЁЖЗИЙКЛМНО","Zone 3","","","",""]})j"},
    {"event names: the last page of 255",
     [] { return std::make_unique<BSLReader>(7, "event_names", map250.eventNames, 15); },
     {{0x90CF, "4C61737400000000"}},
     "90CF 90D0 90D1 90D2 90D3 90D4 90D5 90D6 90D7 90D8 90D9 90DA 90DB 90DC 90DD 90DE 90DF 90E0 90E1 90E2 "
     "90E3 90E4 90E5 90E6 90E7 90E8 90E9 90EA 90EB 90EC",
     R"j({"can_id":7,"part":15,"names":["Last","","","","","","","","","","","","","",""]})j"},
};

class RecordJson : public ::testing::TestWithParam<RecordCase> {};

TEST_P(RecordJson, AsksItsRegistersAndWritesTheAnswers) {
  const RecordCase& c = GetParam();
  std::unique_ptr<Assembleble> record = c.make();
  RequestRegisters request;
  record->buildRequest(request);
  EXPECT_EQ(registersOf(request), c.registers);
  for (unsigned i = 0; i < RequestRegisters::capacity; ++i) {
    if ((request.mask >> i & 1u) == 0) continue;
    auto found = c.answers.find(request.registers[i]);
    record->storeAnswer(i, answerOf(found != c.answers.end() ? found->second : ""));
  }
  EXPECT_EQ(record->toJson(), c.json);
}

INSTANTIATE_TEST_SUITE_P(PollRecords, RecordJson, ::testing::ValuesIn(recordCases),
                         [](const ::testing::TestParamInfo<RecordCase>& info) {
                           std::string name;
                           for (const char* c = info.param.name; *c != '\0'; ++c) {
                             name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                           }
                           return name;
                         });

TEST(PollRecords, MethodsAreTheRecordsNames) {
  EXPECT_STREQ(PowerInfo(1, map64).method, "power");
  EXPECT_STREQ(HubsInfo(1, map64).method, "hubs");
  EXPECT_STREQ(DeviceInfo(1, map64).method, "device_info");
  EXPECT_STREQ(DevsUsedInfo(1, map64).method, "rf_dev_used");
  EXPECT_STREQ(RDI(1, map64, 0).method, "rf_dev");
  EXPECT_STREQ(BSLReader(1, "rf_group_names", map64.rfGroupNames, 1).method, "rf_group_names");
  EXPECT_EQ(AlertDevices(1, map64, 1).method, nullptr);
}

TEST(PollRecords, APageBeyondItsListWritesNothing) {
  CaptureStdout output;
  BSLReader beyond(5, "valve_names", map250.valveNames, 1);
  RequestRegisters request;
  beyond.buildRequest(request);
  EXPECT_EQ(request.mask, 0u);
  EXPECT_EQ(beyond.toJson(), "{}");
  EXPECT_EQ(TestLog::linesWith(output.text(), "Corrupted"),
            (std::vector<TestLog::LogLine>{{'W', "pollNames.cpp", "Corrupted Data!"}}));
}

TEST(PollRecords, AlarmBlocksOfTheActiveKindsAreOred) {
  // Fire state 1 and zone state 0 active: entries 4b + 1 and 4b + 2.
  AlertDevices alert(3, map64, 0b0110);
  RequestRegisters request;
  alert.buildRequest(request);
  EXPECT_EQ(request.mask, 0x66666666u);
  EXPECT_EQ(registersOf(request),
            "0059 0363 005A 0364 005B 0365 005C 0366 005D 0367 005E 0368 005F 0369 0060 036A");
  alert.storeAnswer(1, answerOf("01000000"));
  alert.storeAnswer(2, answerOf("04000000"));
  alert.storeAnswer(29, answerOf("00000080"));
  EXPECT_TRUE(alert.inAlarm(0));
  EXPECT_FALSE(alert.inAlarm(1));
  EXPECT_TRUE(alert.inAlarm(2));
  EXPECT_TRUE(alert.inAlarm(7 * 32 + 31));
}

TEST(PollRecords, BusFloatsConvertWithoutUndefinedBehaviour) {
  EXPECT_EQ(PollValues::saturatedInt(std::nanf("")), 0);
  EXPECT_EQ(PollValues::saturatedInt(1e30f), INT32_MAX);
  EXPECT_EQ(PollValues::saturatedInt(-1e30f), INT32_MIN);
  EXPECT_EQ(PollValues::saturatedInt(-1.9f), -1);
  EXPECT_EQ(PollValues::saturatedByte(std::nanf("")), 0);
  EXPECT_EQ(PollValues::saturatedByte(-3.0f), 0);
  EXPECT_EQ(PollValues::saturatedByte(24.9f), 24);
  EXPECT_EQ(PollValues::saturatedByte(1e30f), 255);
  EXPECT_EQ(PollValues::versionText(0x0005), "2020-01(5)");
  EXPECT_EQ(PollValues::versionText(0xFFFF), "2041-04#127");
}

}  // namespace
