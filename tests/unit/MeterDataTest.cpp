#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CaptureStdout.h"
#include "LogLines.h"
#include "can/volmar/MeterDataLogger.h"
#include "core/FixedText.h"
#include "meterdata/HeatMeterStatus.h"
#include "meterdata/MeterDataHandlers.h"
#include "meterdata/WaterMeterStatus.h"
#include "registry/JsonWriter.h"

namespace {

using TestLog::LogLine;
using TestLog::logLines;

WaterMeterStatus shortWaterRecord() {
  WaterMeterStatus water;
  water.meter_sn = 12345678;
  water.trx_sn = 100200;
  water.min_trx_sn = 100201;
  water.rssi = -60;
  water.min_rssi = -95;
  water.volume = 12345;
  water.hub_time = 1700000000;
  // Only reported together with the battery voltage.
  water.flags = 3;
  water.device_time = 1699999990;
  setText(water.modem_fw_ver, "2.07");
  return water;
}

WaterMeterStatus fullWaterRecord() {
  WaterMeterStatus water = shortWaterRecord();
  water.v_bat = 180;
  return water;
}

HeatMeterStatus heatRecord() {
  HeatMeterStatus heat;
  setText(heat.model, "HM\"5\\x");
  heat.serial = 18446744073709551615ull;
  heat.trx_sn = 4294967296ull;
  heat.min_trx_sn = 7;
  heat.rssi = -128;
  heat.min_rssi = 127;
  heat.v_bat = 255;
  setText(heat.modem_fw_ver, "fw 1.0.3");
  heat.volume = 123.4567f;
  heat.flow = 0.0f;
  heat.sum_heat = 1.5f;
  heat.sum_cold = 2.25f;
  heat.power = 1000.0f;
  heat.temp_in = 71.25f;
  heat.temp_out = -0.5f;
  heat.device_time = 1699999000;
  heat.hub_time = 1700000001;
  return heat;
}

// A panel or RS485 record: no kind of its own and the base printStatus.
class OtherRecord : public MeterData {
 public:
  std::unique_ptr<MeterData> clone() const override { return std::make_unique<OtherRecord>(*this); }
  void writeFields(JsonWriter& writer) const override {
    if (withMember) writer.addField("node", formatInt(7));
  }
  bool withMember = true;
};

struct JsonCase {
  const char* name;
  std::function<std::unique_ptr<MeterData>()> make;
  const char* json;
};

const JsonCase jsonCases[] = {
    {"water short: no battery, eight members",
     [] { return shortWaterRecord().clone(); },
     R"({"type":"water_meter","meter_sn":12345678,"trx_sn":100200,"rssi":-60,"min_rssi":-95,)"
     R"("min_trx_sn":100201,"volume":12.345,"hub_time":1700000000})"},
    {"water full: battery, firmware, flags and clock",
     [] { return fullWaterRecord().clone(); },
     R"({"type":"water_meter","meter_sn":12345678,"trx_sn":100200,"rssi":-60,"min_rssi":-95,)"
     R"("min_trx_sn":100201,"volume":12.345,"v_bat":3.600,"modem_fw_ver":"2.07","flags":3,)"
     R"("device_time":1699999990,"hub_time":1700000000})"},
    {"water volume limits are exact",
     [] {
       WaterMeterStatus water;
       water.volume = 4294967295u;
       water.v_bat = 1;
       water.hub_time = 0;
       return water.clone();
     },
     R"({"type":"water_meter","meter_sn":0,"trx_sn":0,"rssi":0,"min_rssi":0,"min_trx_sn":0,)"
     R"("volume":4294967.295,"v_bat":0.020,"modem_fw_ver":"","flags":0,"device_time":0,"hub_time":0})"},
    {"heat: quote and backslash in the model, number limits",
     [] { return heatRecord().clone(); },
     R"({"type":"heat_meter","model":"HM'5/x","serial":18446744073709551615,"trx_sn":4294967296,)"
     R"("rssi":-128,"min_rssi":127,"min_trx_sn":7,"v_bat":5.100,"modem_fw_ver":"fw 1.0.3",)"
     R"("volume":123.457,"flow":0.000,"sum_heat":1.500,"sum_cold":2.250,"power":1000.000,)"
     R"("temp_in":71.250,"temp_out":-0.500,"device_time":1699999000,"hub_time":1700000001})"},
    {"other record keeps its own members",
     [] {
       OtherRecord other;
       other.hub_time = 5;
       return other.clone();
     },
     R"({"node":7})"},
    {"record without members is an empty object",
     [] {
       OtherRecord other;
       other.withMember = false;
       return other.clone();
     },
     "{}"},
};

TEST(MeterRecords, JsonTextOfEachRecord) {
  for (const JsonCase& c : jsonCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.make()->toJson(), c.json);
  }
}

