// The tunnelled API session (WSOM) of the MQTT client: made by the first
// "wsin" text, fed by every one, drained to "wsout" by the MQTT thread, and
// dropped 30 s after the last "wsin" text.
//
// The library's callback thread creates and feeds the session; the MQTT
// thread drains, ticks and destroys it; tunnelMutex is held for each.
#include <string>
#include <vector>

#include "core/Event.h"
#include "core/Log.h"
#include "mqtt/Logic.h"

// Part of the MQTT client: its lines carry the client's tag.
#undef FIELDHUB_FILE_NAME
#define FIELDHUB_FILE_NAME "Logic.cpp"

namespace Mqtt {

bool Mqtt::hasTunnel() {
  std::lock_guard<std::mutex> lock(tunnelMutex);
  return wsom != nullptr;
}

void Mqtt::feedTunnel(const ByteBuffer& payload) {
  std::lock_guard<std::mutex> lock(tunnelMutex);
  wsomDeadline.restart();
  if (wsom == nullptr) {
    LOGI("Creating new WSOM");
    wsom = environment.makeTunnelSession();
    signalEvent(wakeFd);
  }
  if (wsom != nullptr) wsom->onText(payload.text());
}

void Mqtt::serviceTunnel() {
  std::vector<std::string> texts;
  {
    std::lock_guard<std::mutex> lock(tunnelMutex);
    if (wsom == nullptr) return;
    wsom->outgoing().consumeAll([&](const std::string& text) { texts.push_back(text); });
  }
  for (const std::string& text : texts) publish("wsout", text, 1, 0);
  std::lock_guard<std::mutex> lock(tunnelMutex);
  if (wsom != nullptr && wsomDeadline.expired()) {
    LOGI("Deliting WSOM due to timeout");
    wsom.reset();
  }
}

int Mqtt::tickTunnel() {
  // Only this thread destroys the session, so its descriptor stays valid
  // while the caller polls it; a session made meanwhile writes wakeFd.
  std::lock_guard<std::mutex> lock(tunnelMutex);
  if (wsom == nullptr) return -1;
  wsom->tick();
  return wsom->outgoing().fd();
}

}  // namespace Mqtt
