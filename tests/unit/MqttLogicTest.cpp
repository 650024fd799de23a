// The MQTT client's thread logic against a scripted broker, a fake uplink and
// a controlled clock: fail-over, announce, service passes, requests, records,
// the tunnel and connection tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "CaptureStdout.h"
#include "LogLines.h"
#include "MqttTestSupport.h"
#include "meterdata/MeterDataHandlers.h"
#include "registry/JsonWriter.h"

namespace {

using MqttTest::Harness;
using MqttTest::Publication;

using TestLog::messagesOf;

int countOf(const std::vector<std::string>& messages, const std::string& message) {
  return static_cast<int>(std::count(messages.begin(), messages.end(), message));
}

std::string onlineStatusHead(bool boot) {
  return std::string(R"({"jsonrpc":"2.0","method":"device_status","params":{"uuid":"uuid-1","model":"QTR90",)") +
         R"("sn":"100042","fw_ver":"2023.2.7","online":true,"is_boot":)" + (boot ? "true" : "false");
}

// ---- fail-over ----

struct FailOverCase {
  const char* name;
  // F: a refused attempt; C<n>: an accepted one, lost n seconds after connecting.
  std::vector<std::string> steps;
  const char* brokers;  // M/B per attempt
  const char* uplinks;  // e (Ethernet) / p (PPP) per attempt
  int32_t finalCount;
};

const FailOverCase failOverCases[] = {
    {"three attempts per broker", {"F", "F", "F", "F", "F", "F", "F", "F"}, "MMMBBBMM", "eeeeeeee", 8},
    {"a connection over 30 s resets the count", {"F", "F", "F", "F", "C31", "F"}, "MMMBBM", "eeeeee", 1},
    {"a connection of exactly 30 s is a failure", {"F", "F", "F", "F", "C30", "F"}, "MMMBBB", "eeeeee", 6},
    {"short connections count as failures", {"C10", "C10", "C10", "C10"}, "MMMB", "eeee", 4},
    {"24 failures per uplink",
     std::vector<std::string>(50, "F"),
     "MMMBBBMMMBBBMMMBBBMMMBBBMMMBBBMMMBBBMMMBBBMMMBBBMM",
     "eeeeeeeeeeeeeeeeeeeeeeee"
     "pppppppppppppppppppppppp"
     "ee",
     50},
};

TEST(MqttFailOver, AttemptSequences) {
  for (const FailOverCase& c : failOverCases) {
    SCOPED_TRACE(c.name);
    CaptureStdout capture;
    Harness harness;
    for (const std::string& step : c.steps) {
      if (step == "F") {
        harness.failAttempts(1);
      } else {
        harness.connect();
        ASSERT_TRUE(harness.client->isBrokerUp());
        harness.holdThenLose(std::stoi(step.substr(1)));
      }
    }
    std::string brokers, uplinks;
    for (const std::string& host : harness.log.attemptHosts) brokers += host == "main" ? 'M' : 'B';
    for (bool ppp : harness.log.attemptUplinks) uplinks += ppp ? 'p' : 'e';
    EXPECT_EQ(brokers, c.brokers);
    EXPECT_EQ(uplinks, c.uplinks);
    EXPECT_EQ(harness.client->failures(), c.finalCount);
    std::vector<std::string> logged = messagesOf(capture.text(), "Logic.cpp");
    auto attemptsOn = [&](char broker) { return static_cast<int>(std::count(brokers.begin(), brokers.end(), broker)); };
    EXPECT_EQ(countOf(logged, "Connecting main mqtt"), attemptsOn('M'));
    EXPECT_EQ(countOf(logged, "Connecting backup mqtt"), attemptsOn('B'));
  }
}

TEST(MqttFailOver, UsingAltFollowsTheBrokerInUse) {
  CaptureStdout capture;
  Harness harness;
  harness.failAttempts(3);
  EXPECT_FALSE(harness.usingAlt());
  harness.failAttempts(1);
  EXPECT_TRUE(harness.usingAlt());
  harness.failAttempts(2);
  harness.failAttempts(1);
  EXPECT_FALSE(harness.usingAlt());
}

TEST(MqttFailOver, PppThatNeverComesUpRestartsTheCycleOnEthernet) {
  CaptureStdout capture;
  Harness harness;
  harness.uplink.pppReady = false;
  harness.failAttempts(24);
  int64_t before = harness.clock.milliseconds.load();
  harness.client->pass();
  EXPECT_GE(harness.clock.milliseconds.load() - before, 60000) << "waits a minute for the modem";
  EXPECT_LT(harness.clock.milliseconds.load() - before, 61000);
  EXPECT_EQ(harness.log.attemptHosts.size(), 24u) << "no connect without a network";
  EXPECT_EQ(harness.client->failures(), 0);
  EXPECT_EQ(messagesOf(capture.text(), "Logic.cpp").back(), "Cannot start network");
  harness.failAttempts(1);
  EXPECT_EQ(harness.log.attemptHosts.back(), "main");
  EXPECT_FALSE(harness.log.attemptUplinks.back());
}

TEST(MqttFailOver, EthernetDownKeepsTheCountAndAQueuedTestCutsTheWait) {
  CaptureStdout capture;
  Harness harness;
  harness.failAttempts(2);
  harness.uplink.ethernetReady = false;
  int64_t before = harness.clock.milliseconds.load();
  harness.client->connectAttempt();
  EXPECT_EQ(harness.clock.milliseconds.load() - before, 60000);
  EXPECT_EQ(harness.client->failures(), 2);
  harness.client->requestTest(R"({"gsm":false})", {});
  before = harness.clock.milliseconds.load();
  harness.client->connectAttempt();
  EXPECT_EQ(harness.clock.milliseconds.load(), before) << "a queued test ends the wait at once";
  EXPECT_EQ(countOf(messagesOf(capture.text(), "Logic.cpp"), "Cannot start network"), 2);
}

TEST(MqttFailOver, BackupConnectionIsClosedAfter300Seconds) {
  CaptureStdout capture;
  Harness harness;
  harness.failAttempts(3);
  harness.connect();
  ASSERT_TRUE(harness.usingAlt());
  int64_t connectedAt = harness.log.attemptTimes.back();
  harness.clock.milliseconds.store(connectedAt + 300 * 1000);
  harness.client->pass();
  EXPECT_EQ(harness.log.disconnects, 0);
  harness.clock.milliseconds.store(connectedAt + 301 * 1000);
  harness.client->pass();
  EXPECT_EQ(harness.log.disconnects, 1);
  EXPECT_FALSE(harness.client->isBrokerUp());
  EXPECT_FALSE(harness.connectedStatus());
  EXPECT_EQ(harness.clock.milliseconds.load(), connectedAt + 306 * 1000) << "5 s pause after closing";
  harness.failAttempts(1);
  EXPECT_EQ(harness.log.attemptHosts.back(), "main");
}

TEST(MqttFailOver, MainConnectionIsKeptBeyond300Seconds) {
  CaptureStdout capture;
  Harness harness;
  harness.connect();
  harness.clock.advanceSeconds(1000);
  harness.client->pass();
  EXPECT_EQ(harness.log.disconnects, 0);
  EXPECT_TRUE(harness.client->isBrokerUp());
}

// ---- connecting ----

TEST(MqttConnect, AcceptedConnectAnnouncesTwiceWithTheWillAttached) {
  CaptureStdout capture;
  Harness harness;
  EXPECT_EQ(harness.client->activeGeneration(), 0);
  int64_t before = harness.clock.milliseconds.load();
  harness.connect();
  EXPECT_EQ(harness.clock.milliseconds.load() - before, 5000) << "1 s before connecting, 2 s after each announce";
  EXPECT_EQ(harness.log.willTopic, std::string(Mqtt::topicPrefix()) + "status");
  EXPECT_EQ(harness.log.willMessage,
            R"({"jsonrpc":"2.0","method":"device_status","params":{"uuid":"uuid-1","model":"QTR90","sn":"100042",)"
            R"("fw_ver":"2023.2.7","online":false}})");
  EXPECT_EQ(harness.log.subscriptions, (std::vector<std::string>{"requests", "wsin", "requests", "wsin"}));
  std::vector<Publication> status = harness.log.on("status");
  ASSERT_EQ(status.size(), 2u);
  EXPECT_EQ(status[0].text.rfind(onlineStatusHead(true), 0), 0u) << status[0].text;
  EXPECT_EQ(status[1].text.rfind(onlineStatusHead(false), 0), 0u) << status[1].text;
  for (const Publication& publication : status) {
    EXPECT_EQ(publication.qos, 1);
    EXPECT_EQ(publication.retained, 1);
  }
  EXPECT_TRUE(harness.connectedStatus());
  int32_t generation = harness.client->activeGeneration();
  EXPECT_EQ(generation % 2, 1);

  std::vector<std::string> logged = messagesOf(capture.text(), "Logic.cpp");
  std::vector<std::string> expected = {"Mqtt started", "Connecting main mqtt", "Mqtt connected! Subscribing...",
                                       "Done subscribing. Main topic: " + std::string(Mqtt::topicPrefix()) + "status"};
  EXPECT_EQ(logged, expected);

  harness.client->connectionLost();
  EXPECT_EQ(harness.client->activeGeneration(), 0);
  EXPECT_FALSE(harness.connectedStatus());
  EXPECT_EQ(messagesOf(capture.text(), "Logic.cpp").back(), "Mqtt disconencted");
  harness.connect();
  EXPECT_NE(harness.client->activeGeneration(), generation);
  EXPECT_EQ(harness.client->activeGeneration() % 2, 1);
}

TEST(MqttConnect, RefusedConnectIsLoggedAndCounted) {
  CaptureStdout capture;
  Harness harness;
  harness.failAttempts(1);
  EXPECT_FALSE(harness.client->isBrokerUp());
  EXPECT_FALSE(harness.connectedStatus());
  EXPECT_EQ(harness.client->failures(), 1);
  EXPECT_EQ(messagesOf(capture.text(), "Logic.cpp").back(), "Connection failed!");
  EXPECT_TRUE(harness.log.on("status").empty());
}

// ---- serving ----

struct ScriptedRpc : Rpc::SyncRPC {
  ScriptedRpc(const char* name, RpcResult result) : SyncRPC(name), answer(std::move(result)) {}
  RpcResult call(const std::string& params) override {
    seen.push_back(params);
    return answer;
  }
  RpcResult answer;
  std::vector<std::string> seen;
};

TEST(MqttRequests, ValidRequestsAreAnsweredInvalidOnesOnlyLogged) {
  ScriptedRpc echo("mqtt_logic_echo", {R"({"ok":1})", 0});
  ScriptedRpc empty("mqtt_logic_empty", {"", 0});
  CaptureStdout capture;
  Harness harness;
  // Received while disconnected: answered once connected.
  harness.arrive("requests", R"({"jsonrpc":"2.0","method":"mqtt_logic_echo","id":"a1","params":{"p":2}})");
  harness.connect();
  harness.arrive("requests", R"({"jsonrpc":"2.0","method":"mqtt_logic_empty","id":7})");
  harness.arrive("requests", R"({"jsonrpc":"2.0","method":"mqtt_logic_echo"})");
  harness.arrive("requests", R"({"jsonrpc":"2.0","method":"unknown_method","id":8})");
  harness.arrive("requests", std::string(1, '\0'));
  harness.arrive("other", R"({"jsonrpc":"2.0","method":"mqtt_logic_echo","id":9})");
  harness.client->pass();

  std::vector<Publication> responses = harness.log.on("responses");
  ASSERT_EQ(responses.size(), 2u);
  EXPECT_EQ(responses[0].text, R"({"jsonrpc":"2.0","result":{"ok":1},"id":"a1"})");
  EXPECT_EQ(responses[1].text,
            R"j({"jsonrpc":"2.0","error":{"code":2,"message":"Internal Error (Empty Answer)"},"id":7})j");
  EXPECT_EQ(responses[0].qos, 1);
  EXPECT_EQ(responses[0].retained, 0);
  EXPECT_EQ(echo.seen, std::vector<std::string>{R"({"p":2})"});
  std::vector<std::string> logged = messagesOf(capture.text(), "Logic.cpp");
  EXPECT_EQ(countOf(logged, "Got incoming RPC"), 5);
  EXPECT_EQ(countOf(logged, "RPC invalid"), 3);

  harness.client->pass();
  EXPECT_EQ(harness.log.on("responses").size(), 2u) << "each request is answered once";
}

class NamedRecord : public MeterData {
 public:
  explicit NamedRecord(const char* recordMethod, int recordNumber) : number(recordNumber) { method = recordMethod; }
  std::unique_ptr<MeterData> clone() const override { return std::make_unique<NamedRecord>(*this); }
  void writeFields(JsonWriter& writer) const override { writer.addField("n", formatInt(number)); }
  int number;
};

TEST(MqttRecords, RecordsBecomeNotificationsWhileConnected) {
  CaptureStdout capture;
  Harness harness;
  harness.client->handle(NamedRecord("metering", 0));
  harness.connect();
  harness.client->handle(NamedRecord(nullptr, 1));
  for (int n = 2; n < 22; ++n) harness.client->handle(NamedRecord("digest", n));
  harness.client->pass();  // turns the queued records into notifications
  EXPECT_TRUE(harness.log.on("updates").empty());
  harness.client->pass();  // sends them
  std::vector<Publication> updates = harness.log.on("updates");
  ASSERT_EQ(updates.size(), 19u) << "20 queued, one of them without a method";
  EXPECT_EQ(updates[0].text, R"({"jsonrpc":"2.0","method":"digest","params":{"uuid":"uuid-1","n":2}})");
  EXPECT_EQ(updates[18].text, R"({"jsonrpc":"2.0","method":"digest","params":{"uuid":"uuid-1","n":20}})");
  EXPECT_EQ(updates[0].qos, 1);
  EXPECT_EQ(updates[0].retained, 0);
  std::vector<std::string> logged = messagesOf(capture.text(), "Logic.cpp");
  EXPECT_EQ(countOf(logged, "Skipping MeterData!"), 1);
  EXPECT_EQ(countOf(logged, "Message successfully published!"), 19);

  harness.log.publishSucceeds = false;
  harness.client->handle(NamedRecord("digest", 30));
  harness.client->pass();
  harness.client->pass();
  EXPECT_EQ(countOf(messagesOf(capture.text(), "Logic.cpp"), "Publishing error!"), 1);
}

TEST(MqttRecords, DispatchReachesTheClient) {
  CaptureStdout capture;
  Harness harness;
  harness.connect();
  MeterDataHandlers::dispatch(NamedRecord("metering", 5));
  harness.client->pass();
  harness.client->pass();
  ASSERT_EQ(harness.log.on("updates").size(), 1u);
}

TEST(MqttStatus, DirtyStatusIsRepublishedAtMostEveryFiveSeconds) {
  CaptureStdout capture;
  Harness harness;
  {
    std::lock_guard<std::mutex> lock(harness.aliveMutex);
    harness.alive = {9};
  }
  harness.connect();
  harness.client->statusDirty = true;
  harness.client->pass();
  EXPECT_EQ(harness.log.on("status").size(), 2u) << "5 s since start are not yet over";
  harness.clock.advanceSeconds(1);
  harness.client->pass();
  std::vector<Publication> status = harness.log.on("status");
  ASSERT_EQ(status.size(), 3u);
  EXPECT_EQ(status[2].text.rfind(onlineStatusHead(false) + R"(,"timezone":0,"devices":[0,2,0,)", 0), 0u)
      << status[2].text;
  EXPECT_EQ(status[2].retained, 1);
  harness.client->statusDirty = true;
  harness.clock.advanceSeconds(5);
  harness.client->pass();
  EXPECT_EQ(harness.log.on("status").size(), 3u) << "5 s are not yet over";
  harness.clock.advanceSeconds(1);
  harness.client->pass();
  EXPECT_EQ(harness.log.on("status").size(), 4u);
  EXPECT_FALSE(harness.client->statusDirty.load());
  EXPECT_EQ(countOf(messagesOf(capture.text(), "Logic.cpp"), "Updating device_status"), 2);
}

// ---- the tunnel ----

TEST(MqttTunnel, SessionLivesWhileWsinTrafficGoesOn) {
  CaptureStdout capture;
  Harness harness;
  harness.connect();
  harness.arrive("wsin", "hello");
  EXPECT_TRUE(harness.client->hasTunnel());
  harness.client->pass();
  std::vector<Publication> out = harness.log.on("wsout");
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].text, "echo:hello");
  EXPECT_EQ(out[0].qos, 1);
  EXPECT_EQ(out[0].retained, 0);

  harness.clock.advanceSeconds(20);
  harness.client->pass();
  harness.arrive("wsin", "second");
  harness.client->pass();
  EXPECT_EQ(harness.sessionsMade.load(), 1) << "20 s later the same session";
  harness.clock.advanceSeconds(30);
  harness.client->pass();
  EXPECT_TRUE(harness.client->hasTunnel()) << "30 s are not yet over";
  harness.clock.advanceSeconds(1);
  harness.client->pass();
  EXPECT_FALSE(harness.client->hasTunnel());
  harness.arrive("wsin", "third");
  EXPECT_EQ(harness.sessionsMade.load(), 2);
  harness.client->pass();
  out = harness.log.on("wsout");
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[2].text, "echo:third");

  std::vector<std::string> logged = messagesOf(capture.text(), "Logic.cpp");
  EXPECT_EQ(countOf(logged, "Creating new WSOM"), 2);
  EXPECT_EQ(countOf(logged, "Deliting WSOM due to timeout"), 1);
}

