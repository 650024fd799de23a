#pragma once
// The cloud link: one MQTT connection to the main or the backup broker.
//
// The thread connects (one attempt per pass), then serves: answers JSON-RPC
// requests from "requests" on "responses", publishes every meter record as a
// notification on "updates", keeps the retained device_status on "status"
// (whose offline form is the will), tunnels a local API session over
// "wsin"/"wsout", and runs broker connection tests for local clients.
//
// Fail-over: three failed attempts on the main broker, then three on the
// backup, alternating; the first 24 failures over Ethernet, the next 24 over
// the GSM/PPP link, and so on. A connection that lasted more than 30 s resets
// the count; a shorter one counts as a failure. A backup connection is closed
// after 300 s so that the main broker is tried again.
//
// Threads: the MQTT thread runs run() and is the only one that connects,
// publishes and drains the queues; the library's callback thread calls
// connectionLost() and messageArrived(); record producers call handle().
//
// Files: Logic.cpp (connection, fail-over, serving), Tunnel.cpp (the
// tunnelled API session), ConnectionTest.cpp (the "mqtt_test" tests).
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "core/SyncRing.h"
#include "core/Thread.h"
#include "meterdata/MeterData.h"
#include "mqtt/BrokerConnection.h"
#include "mqtt/Deadline.h"
#include "mqtt/DeviceStatus.h"
#include "mqtt/MqttCoreOwner.h"
#include "mqtt/Uplink.h"
#include "net/WSSession.h"
#include "registry/Catalogue.h"
#include "registry/CommonHandler.h"
#include "registry/Rpc.h"
#include "registry/Waiter.h"

namespace Mqtt {

// A broker connection test asked for by a local API client.
struct MqttTestRequest {
  Origin client;  // the requesting client; the result is dropped when it is gone
  ServerSettings settings{};
  bool gsm = false;
};

// A publication waiting in the out queue.
struct OutgoingMessage {
  const char* suffix;
  std::string payload;
  uint8_t qos;       // non-zero: QoS 1
  uint8_t retained;  // non-zero: retained
};

// Everything the client reaches outside itself. The process-wide instance
// uses the real ones (process()); unit tests pass fakes and their own tree.
struct Environment {
  RegistryRoot* tree = nullptr;
  Catalogue::Mqtt* brokers = nullptr;
  Catalogue::MqttStatus* status = nullptr;
  std::function<std::unique_ptr<BrokerConnection>(MqttCoreOwner& owner)> makeConnection;
  Uplink* uplink = nullptr;
  // Coarse monotonic milliseconds; deadlines use its whole seconds.
  std::function<int64_t()> milliseconds;
  std::function<void(int milliseconds)> sleep;
  std::string uuid;
  std::string serial;
  AliveNodes aliveNodes;
  // Makes the tunnelled API session (a JSONData).
  WSSessionFactory makeTunnelSession;
  // Longest idle wait of a service pass.
  int waitMilliseconds = 5000;

  static Environment process();
};

class Mqtt : public Thread, public MqttCoreOwner, public CommonHandler<MeterData> {
 public:
  static constexpr int32_t attemptsPerBroker = 3;
  static constexpr int32_t attemptsPerUplink = 24;
  static constexpr int32_t stableSeconds = 30;
  static constexpr int32_t backupSeconds = 300;
  static constexpr int32_t statusSpacingSeconds = 5;
  static constexpr int32_t tunnelIdleSeconds = 30;
  static constexpr int uplinkWaitMilliseconds = 60000;
  static constexpr size_t maxOutgoing = 50;
  static constexpr uint32_t maxQueuedRecords = 20;

  // The process-wide client, made on first call; it also attaches the
  // "mqtt_test" endpoint. The start-up code starts its thread.
  static Mqtt* instance();

  explicit Mqtt(Environment environment);
  ~Mqtt() override;

  // A meter record, in the producer's thread: a copy is queued while a broker
  // connection is up.
  void handle(const MeterData& record) override;
  void connectionLost() override;
  void messageArrived(const ByteBuffer& topic, const ByteBuffer& payload) override;

  // The "mqtt_test" endpoint: {"mqtt":{host,user,pass,port},"gsm":false}.
  void requestTest(const char* text, const Origin& client);

  // For the panel poll thread: the current connection's generation while a
  // broker connection is up, 0 otherwise; it changes with every connection.
  int32_t activeGeneration() const;
  // Set by the panel poll thread when its view of the devices changed; the
  // device_status is republished at most every 5 s.
  std::atomic<bool> statusDirty{false};

  // The thread body's pieces, public so tests drive them step by step.
  void startUp();
  void pass();
  void connectAttempt();
  void servicePass();
  void runQueuedTests();

  int32_t failures() const { return failCount.load(); }
  bool isBrokerUp() const { return brokerUp.load(); }
  bool hasTunnel();

 protected:
  void run() override;

 private:
  int64_t nowSeconds() const { return environment.milliseconds() / 1000; }
  void sleepFor(int milliseconds) { environment.sleep(milliseconds); }

  // connect() with the settings already in the core; sets brokerUp soundly
  // even when the connection drops while connect() returns.
  bool connectBroker(int32_t generationBefore);
  void subscribeAndAnnounce();
  bool waitForUplink();
  void setStatus(WSStatus<bool>& entry, bool value);
  bool backupTimeIsUp();
  // Milliseconds until a backup connection's time is up; -1 on the main one.
  int64_t backupEndsWithinMilliseconds();

  void answerRequests();
  void publishOutQueue();
  void queueNotifications();
  void serviceTunnel();
  // What the wait must watch for the tunnelled session: its outgoing ring,
  // its wake-up descriptor (-1 each without a session) and how soon it wants
  // its next step (-1: not before it is woken).
  struct TunnelWait {
    int outgoingFd = -1;
    int wakeFd = -1;
    int tickWithin = -1;
  };
  // Runs the tunnelled session's periodic step.
  TunnelWait tickTunnel();
  void republishStatus();
  void waitForWork();
  bool publish(const char* suffix, const std::string& text, uint8_t qos, uint8_t retained);
  void runTest(const MqttTestRequest& request);

  void feedTunnel(const ByteBuffer& payload);
  void takeRequest(const ByteBuffer& payload);

  Environment environment;
  WSStatus<bool>& connectedStatus;
  WSStatus<bool>& altStatus;

  Deadline wsomDeadline;
  Deadline stableDeadline;
  Deadline altDeadline;
  Deadline statusDeadline;

  // The tunnelled session; created and fed by the callback thread, drained,
  // ticked and destroyed by the MQTT thread.
  std::mutex tunnelMutex;
  std::unique_ptr<WSSession> wsom;

  SyncRing<std::shared_ptr<MqttTestRequest>, 2> testQueue;
  SyncRing<std::shared_ptr<MeterData>, maxQueuedRecords> meterQueue;

  // Requests received and not answered yet; list nodes keep their address, so
  // a method that finishes in another thread may hold on to its request.
  std::mutex rpcMutex;
  std::list<RpcRequest> pendingRpcs;

  int wakeFd;
  std::atomic<int32_t> failCount{0};
  std::atomic<bool> brokerUp{false};
  // Always odd, never 0; advanced by 2 at every lost connection.
  std::atomic<int32_t> connectionGeneration{1};
  std::deque<OutgoingMessage> outQueue;
  Waiter settingsWaiter;
  DeviceStatus deviceStatus;
  std::unique_ptr<BrokerConnection> core;
};

}  // namespace Mqtt