TEST(MeterRecords, CloneIsAnIndependentCopyOfTheWholeRecord) {
  for (const JsonCase& c : jsonCases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<MeterData> original = c.make();
    std::unique_ptr<MeterData> copy = original->clone();
    EXPECT_EQ(copy->toJson(), original->toJson());
    EXPECT_EQ(copy->kind(), original->kind());
    EXPECT_EQ(copy->method, original->method);
    EXPECT_EQ(typeid(*copy), typeid(*original));
    original->hub_time += 1;
    EXPECT_NE(copy->hub_time, original->hub_time);
  }
}

TEST(MeterRecords, KindAndMethod) {
  EXPECT_EQ(WaterMeterStatus().kind(), 1u);
  EXPECT_EQ(HeatMeterStatus().kind(), 2u);
  EXPECT_EQ(OtherRecord().kind(), 0u);
  EXPECT_STREQ(WaterMeterStatus().method, "metering");
  EXPECT_STREQ(HeatMeterStatus().method, "metering");
  EXPECT_EQ(OtherRecord().method, nullptr);
}

TEST(MeterRecords, TextFieldsKeepFifteenCharacters) {
  HeatMeterStatus heat;
  setText(heat.model, "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
  EXPECT_EQ(fieldText(heat.model), "ABCDEFGHIJKLMNO");
  EXPECT_EQ(heat.model[15], '\0');
  setText(heat.model, "ab");
  EXPECT_EQ(fieldText(heat.model), "ab");
}

TEST(MeterRecords, NewRecordCarriesTheWallClock) {
  time_t before = std::time(nullptr);
  WaterMeterStatus water;
  EXPECT_GE(static_cast<time_t>(water.hub_time), before - 1);
  EXPECT_LE(static_cast<time_t>(water.hub_time), std::time(nullptr) + 1);
}

struct StatusCase {
  const char* name;
  std::function<std::unique_ptr<MeterData>()> make;
  std::vector<LogLine> lines;  // "%s" stands for the record's JSON
};

TEST(MeterRecords, LoggerPrintsEveryDispatchedRecord) {
  const StatusCase cases[] = {
      {"heat", [] { return heatRecord().clone(); },
       {{'D', "HeatMeterStatus.cpp", "=== Heat Meter Short Status ==="}, {'D', "HeatMeterStatus.cpp", "Contents: %s"}}},
      {"water full", [] { return fullWaterRecord().clone(); },
       {{'D', "WaterMeterStatus.cpp", "=== Water Meter Full Status ==="},
        {'D', "WaterMeterStatus.cpp", "Contents: %s"}}},
      {"water short", [] { return shortWaterRecord().clone(); },
       {{'D', "WaterMeterStatus.cpp", "=== Water Meter Short Status ==="},
        {'D', "WaterMeterStatus.cpp", "Contents: %s"}}},
      {"panel or RS485 record", [] { return OtherRecord().clone(); },
       {{'W', "MeterData.cpp", "Unknown CO Data type received"}, {'W', "MeterData.cpp", "Contents: %s"}}},
  };
  MeterDataLogger logger;
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<MeterData> record = c.make();
    std::vector<LogLine> expected = c.lines;
    for (LogLine& line : expected) {
      size_t at = line.message.find("%s");
      if (at != std::string::npos) line.message.replace(at, 2, record->toJson());
    }
    CaptureStdout capture;
    MeterDataHandlers::dispatch(*record);
    EXPECT_EQ(logLines(capture.text()), expected);
  }
}