// The tunnelled client's failed logins count for an address of its own, and a
// session that is over (five failed logins) goes once its texts are out.
TEST(MqttTunnel, ASessionThatIsOverIsDroppedAfterItsLastText) {
  CaptureStdout capture;
  Harness harness;
  harness.connect();
  harness.arrive("wsin", "bye");
  EXPECT_EQ(harness.tunnelClient.address, "mqtt-tunnel");
  EXPECT_EQ(harness.tunnelClient.id, 0);
  harness.client->pass();
  std::vector<Publication> out = harness.log.on("wsout");
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].text, "echo:bye");
  EXPECT_FALSE(harness.client->hasTunnel());
  harness.arrive("wsin", "again");
  EXPECT_EQ(harness.sessionsMade.load(), 2);
  EXPECT_EQ(countOf(messagesOf(capture.text(), "Logic.cpp"), "Deliting WSOM after failed logins"), 1);
}

// ---- connection tests ----

TEST(MqttConnectionTest, TestWhileConnectedReportsAndLeavesTheSettingsAlone) {
  CaptureStdout capture;
  Harness harness;
  harness.connect();
  auto client = std::make_shared<FakeClient>();
  harness.client->requestTest(R"({"mqtt":{"host":"tested","user":"u","pass":"p","port":1999},"gsm":true})", client);
  harness.log.script = {false, true};
  harness.client->runQueuedTests();
  ASSERT_EQ(client->sent.size(), 1u);
  EXPECT_EQ(client->sent[0],
            R"({"mqtt_test":{"mqtt":"{'host':'tested','user':'u','pass':'p','port':1999}","gsm":true,"result":true}})");
  EXPECT_EQ(harness.log.attemptHosts, (std::vector<std::string>{"main", "tested", "tested"}));
  EXPECT_TRUE(harness.log.attemptUplinks[1]) << "the test runs over the uplink it names";
  EXPECT_EQ(harness.log.disconnects, 2) << "the normal connection and the test connection";
  EXPECT_EQ(harness.log.on("status").size(), 3u) << "announced once on the tested broker";
  EXPECT_FALSE(harness.client->isBrokerUp());
  std::vector<std::string> logged = messagesOf(capture.text(), "Logic.cpp");
  EXPECT_EQ(countOf(logged, "Performing MQTT test. Gsm: 1"), 1);
  EXPECT_EQ(countOf(logged, "Testing attempt 0"), 1);
  EXPECT_EQ(countOf(logged, "Testing attempt 1"), 1);
  EXPECT_EQ(countOf(logged, "Testing attempt 2"), 0);

  EXPECT_EQ(harness.client->failures(), 2) << "both short connections count";
  harness.connect();
  EXPECT_EQ(harness.log.attemptHosts.back(), "main") << "the stored settings come back";
  EXPECT_FALSE(harness.log.attemptUplinks.back());
}

