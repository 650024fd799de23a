#include "mqtt/Logic.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <vector>

#include "core/Event.h"
#include "core/Log.h"
#include "meterdata/MeterDataHandlers.h"
#include "mqtt/MqttCore.h"
#include "mqtt/RpcMessages.h"
#include "mqtt/Topics.h"
#include "platform/Clock.h"
#include "registry/Factory.h"
#include "tinmoss/JSONData.h"

namespace Mqtt {

namespace {

constexpr int announcePauseMilliseconds = 2000;
constexpr int connectPauseMilliseconds = 1000;
constexpr int backupClosePauseMilliseconds = 5000;
constexpr int uplinkPollMilliseconds = 10;

// The alive panel nodes as the panel layer publishes them. The callback is
// copied under the registry mutex and called outside it, so the panel layer's
// own lock is never taken inside the registry mutex here.
void processAliveNodes(std::vector<uint16_t>& nodes) {
  std::function<void(std::vector<uint16_t>&)> source;
  {
    std::lock_guard<std::recursive_mutex> lock(registryMutex());
    source = Catalogue::krelDevicesList().value.aliveNodes;
  }
  if (source) source(nodes);
}

}  // namespace

Environment Environment::process() {
  Environment environment;
  environment.tree = &RegistryRoot::global();
  environment.brokers = &Catalogue::mqtt();
  environment.status = &Catalogue::mqttStatus();
  environment.makeConnection = [](MqttCoreOwner& owner) -> std::unique_ptr<BrokerConnection> {
    return std::make_unique<MqttCore>(owner, Factory::deviceUuid());
  };
  environment.uplink = &processUplink();
  environment.milliseconds = [] { return Platform::monotonicCoarseMilliseconds(); };
  environment.sleep = [](int milliseconds) { msleep(milliseconds); };
  environment.uuid = Factory::deviceUuid();
  environment.serial = Factory::serial();
  environment.aliveNodes = processAliveNodes;
  environment.makeTunnelSession = [](const WSClient& client) -> std::unique_ptr<WSSession> {
    return std::make_unique<JSONData>(client);
  };
  return environment;
}

Mqtt* Mqtt::instance() {
  static Mqtt* const made = [] {
    auto* mqtt = new Mqtt(Environment::process());
    Catalogue::mqttTest().setHandler(
        [mqtt](const char* value, const Origin& origin) { mqtt->requestTest(value, origin); });
    return mqtt;
  }();
  return made;
}

Mqtt::Mqtt(Environment env)
    : environment(std::move(env)),
      connectedStatus(environment.status->connected),
      altStatus(environment.status->usingAltMqtt),
      wsomDeadline(tunnelIdleSeconds, [this] { return nowSeconds(); }),
      stableDeadline(stableSeconds, [this] { return nowSeconds(); }),
      altDeadline(backupSeconds, [this] { return nowSeconds(); }),
      statusDeadline(statusSpacingSeconds, [this] { return nowSeconds(); }),
      wakeFd(makeEventFd()),
      settingsWaiter({{"mqtt", "main"}, {"mqtt", "alt"}}, *environment.tree),
      deviceStatus(environment.uuid, environment.serial, environment.aliveNodes),
      core(environment.makeConnection(*this)) {
  MeterDataHandlers::add(this);
}

Mqtt::~Mqtt() {
  stop();
  MeterDataHandlers::remove(this);
  core.reset();
  {
    std::lock_guard<std::mutex> lock(tunnelMutex);
    wsom.reset();
  }
  if (wakeFd >= 0) close(wakeFd);
}

void Mqtt::run() {
  startUp();
  while (keepRunning.load() != 0) pass();
}

void Mqtt::startUp() {
  LOGI("Mqtt started");
  core->willTopic = topicFor("status");
  core->willMessage = deviceStatus.text(false);
}

void Mqtt::pass() {
  runQueuedTests();
  if (!brokerUp.load()) {
    connectAttempt();
  } else {
    servicePass();
  }
}

int32_t Mqtt::activeGeneration() const { return brokerUp.load() ? connectionGeneration.load() : 0; }

void Mqtt::setStatus(WSStatus<bool>& entry, bool value) {
  std::lock_guard<std::recursive_mutex> lock(environment.tree->mutex());
  if (entry.value == value) return;
  entry.value = value;
  environment.tree->commit(entry);
}

// ---- connecting ----

void Mqtt::connectAttempt() {
  int32_t failed = failCount.load();
  bool backupBroker = (failed / attemptsPerBroker) % 2 == 1;
  bool backupUplink = (failed / attemptsPerUplink) % 2 == 1;
  LOGI("Connecting %s mqtt", backupBroker ? "backup" : "main");
  {
    std::lock_guard<std::recursive_mutex> lock(environment.tree->mutex());
    core->settings = backupBroker ? environment.brokers->alt.value : environment.brokers->main.value;
    setStatus(altStatus, backupBroker);
  }
  environment.uplink->switchBackup(backupUplink);
  if (!waitForUplink()) {
    LOGW("Cannot start network");
    if (backupUplink) failCount.store(0);
    return;
  }
  int32_t generationBefore = connectionGeneration.load();
  sleepFor(connectPauseMilliseconds);
  if (!connectBroker(generationBefore)) {
    LOGI("Connection failed!");
    failCount.fetch_add(1);
    return;
  }
  subscribeAndAnnounce();
  {
    // Under the registry mutex, which connectionLost() takes after clearing
    // brokerUp: a connection lost meanwhile is never shown as connected.
    std::lock_guard<std::recursive_mutex> lock(environment.tree->mutex());
    if (connectionGeneration.load() == generationBefore) setStatus(connectedStatus, true);
  }
  LOGI("Mqtt connected! Subscribing...");
  subscribeAndAnnounce();
  LOGI("Done subscribing. Main topic: %s", topicFor("status"));
}

bool Mqtt::waitForUplink() {
  int64_t start = environment.milliseconds();
  while (!environment.uplink->networkReady()) {
    if (environment.milliseconds() - start >= uplinkWaitMilliseconds || testQueue.size() != 0 || stopRequested()) {
      break;
    }
    sleepFor(uplinkPollMilliseconds);
  }
  return environment.uplink->networkReady();
}

bool Mqtt::connectBroker(int32_t generationBefore) {
  // The stable period counts from the attempt on, so a connection lost while
  // connect() returns is measured against this attempt, not an older one.
  stableDeadline.restart();
  bool connected = core->connect();
  if (!connected) {
    brokerUp.store(false);
    return false;
  }
  stableDeadline.restart();
  altDeadline.restart();
  brokerUp.store(true);
  // connectionLost() advances the generation before it clears brokerUp: when
  // it ran since the attempt began, the connection is already gone.
  if (connectionGeneration.load() != generationBefore) brokerUp.store(false);
  return true;
}

void Mqtt::subscribeAndAnnounce() {
  core->subscribe("requests", 1);
  // Standard brokers deliver only subscribed topics: the tunnel needs "wsin".
  core->subscribe("wsin", 1);
  publish("status", deviceStatus.text(true), 1, 1);
  sleepFor(announcePauseMilliseconds);
}

void Mqtt::connectionLost() {
  // The count is settled before the MQTT thread can see the connection down:
  // woken by a lost connection, it starts the next attempt at once and would
  // otherwise choose the broker from the old count.
  if (stableDeadline.expired()) {
    failCount.store(0);
  } else {
    failCount.fetch_add(1);
  }
  signalEvent(wakeFd);
  // (generation + 1) | 1 for an odd generation; wraps from the largest odd
  // value to the smallest, so it stays odd and never becomes 0.
  connectionGeneration.fetch_add(2);
  brokerUp.store(false);
  LOGW("Mqtt disconencted");
  setStatus(connectedStatus, false);
}

// ---- serving ----

bool Mqtt::backupTimeIsUp() {
  std::lock_guard<std::recursive_mutex> lock(environment.tree->mutex());
  return connectedStatus.value && altStatus.value && altDeadline.expired();
}

void Mqtt::servicePass() {
  if (backupTimeIsUp()) {
    core->disconnect();
    sleepFor(backupClosePauseMilliseconds);
    return;
  }
  answerRequests();
  publishOutQueue();
  queueNotifications();
  serviceTunnel();
  republishStatus();
  waitForWork();
}

bool Mqtt::publish(const char* suffix, const std::string& text, uint8_t qos, uint8_t retained) {
  bool published = core->publish(suffix, text, qos, retained);
  if (!published) LOGW("Publishing error!");
  return published;
}

void Mqtt::answerRequests() {
  std::list<RpcRequest> answered;
  {
    std::lock_guard<std::mutex> lock(rpcMutex);
    for (auto request = pendingRpcs.begin(); request != pendingRpcs.end();) {
      auto next = std::next(request);
      if (request->done.load()) answered.splice(answered.end(), pendingRpcs, request);
      request = next;
    }
  }
  for (RpcRequest& request : answered) {
    if (request.method != nullptr) {
      request.method->invoke(request);
      request.method = nullptr;
    }
    publish("responses", rpcResponseText(request), 1, 0);
  }
}

void Mqtt::publishOutQueue() {
  while (!outQueue.empty()) {
    const OutgoingMessage& message = outQueue.front();
    if (core->publish(message.suffix, message.payload, message.qos, message.retained)) {
      LOGI("Message successfully published!");
    } else {
      LOGW("Publishing error!");
    }
    outQueue.pop_front();
  }
}

void Mqtt::queueNotifications() {
  bool queued = false;
  meterQueue.consumeAll([&](const std::shared_ptr<MeterData>& record) {
    if (record == nullptr) return;
    std::string text = notificationText(*record, environment.uuid);
    if (text.empty() || outQueue.size() >= maxOutgoing) return;
    outQueue.push_back(OutgoingMessage{"updates", std::move(text), 1, 0});
    queued = true;
  });
  // The next pass follows at once and sends them.
  if (queued) signalEvent(wakeFd);
}

void Mqtt::republishStatus() {
  if (!statusDeadline.expired() || !statusDirty.exchange(false)) return;
  statusDeadline.restart();
  LOGI("Updating device_status");
  publish("status", deviceStatus.text(true), 1, 1);
}

void Mqtt::waitForWork() {
  TunnelWait tunnel = tickTunnel();
  int timeout = environment.waitMilliseconds;
  if (tunnel.tickWithin >= 0 && (timeout < 0 || tunnel.tickWithin < timeout)) timeout = tunnel.tickWithin;
  // The backup broker's 300 s end up in the wait as well.
  int64_t backupEndsIn = backupEndsWithinMilliseconds();
  if (backupEndsIn >= 0 && (timeout < 0 || backupEndsIn < timeout)) timeout = static_cast<int>(backupEndsIn);
  pollfd watched[6] = {{wakeFd, POLLIN, 0},        {meterQueue.fd(), POLLIN, 0},
                       {testQueue.fd(), POLLIN, 0}, {stopDescriptor(), POLLIN, 0},
                       {tunnel.outgoingFd, POLLIN, 0}, {tunnel.wakeFd, POLLIN, 0}};
  if (poll(watched, 6, timeout) <= 0) return;
  if ((watched[0].revents & POLLIN) != 0) takeEvent(wakeFd);
  if ((watched[5].revents & POLLIN) != 0) clearEvent(tunnel.wakeFd);
}

int64_t Mqtt::backupEndsWithinMilliseconds() {
  std::lock_guard<std::recursive_mutex> lock(environment.tree->mutex());
  if (!connectedStatus.value || !altStatus.value) return -1;
  int64_t left = (altDeadline.lastSecondOnTime() + 1) * 1000 - environment.milliseconds();
  return std::clamp<int64_t>(left, 0, INT_MAX);
}

// ---- incoming messages ----

void Mqtt::messageArrived(const ByteBuffer& topic, const ByteBuffer& payload) {
  if (topicIs("wsin", topic.view())) {
    feedTunnel(payload);
  } else if (topicIs("requests", topic.view())) {
    takeRequest(payload);
  }
}

void Mqtt::takeRequest(const ByteBuffer& payload) {
  LOGI("Got incoming RPC");
  RpcRequest request;
  request.waker = &wakeFd;
  std::string text(payload.text());
  if (!readRpcRequest(text.data(), request)) {
    LOGW("RPC invalid");
    return;
  }
  std::lock_guard<std::mutex> lock(rpcMutex);
  pendingRpcs.push_back(request);
  RpcRequest& pending = pendingRpcs.back();
  pending.method->complete(pending);
}

void Mqtt::handle(const MeterData& record) {
  if (!brokerUp.load()) return;
  // Producers are serialised by the record dispatch, so the ring cannot fill
  // between this check and the push.
  if (meterQueue.size() >= maxQueuedRecords) {
    LOGW("Skipping MeterData!");
    return;
  }
  meterQueue.push(std::shared_ptr<MeterData>(record.clone()));
}

}  // namespace Mqtt
