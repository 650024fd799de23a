#pragma once
// The per-client logic of the local JSON API: one JSONData per WebSocket
// connection, and one for the client tunnelled over MQTT.
//
// A client starts unauthorised and is greeted with
//   {"auth":"not authorized","device":"qtr90"}
// It logs in with {"login":"qtr","password":"<wsc/password>"} and is answered
// {"auth":"done"}; every other text before that gets {"auth":"incorrect"}.
// Once logged in, every object it sends is applied to the settings tree (with
// the client as origin, so command endpoints can answer it), {"me":"marm_on"} /
// {"me":"marm_off"} switch the live stream of meter records, and tick() sends
// it one changed top-level group per call: {"<group>":{...}}. The exact text
// {"type":"ping"} is answered {"type":"pong"} in any state.
//
// A failed login (a text with "login" or "password" that does not log in) is
// logged W "Login failed, client %d" and its {"auth":"incorrect"} is held
// back for a second, in tick(), without blocking the owner; texts that come
// meanwhile wait behind it, so pipelined guesses gain nothing. After 5 failed
// logins the session asks its owner to close it (wantsClose()). Failures also
// count for the client's address in a LoginGuard: a backed-off address gets
// {"auth":"incorrect"} for every login, unchecked.
//
// Without a socket (the MQTT tunnel, tests):
//   JSONData session;                        // registers with the tree and the record consumers
//   session.onText("{\"login\":\"qtr\",\"password\":\"...\"}");
//   session.tick();                          // queues the next changed group, if any
//   session.outgoing().consumeAll([](const std::string& text) { /* send it */ });
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "meterdata/MeterData.h"
#include "net/WSSession.h"
#include "registry/CommonHandler.h"
#include "registry/Entry.h"
#include "registry/Json.h"
#include "registry/Registry.h"
#include "tinmoss/LoginGuard.h"

class JSONData : public CommonHandler<MeterData>, public CommonHandler<JSONDataDesyncCmd>, public WSSession {
 public:
  static constexpr const char* greeting = "{\"auth\":\"not authorized\",\"device\":\"qtr90\"}";
  static constexpr const char* pingText = "{\"type\":\"ping\"}";
  static constexpr const char* pongText = "{\"type\":\"pong\"}";
  static constexpr const char* loginName = "qtr";
  static constexpr const char* loginDone = "{\"auth\":\"done\"}";
  static constexpr const char* loginIncorrect = "{\"auth\":\"incorrect\"}";
  // Group texts are queued only while the ring holds at most this many texts,
  // and meter records only while it is not full, so replies keep room.
  static constexpr uint32_t maxQueuedBeforeGroup = 9;
  // The answer to a failed login waits this long.
  static constexpr int64_t failedLoginHoldMilliseconds = 1000;
  // After this many failed logins the connection is closed.
  static constexpr int maxFailedLogins = 5;
  // Texts that may wait behind a held-back answer; later ones are dropped.
  static constexpr size_t maxWaitingTexts = 8;
  // The connection id and address of the client tunnelled over MQTT.
  static WSClient tunnelClient() { return WSClient{0, "mqtt-tunnel"}; }

  // Monotonic milliseconds.
  using Clock = std::function<int64_t()>;

  // The client's sending side. Other threads keep weak references to it (an
  // endpoint that answers later) and may outlive the session through them.
  class WSLLState final : public ReplyChannel {
   public:
    // Queues a text for the client; a full ring drops it ("Buffer overflow!").
    void send(const std::string& text) override { outgoing.push(text); }
    bool hasRoom() const override { return outgoing.size() < WSOutgoingTexts::capacity(); }

    WSLLState();
    ~WSLLState();
    WSLLState(const WSLLState&) = delete;
    WSLLState& operator=(const WSLLState&) = delete;

    WSOutgoingTexts outgoing;
    // Bit i: top-level group i must be sent to the client.
    std::atomic<uint32_t> desyncMask{~uint32_t{0}};
    // Signalled when a change notification set bits of desyncMask.
    int wakeFd;
  };

  // A session of the process-wide tree for one client, checking logins
  // against wsc/password and counting failures in the process's guard.
  explicit JSONData(const WSClient& client);
  // A session of another tree (tests): `password` is that tree's login
  // password; without a guard the session keeps one of its own; the clock
  // defaults to the coarse monotonic one.
  JSONData(RegistryRoot& tree, const Entry<char[32]>& password, const WSClient& client = WSClient{0, "test"},
           LoginGuard* guard = nullptr, Clock clock = {});
  ~JSONData() override;
  JSONData(const JSONData&) = delete;
  JSONData& operator=(const JSONData&) = delete;

  // One complete text message from the client (zero-terminated).
  void onText(const char* text) override;
  // Queues at most one changed group for a logged-in client.
  void tick() override;
  WSOutgoingTexts& outgoing() override { return state->outgoing; }
  int tickWithinMilliseconds() override;
  int wakeDescriptor() override { return state->wakeFd; }
  bool wantsClose() const override { return closing; }

  void send(const std::string& text) { state->send(text); }

  // A meter record, in the producer's thread.
  void handle(const MeterData& record) override;
  // Changed top-level groups, in the changing thread (listener mutex held).
  void handle(const JSONDataDesyncCmd& command) override;

  bool isAuthorized() const { return authorized.load(); }
  bool streamsMeterRecords() const { return marm.load(); }

  int failedLogins() const { return failures; }

 private:
  bool passwordMatches(const char* given) const;
  void serve(const char* text);
  void logIn(const JsonList& members);
  void loginFailed();
  void releaseHeldAnswer();

  RegistryRoot& tree;
  const Entry<char[32]>& password;
  WSClient client;
  std::unique_ptr<LoginGuard> ownGuard;
  LoginGuard& guard;
  Clock now;
  // Failed logins of this connection; its answer is held until heldUntil.
  int failures = 0;
  bool holding = false;
  int64_t heldUntil = 0;
  std::deque<std::string> waitingTexts;
  bool closing = false;
  // Written by the owner's thread(s); the tunnelled client's texts arrive on
  // another thread than its tick, and records read `marm` in producer threads.
  std::atomic<bool> authorized{false};
  std::atomic<bool> marm{false};
  // Made before the session registers anywhere, so a record or a change
  // notification that arrives at once finds it.
  std::shared_ptr<WSLLState> state;
};