TEST(MqttConnectionTest, FailedTestGoesToTheClientOnlyWhileItExists) {
  CaptureStdout capture;
  Harness harness;
  auto client = std::make_shared<FakeClient>();
  harness.client->requestTest(R"({"gsm":false})", client);
  auto gone = std::make_shared<FakeClient>();
  harness.client->requestTest(R"({"mqtt":{"host":"x"}})", gone);
  gone.reset();
  harness.client->requestTest(R"({"mqtt":{"host":"third"}})", client);
  int64_t before = harness.clock.milliseconds.load();
  harness.client->runQueuedTests();
  EXPECT_EQ(harness.clock.milliseconds.load() - before, 6000) << "1 s after each of three attempts, twice";
  ASSERT_EQ(client->sent.size(), 1u);
  EXPECT_EQ(client->sent[0],
            R"({"mqtt_test":{"mqtt":"{'host':'','user':'','pass':'','port':0}","gsm":false,"result":false}})");
  EXPECT_EQ(harness.log.attemptHosts, (std::vector<std::string>{"", "", "", "x", "x", "x"}));
  EXPECT_EQ(harness.log.disconnects, 0);
  std::vector<std::string> logged = messagesOf(capture.text(), "SyncRing.h");
  EXPECT_EQ(countOf(logged, "Buffer overflow!"), 1) << "a third queued test is dropped";
}

