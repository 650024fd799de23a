#pragma once
// Fakes around the MQTT client: a scripted broker connection, an uplink, a
// tunnelled session, a controlled clock whose sleeps advance it, and a harness
// that builds a client on a settings tree of its own.
#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "RegistryTestTree.h"
#include "mqtt/Logic.h"
#include "mqtt/Topics.h"
#include "registry/Catalogue.h"
#include "registry/ServerSettings.h"

namespace MqttTest {

struct Publication {
  std::string suffix;
  std::string text;
  uint8_t qos;
  uint8_t retained;
};

// What the fake broker saw; shared with the test, which outlives the client.
struct BrokerLog {
  std::mutex mutex;
  // Attempt results in order; once used up, `acceptByDefault`.
  std::deque<bool> script;
  bool acceptByDefault = false;
  bool publishSucceeds = true;
  std::vector<std::string> attemptHosts;  // host of every connect()
  std::vector<bool> attemptUplinks;       // PPP selected at every connect()
  std::vector<int64_t> attemptTimes;      // clock (ms) at every connect()
  std::vector<std::string> subscriptions;
  std::vector<Publication> publications;
  int disconnects = 0;
  std::string willTopic;
  std::string willMessage;

  std::vector<Publication> on(const std::string& suffix) {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Publication> found;
    for (const Publication& publication : publications) {
      if (publication.suffix == suffix) found.push_back(publication);
    }
    return found;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex);
    publications.clear();
    subscriptions.clear();
  }
};

struct FakeClock {
  std::atomic<int64_t> milliseconds{1000000};
  void advanceSeconds(int64_t seconds) { milliseconds.fetch_add(seconds * 1000); }
};

struct FakeUplink : Mqtt::Uplink {
  void switchBackup(bool on) override {
    backup = on;
    switches.push_back(on);
  }
  bool networkReady() override { return backup ? pppReady : ethernetReady; }
  bool backup = false;
  bool ethernetReady = true;
  bool pppReady = true;
  std::vector<bool> switches;
};

class FakeBroker : public Mqtt::BrokerConnection {
 public:
  FakeBroker(Mqtt::MqttCoreOwner& coreOwner, BrokerLog& brokerLog, FakeClock& fakeClock, FakeUplink& fakeUplink)
      : owner(coreOwner), log(brokerLog), clock(fakeClock), uplink(fakeUplink) {}

  bool connect() override {
    std::lock_guard<std::mutex> lock(log.mutex);
    log.attemptHosts.emplace_back(settings.host, strnlen(settings.host, sizeof settings.host));
    log.attemptUplinks.push_back(uplink.backup);
    log.attemptTimes.push_back(clock.milliseconds.load());
    log.willTopic = willTopic;
    log.willMessage = willMessage;
    if (log.script.empty()) return log.acceptByDefault;
    bool accepted = log.script.front();
    log.script.pop_front();
    return accepted;
  }
  void subscribe(const char* suffix, int) override {
    std::lock_guard<std::mutex> lock(log.mutex);
    log.subscriptions.emplace_back(suffix);
  }
  bool publish(const char* suffix, const std::string& text, uint8_t qos, uint8_t retained) override {
    std::lock_guard<std::mutex> lock(log.mutex);
    log.publications.push_back({suffix, text, qos, retained});
    return log.publishSucceeds;
  }
  void disconnect() override {
    {
      std::lock_guard<std::mutex> lock(log.mutex);
      ++log.disconnects;
    }
    owner.connectionLost();
  }

 private:
  Mqtt::MqttCoreOwner& owner;
  BrokerLog& log;
  FakeClock& clock;
  FakeUplink& uplink;
};

