// The texts of the cloud link: topics, request intake, responses,
// notifications, device_status and the connection-test result.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "meterdata/MeterData.h"
#include "mqtt/DeviceStatus.h"
#include "mqtt/RpcMessages.h"
#include "mqtt/Topics.h"
#include "registry/Factory.h"
#include "registry/JsonWriter.h"

namespace {

TEST(MqttTopics, TopicForPutsTheSuffixBehindTheUuidPrefix) {
  std::string prefix = "fire_alarm/" + Factory::deviceUuid() + "/";
  EXPECT_EQ(Mqtt::topicPrefix(), prefix);
  EXPECT_EQ(std::string(Mqtt::topicFor("responses")), prefix + "responses");
  EXPECT_EQ(std::string(Mqtt::topicFor("wsout")), prefix + "wsout") << "a shorter suffix leaves nothing behind";
}

TEST(MqttTopics, TopicIsComparesOnlyWhatFollowsThePrefixLength) {
  std::string prefix(Mqtt::topicPrefix());
  std::string sameLength(prefix.size(), 'x');
  struct Case {
    std::string topic;
    const char* suffix;
    bool expected;
  };
  const Case cases[] = {
      {prefix + "requests", "requests", true},
      {sameLength + "requests", "requests", true},
      {prefix + "wsin", "wsin", true},
      {prefix + "wsin", "requests", false},
      {prefix + "requests/x", "requests", false},
      {prefix + "request", "requests", false},
      {prefix, "", false},
      {"requests", "requests", false},
      {"", "requests", false},
  };
  for (const Case& c : cases) EXPECT_EQ(Mqtt::topicIs(c.suffix, c.topic), c.expected) << c.topic << " / " << c.suffix;
}

struct FixedRpc : Rpc::SyncRPC {
  explicit FixedRpc(const char* name) : SyncRPC(name) {}
  RpcResult call(const std::string&) override { return {rpcSuccessText, 0}; }
};

TEST(MqttRequestIntake, ValidRequestsKeepIdAndParamsAsWritten) {
  FixedRpc method("mqtt_intake_test");
  struct Case {
    const char* payload;
    const char* id;
    const char* params;
  };
  const Case cases[] = {
      {R"({"jsonrpc":"2.0","method":"mqtt_intake_test","id":7})", "7", ""},
      {R"({"jsonrpc":"2.0","method":"mqtt_intake_test","id":"a1"})", R"("a1")", ""},
      {R"({"jsonrpc":"2.0","method":"mqtt_intake_test","id":"a\"b\\c"})", R"("a\"b\\c")", ""},
      {R"({"jsonrpc":"2.0","method":"mqtt_intake_test","params":{"x":[1,2],"y":"z"}})", "null",
       R"({"x":[1,2],"y":"z"})"},
      {R"({ "jsonrpc" : 1, "id" : null, "method" : "mqtt_intake_test" })", "null", ""},
      {R"({"method":"mqtt_intake_test","jsonrpc":"2.0","id":-1.5,"params":3})", "-1.5", "3"},
  };
  for (const Case& c : cases) {
    std::string text = c.payload;
    RpcRequest request;
    ASSERT_TRUE(Mqtt::readRpcRequest(text.data(), request)) << c.payload;
    EXPECT_EQ(request.method, &method) << c.payload;
    EXPECT_EQ(request.id, c.id) << c.payload;
    EXPECT_EQ(request.params, c.params) << c.payload;
    EXPECT_EQ(request.result, rpcSuccessText);
  }
}

TEST(MqttRequestIntake, InvalidRequestsAreRefused) {
  FixedRpc method("mqtt_intake_test");
  const std::string cases[] = {
      "",
      std::string("\x00\xff\x01{", 4),
      "not json",
      R"({"jsonrpc":"2.0","method":"mqtt_intake_test"})",           // two members
      R"({"method":"mqtt_intake_test","id":1,"params":{}})",        // no jsonrpc
      R"({"jsonrpc":"2.0","method":"no_such_method","id":1})",      // unknown
      R"({"jsonrpc":"2.0","method":"MQTT_INTAKE_TEST","id":1})",    // compared exactly
      R"({"jsonrpc":"2.0","method":{"mqtt_intake_test":1},"id":1})",  // not a name
      R"({"jsonrpc":"2.0","method":"mqtt_intake_test","params":[1]})",  // arrays do not scan
      R"({"jsonrpc":"2.0","method":"mqtt_intake_test","id":1)",     // unterminated
  };
  for (const std::string& payload : cases) {
    std::string text = payload;
    RpcRequest request;
    EXPECT_FALSE(Mqtt::readRpcRequest(text.data(), request)) << payload;
  }
}

