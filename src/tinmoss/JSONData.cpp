#include "tinmoss/JSONData.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "core/Event.h"
#include "core/FixedText.h"
#include "core/Log.h"
#include "meterdata/MeterDataHandlers.h"
#include "registry/Catalogue.h"
#include "registry/Json.h"
#include "registry/JsonWriter.h"
#include "platform/Clock.h"

JSONData::WSLLState::WSLLState() : wakeFd(makeWakeFd("a session's wake-up descriptor")) {}

JSONData::WSLLState::~WSLLState() {
  if (wakeFd >= 0) close(wakeFd);
}

JSONData::JSONData(const WSClient& client)
    : JSONData(RegistryRoot::global(), Catalogue::wsc().password, client, &LoginGuard::process()) {}

JSONData::JSONData(RegistryRoot& tree, const Entry<char[32]>& password, const WSClient& client, LoginGuard* guard,
                   Clock clock)
    : tree(tree),
      password(password),
      client(client),
      ownGuard(guard == nullptr ? std::make_unique<LoginGuard>() : nullptr),
      guard(guard == nullptr ? *ownGuard : *guard),
      now(clock ? std::move(clock) : Clock(Platform::monotonicCoarseMilliseconds)),
      state(std::make_shared<WSLLState>()) {
  MeterDataHandlers::add(this);
  tree.addListener(this);
  send(greeting);
}

JSONData::~JSONData() {
  // After these two calls no other thread can reach the session; the client
  // state lives on while an endpoint still holds it.
  tree.removeListener(this);
  MeterDataHandlers::remove(this);
}

bool JSONData::passwordMatches(const char* given) const {
  std::lock_guard<std::recursive_mutex> lock(tree.mutex());
  return fieldText(password.value) == given;
}

void JSONData::onText(const char* text) {
  if (closing) return;
  if (holding) {
    // Served in order once the held answer is out.
    if (waitingTexts.size() < maxWaitingTexts) waitingTexts.emplace_back(text);
    return;
  }
  serve(text);
}

void JSONData::serve(const char* text) {
  if (std::strcmp(text, pingText) == 0) {
    send(pongText);
    return;
  }
  std::string buffer(text);  // the scanner cuts its input in place
  JsonList members = scanJsonObject(buffer.data());

  if (!authorized.load()) {
    logIn(members);
    return;
  }

  const char* me = getString(members, "me", "");
  if (std::strcmp(me, "marm_on") == 0) marm.store(true);
  if (std::strcmp(me, "marm_off") == 0) marm.store(false);
  // Members that name nothing in the tree ("me" among them) are ignored there.
  tree.apply(text, state);
}

void JSONData::logIn(const JsonList& members) {
  const char* login = getString(members, "login", nullptr);
  const char* given = getString(members, "password", nullptr);
  if (login == nullptr && given == nullptr) {
    // Not a login at all: nothing was guessed.
    send(loginIncorrect);
    return;
  }
  int64_t current = now();
  // A backed-off address learns nothing: its password is not even compared.
  bool checked = !guard.backedOff(client.address, current);
  bool loginGood = login != nullptr && std::strcmp(login, loginName) == 0;
  if (checked && loginGood && given != nullptr && passwordMatches(given)) {
    guard.succeeded(client.address);
    LOGI("WS authorized!");
    authorized.store(true);
    send(loginDone);
    return;
  }
  if (checked) guard.failed(client.address, current);
  loginFailed();
}

void JSONData::loginFailed() {
  ++failures;
  LOGW("Login failed, client %d", client.id);
  holding = true;
  heldUntil = now() + failedLoginHoldMilliseconds;
}

void JSONData::releaseHeldAnswer() {
  if (!holding || now() < heldUntil) return;
  holding = false;
  send(loginIncorrect);
  if (failures >= maxFailedLogins) {
    LOGW("Login failed %d times, client %d closed", failures, client.id);
    closing = true;
    waitingTexts.clear();
    return;
  }
  while (!holding && !waitingTexts.empty()) {
    std::string text = std::move(waitingTexts.front());
    waitingTexts.pop_front();
    serve(text.c_str());
  }
}

int JSONData::tickWithinMilliseconds() {
  if (holding) {
    int64_t left = heldUntil - now();
    return left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, failedLoginHoldMilliseconds));
  }
  if (authorized.load() && state->desyncMask.load() != 0 && state->outgoing.size() <= maxQueuedBeforeGroup) return 0;
  return -1;
}

void JSONData::tick() {
  releaseHeldAnswer();
  WSOutgoingTexts& texts = state->outgoing;
  std::atomic<uint32_t>& mask = state->desyncMask;
  if (!authorized.load() || mask.load() == 0 || texts.size() > maxQueuedBeforeGroup) return;
  std::lock_guard<std::recursive_mutex> lock(tree.mutex());
  while (authorized.load() && texts.size() <= maxQueuedBeforeGroup) {
    uint32_t pending = mask.load();
    if (pending == 0) return;
    uint32_t lowest = pending & (~pending + 1);
    mask.fetch_and(~lowest);
    std::string text = tree.childText(static_cast<size_t>(__builtin_ctz(lowest)));
    if (!text.empty()) {
      send(text);
      return;
    }
  }
}

void JSONData::handle(const JSONDataDesyncCmd& command) {
  state->desyncMask.fetch_or(command.mask);
  // The owner may be asleep until its next deadline: the group must go now.
  if (state->wakeFd >= 0) signalEvent(state->wakeFd);
}

void JSONData::handle(const MeterData& record) {
  // A record without a method is never published, so it is not streamed either.
  if (!marm.load() || record.method == nullptr) return;
  if (state->outgoing.size() >= WSOutgoingTexts::capacity()) return;
  JsonWriter writer;
  writer.beginObject("marm");
  writer.addField("method", quoteText(record.method));
  writer.beginObject("data");
  record.writeFields(writer);
  writer.close();
  writer.close();
  writer.close();
  send(writer.take());
}