// A tunnelled session that answers every text with "echo:<text>".
// Echoes every text; "bye" also ends the session, as five failed logins do.
struct FakeSession : WSSession {
  explicit FakeSession(std::atomic<int>& madeCount) { madeCount.fetch_add(1); }
  void onText(const char* text) override {
    texts.push(std::string("echo:") + text);
    if (std::string(text) == "bye") over = true;
  }
  void tick() override { ticks.fetch_add(1); }
  WSOutgoingTexts& outgoing() override { return texts; }
  bool wantsClose() const override { return over; }
  WSOutgoingTexts texts;
  std::atomic<int> ticks{0};
  bool over = false;
};

inline ServerSettings brokerSettings(const char* host, int port) {
  ServerSettings settings{};
  std::strncpy(settings.host, host, sizeof settings.host - 1);
  settings.port = port;
  return settings;
}

// A client on its own tree, with "main" and "alt" as the broker hosts.
struct Harness {
  Harness() : brokers(tree.root), status(tree.root) {
    brokers.main.value = brokerSettings("main", 1883);
    brokers.alt.value = brokerSettings("alt", 1884);
    Mqtt::Environment environment;
    environment.tree = &tree.root;
    environment.brokers = &brokers;
    environment.status = &status;
    environment.makeConnection = [this](Mqtt::MqttCoreOwner& owner) -> std::unique_ptr<Mqtt::BrokerConnection> {
      return std::make_unique<FakeBroker>(owner, log, clock, uplink);
    };
    environment.uplink = &uplink;
    environment.milliseconds = [this] { return clock.milliseconds.load(); };
    environment.sleep = [this](int milliseconds) { clock.milliseconds.fetch_add(milliseconds); };
    environment.uuid = "uuid-1";
    environment.serial = "100042";
    environment.aliveNodes = [this](std::vector<uint16_t>& nodes) {
      std::lock_guard<std::mutex> lock(aliveMutex);
      nodes = alive;
    };
    environment.makeTunnelSession = [this](const WSClient& client) -> std::unique_ptr<WSSession> {
      tunnelClient = client;
      return std::make_unique<FakeSession>(sessionsMade);
    };
    environment.waitMilliseconds = 0;
    client = std::make_unique<Mqtt::Mqtt>(std::move(environment));
    client->startUp();
  }

  // Fails `count` attempts in a row.
  void failAttempts(int count) {
    for (int i = 0; i < count; ++i) {
      {
        std::lock_guard<std::mutex> lock(log.mutex);
        log.script.push_back(false);
      }
      client->pass();
    }
  }
  // One accepted attempt.
  void connect() {
    {
      std::lock_guard<std::mutex> lock(log.mutex);
      log.script.push_back(true);
    }
    client->pass();
  }
  // Keeps the connection until `seconds` after connect() accepted, then the
  // library reports it lost.
  void holdThenLose(int64_t seconds) {
    int64_t connectedAt;
    {
      std::lock_guard<std::mutex> lock(log.mutex);
      connectedAt = log.attemptTimes.back();
    }
    clock.milliseconds.store(connectedAt + seconds * 1000);
    client->connectionLost();
  }
  void arrive(const std::string& suffix, const std::string& payload) {
    std::string topic = std::string(Mqtt::topicPrefix()) + suffix;
    ByteBuffer topicBuffer(topic.data(), static_cast<uint16_t>(topic.size()));
    ByteBuffer payloadBuffer(payload.data(), static_cast<uint16_t>(payload.size()));
    client->messageArrived(topicBuffer, payloadBuffer);
  }
  bool connectedStatus() {
    std::lock_guard<std::recursive_mutex> lock(tree.root.mutex());
    return status.connected.value;
  }
  bool usingAlt() {
    std::lock_guard<std::recursive_mutex> lock(tree.root.mutex());
    return status.usingAltMqtt.value;
  }

  TestTree tree;
  Catalogue::Mqtt brokers;
  Catalogue::MqttStatus status;
  BrokerLog log;
  FakeClock clock;
  FakeUplink uplink;
  std::mutex aliveMutex;
  std::vector<uint16_t> alive;
  std::atomic<int> sessionsMade{0};
  WSClient tunnelClient;
  std::unique_ptr<Mqtt::Mqtt> client;
};

}  // namespace MqttTest