TEST(MqttResponses, SuccessAndErrorForms) {
  struct Case {
    const char* result;
    int32_t code;
    const char* id;
    const char* expected;
    int32_t codeAfter;
  };
  const Case cases[] = {
      {rpcSuccessText, 0, "7", R"({"jsonrpc":"2.0","result":"{"status":"success"}","id":7})", 0},
      {R"({"a":1})", 0, R"("a1")", R"({"jsonrpc":"2.0","result":{"a":1},"id":"a1"})", 0},
      {"", 0, "null", R"j({"jsonrpc":"2.0","error":{"code":2,"message":"Internal Error (Empty Answer)"},"id":null})j",
       2},
      {"ignored", 1, "3", R"({"jsonrpc":"2.0","error":{"code":1,"message":"Internal Error"},"id":3})", 1},
      {"", 3, R"("x")", R"({"jsonrpc":"2.0","error":{"code":3,"message":"Unknown Method"},"id":"x"})", 3},
  };
  for (const Case& c : cases) {
    RpcRequest request;
    request.result = c.result;
    request.code = c.code;
    request.id = c.id;
    EXPECT_EQ(Mqtt::rpcResponseText(request), c.expected);
    EXPECT_EQ(request.code, c.codeAfter);
  }
}

class SampleRecord : public MeterData {
 public:
  std::unique_ptr<MeterData> clone() const override { return std::make_unique<SampleRecord>(*this); }
  void writeFields(JsonWriter& writer) const override {
    for (const auto& [key, value] : fields) writer.addField(key, value);
  }
  std::vector<std::pair<std::string, std::string>> fields;
};

TEST(MqttNotifications, UuidComesFirstThenTheRecordsMembers) {
  SampleRecord record;
  record.method = "metering";
  record.fields = {{"type", "\"water_meter\""}, {"volume", "12.345"}};
  EXPECT_EQ(Mqtt::notificationText(record, "u-1"),
            R"({"jsonrpc":"2.0","method":"metering","params":{"uuid":"u-1","type":"water_meter","volume":12.345}})");
  record.method = "digest";
  record.fields.clear();
  EXPECT_EQ(Mqtt::notificationText(record, "u\"2"), R"({"jsonrpc":"2.0","method":"digest","params":{"uuid":"u'2"}})");
  record.method = nullptr;
  EXPECT_EQ(Mqtt::notificationText(record, "u-1"), "");
}

TEST(MqttDeviceStatus, OfflineFormEndsAfterOnline) {
  Mqtt::DeviceStatus status("3f1c", "100042", {});
  EXPECT_EQ(status.text(false),
            R"({"jsonrpc":"2.0","method":"device_status","params":{"uuid":"3f1c","model":"QTR90","sn":"100042",)"
            R"("fw_ver":"2023.2.7","online":false}})");
}

TEST(MqttDeviceStatus, OnlineFormHasBootOnceAndThirtyTwoMasks) {
  std::vector<uint16_t> alive = {0, 7, 8, 249, 250, 255, 300};
  Mqtt::DeviceStatus status("3f1c", "100042", [&](std::vector<uint16_t>& nodes) { nodes = alive; });
  std::string masks = "[129,1";
  for (int g = 2; g < 31; ++g) masks += ",0";
  masks += ",2]";
  std::string head = R"({"jsonrpc":"2.0","method":"device_status","params":{"uuid":"3f1c","model":"QTR90",)"
                     R"("sn":"100042","fw_ver":"2023.2.7","online":true,"is_boot":)";
  EXPECT_EQ(status.text(false), status.text(false)) << "offline texts leave the boot flag alone";
  EXPECT_EQ(status.text(true), head + R"(true,"timezone":0,"devices":)" + masks + "}}");
  EXPECT_EQ(status.text(true), head + R"(false,"timezone":0,"devices":)" + masks + "}}");
  alive.clear();
  std::string none = "[0";
  for (int g = 1; g < 32; ++g) none += ",0";
  EXPECT_EQ(status.text(true), head + R"(false,"timezone":0,"devices":)" + none + "]}}");
}

TEST(MqttDeviceStatus, EveryPanelNodeHasItsOwnBit) {
  std::vector<uint16_t> all;
  for (uint16_t node = 0; node < 256; ++node) all.push_back(node);
  auto masks = Mqtt::DeviceStatus::deviceMasks(all);
  for (size_t g = 0; g < 31; ++g) EXPECT_EQ(masks[g], 255u) << g;
  EXPECT_EQ(masks[31], 3u) << "nodes 248 and 249 only";
}

TEST(MqttTestResult, SettingsAreQuotedOnceMore) {
  ServerSettings settings{};
  std::strcpy(settings.host, "broker.local");
  std::strcpy(settings.user, "u\"1");
  std::strcpy(settings.pass, "p\\2");
  settings.port = 1883;
  EXPECT_EQ(Mqtt::testResultText(settings, false, true),
            R"({"mqtt_test":{"mqtt":"{'host':'broker.local','user':'u'1','pass':'p/2','port':1883}",)"
            R"("gsm":false,"result":true}})");
  EXPECT_EQ(Mqtt::testResultText(ServerSettings{}, true, false),
            R"({"mqtt_test":{"mqtt":"{'host':'','user':'','pass':'','port':0}","gsm":true,"result":false}})");
}

}  // namespace
