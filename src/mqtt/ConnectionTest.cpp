// Broker connection tests for local API clients (the "mqtt_test" endpoint):
// {"mqtt":{"host":...,"user":...,"pass":...,"port":...},"gsm":false} is
// queued (at most 2) and run by the MQTT thread between its passes: the
// normal connection is closed, up to three attempts are made with the given
// settings over the given uplink, the result goes to the requesting client,
// and the next pass connects with the stored settings again.
#include <memory>
#include <string>

#include "core/Log.h"
#include "mqtt/Logic.h"
#include "mqtt/RpcMessages.h"
#include "registry/Json.h"

// Part of the MQTT client: its lines carry the client's tag.
#undef FIELDHUB_FILE_NAME
#define FIELDHUB_FILE_NAME "Logic.cpp"

namespace Mqtt {

namespace {

constexpr int testPauseMilliseconds = 500;
constexpr int testAttemptPauseMilliseconds = 1000;
constexpr int testAttempts = 3;

}  // namespace

void Mqtt::requestTest(const char* text, const Origin& client) {
  auto request = std::make_shared<MqttTestRequest>();
  request->client = client;
  std::string buffer(text != nullptr ? text : "");
  JsonList members = scanJsonObject(buffer.data());
  if (const JsonPair* settings = findPair(members, "mqtt")) {
    EntryText<ServerSettings>::fromText(request->settings, settings->value);
  }
  request->gsm = getBool(members, "gsm", false);
  testQueue.push(std::move(request));
}

void Mqtt::runQueuedTests() {
  testQueue.consumeAll([this](const std::shared_ptr<MqttTestRequest>& request) {
    if (request != nullptr) runTest(*request);
  });
}

void Mqtt::runTest(const MqttTestRequest& request) {
  LOGI("Performing MQTT test. Gsm: %d", request.gsm ? 1 : 0);
  if (brokerUp.load()) {
    core->disconnect();
    sleepFor(testPauseMilliseconds);
  }
  environment.uplink->switchBackup(request.gsm);
  core->settings = request.settings;
  bool connected = false;
  for (int attempt = 0; attempt < testAttempts; ++attempt) {
    LOGI("Testing attempt %d", attempt);
    connected = connectBroker(connectionGeneration.load());
    if (connected) break;
    sleepFor(testAttemptPauseMilliseconds);
  }
  if (brokerUp.load()) subscribeAndAnnounce();
  if (std::shared_ptr<ReplyChannel> client = request.client.lock()) {
    client->send(testResultText(request.settings, request.gsm, connected));
  }
  if (brokerUp.load()) {
    core->disconnect();
    sleepFor(testPauseMilliseconds);
  }
}

}  // namespace Mqtt