// Records the order in which consumers are called.
class Recorder : public CommonHandler<MeterData> {
 public:
  Recorder(char name, std::string& calls) : name(name), calls(calls) {}
  void handle(const MeterData& record) override {
    calls += name;
    lastJson = record.toJson();
  }
  char name;
  std::string& calls;
  std::string lastJson;
};

TEST(MeterDataHandlers, DispatchesInListOrderAndRemoveMovesTheLastConsumer) {
  std::string calls;
  Recorder a('a', calls), b('b', calls), c('c', calls), d('d', calls);
  size_t before = MeterDataHandlers::count();

  MeterDataHandlers::dispatch(shortWaterRecord());  // nobody of ours listens yet
  EXPECT_EQ(calls, "");

  for (Recorder* r : {&a, &b, &c, &d}) MeterDataHandlers::add(r);
  EXPECT_EQ(MeterDataHandlers::count(), before + 4);
  MeterDataHandlers::dispatch(shortWaterRecord());
  EXPECT_EQ(calls, "abcd");
  EXPECT_EQ(c.lastJson, shortWaterRecord().toJson());

  calls.clear();
  MeterDataHandlers::remove(&b);  // d takes b's place
  MeterDataHandlers::dispatch(heatRecord());
  EXPECT_EQ(calls, "adc");
  EXPECT_EQ(d.lastJson, heatRecord().toJson());

  calls.clear();
  MeterDataHandlers::remove(&b);  // not listed any more: no change
  MeterDataHandlers::remove(&c);  // the last one
  MeterDataHandlers::dispatch(heatRecord());
  EXPECT_EQ(calls, "ad");

  MeterDataHandlers::remove(&a);
  MeterDataHandlers::remove(&d);
  EXPECT_EQ(MeterDataHandlers::count(), before);
}

TEST(MeterDataHandlers, LoggerJoinsAndLeavesTheList) {
  size_t before = MeterDataHandlers::count();
  {
    MeterDataLogger logger;
    EXPECT_EQ(MeterDataHandlers::count(), before + 1);
  }
  EXPECT_EQ(MeterDataHandlers::count(), before);
}

// A consumer is never called after remove() returned, while other threads
// keep dispatching; run under ThreadSanitizer too.
class CountingConsumer : public CommonHandler<MeterData> {
 public:
  void handle(const MeterData&) override {
    calls.fetch_add(1);
    if (removed.load()) calledAfterRemove.store(true);
  }
  std::atomic<int> calls{0};
  std::atomic<bool> removed{false};
  std::atomic<bool> calledAfterRemove{false};
};

TEST(MeterDataHandlers, RemoveWaitsForARunningDispatch) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> producers;
  for (int i = 0; i < 2; ++i) {
    producers.emplace_back([&stop] {
      WaterMeterStatus record = shortWaterRecord();
      while (!stop.load()) MeterDataHandlers::dispatch(record);
    });
  }
  for (int round = 0; round < 50; ++round) {
    auto consumer = std::make_unique<CountingConsumer>();
    MeterDataHandlers::add(consumer.get());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (consumer->calls.load() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    MeterDataHandlers::remove(consumer.get());
    consumer->removed.store(true);
    int calls = consumer->calls.load();
    std::this_thread::yield();
    EXPECT_GT(calls, 0);
    EXPECT_EQ(consumer->calls.load(), calls);
    EXPECT_FALSE(consumer->calledAfterRemove.load());
  }
  stop.store(true);
  for (std::thread& producer : producers) producer.join();
}

}  // namespace