// ---- threads ----

// The MQTT thread serves while the callback thread delivers requests, tunnel
// texts and connection losses and a producer dispatches records. Every valid
// request is answered exactly once; run under ThreadSanitizer too.
TEST(MqttThreads, CallbacksAndProducersRaceTheServiceThread) {
  ScriptedRpc method("mqtt_thread_test", {rpcSuccessText, 0});
  CaptureStdout capture;
  Harness harness;
  harness.log.acceptByDefault = true;
  std::atomic<bool> stop{false};
  std::thread service([&] {
    harness.client->startUp();
    while (!stop.load()) harness.client->pass();
  });
  std::thread producer([&] {
    for (int n = 0; n < 200 && !stop.load(); ++n) {
      MeterDataHandlers::dispatch(NamedRecord("digest", n));
      std::this_thread::yield();
    }
  });
  constexpr int requests = 200;
  for (int id = 0; id < requests; ++id) {
    harness.arrive("requests", R"({"jsonrpc":"2.0","method":"mqtt_thread_test","id":)" + std::to_string(id) + "}");
    if (id % 50 == 25) harness.client->connectionLost();
    if (id % 20 == 0) harness.arrive("wsin", "t");
    if (id % 10 == 0) harness.client->statusDirty = true;
    (void)harness.client->activeGeneration();
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (harness.log.on("responses").size() < requests && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  stop = true;
  producer.join();
  service.join();
  std::vector<int> answered;
  for (const Publication& response : harness.log.on("responses")) {
    size_t at = response.text.find("\"id\":");
    answered.push_back(std::stoi(response.text.substr(at + 5)));
  }
  std::sort(answered.begin(), answered.end());
  ASSERT_EQ(answered.size(), static_cast<size_t>(requests));
  for (int id = 0; id < requests; ++id) EXPECT_EQ(answered[id], id);
}

}  // namespace
