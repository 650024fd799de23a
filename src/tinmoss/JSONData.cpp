#include "tinmoss/JSONData.h"

#include <cstring>
#include <mutex>
#include <string>

#include "core/FixedText.h"
#include "core/Log.h"
#include "meterdata/MeterDataHandlers.h"
#include "registry/Catalogue.h"
#include "registry/Json.h"
#include "registry/JsonWriter.h"

JSONData::JSONData() : JSONData(RegistryRoot::global(), Catalogue::wsc().password) {}

JSONData::JSONData(RegistryRoot& tree, const Entry<char[32]>& password)
    : tree(tree), password(password), state(std::make_shared<WSLLState>()) {
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
  if (std::strcmp(text, pingText) == 0) {
    send(pongText);
    return;
  }
  std::string buffer(text);  // the scanner cuts its input in place
  JsonList members = scanJsonObject(buffer.data());

  if (!authorized.load()) {
    const char* login = getString(members, "login", nullptr);
    const char* given = getString(members, "password", nullptr);
    bool loginGood = login != nullptr && std::strcmp(login, loginName) == 0;
    if (loginGood && given != nullptr && passwordMatches(given)) {
      LOGI("WS authorized!");
      authorized.store(true);
      send(loginDone);
    } else {
      send(loginIncorrect);
    }
    return;
  }

  const char* me = getString(members, "me", "");
  if (std::strcmp(me, "marm_on") == 0) marm.store(true);
  if (std::strcmp(me, "marm_off") == 0) marm.store(false);
  // Members that name nothing in the tree ("me" among them) are ignored there.
  tree.apply(text, state);
}

void JSONData::tick() {
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

void JSONData::handle(const JSONDataDesyncCmd& command) { state->desyncMask.fetch_or(command.mask); }

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
