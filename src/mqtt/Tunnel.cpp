// The tunnelled API session (WSOM) of the MQTT client: made by the first
// "wsin" text, fed by every one, drained to "wsout" by the MQTT thread, and
// dropped 30 s after the last "wsin" text.
//
// The library's callback thread creates and feeds the session; the MQTT
// thread drains, ticks and destroys it; tunnelMutex is held for each.
#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "core/Event.h"
#include "core/Log.h"
#include "mqtt/Logic.h"

// Part of the MQTT client: its lines carry the client's tag.
#undef FIELDHUB_FILE_NAME
#define FIELDHUB_FILE_NAME "Logic.cpp"

namespace Mqtt {

namespace {

// The tunnelled client: failed logins over "wsin" count for an address of
// its own, and its log lines show it as client 0.
const WSClient tunnelClient{0, "mqtt-tunnel"};

}  // namespace

bool Mqtt::hasTunnel() {
  std::lock_guard<std::mutex> lock(tunnelMutex);
  return wsom != nullptr;
}

void Mqtt::feedTunnel(const ByteBuffer& payload) {
  std::lock_guard<std::mutex> lock(tunnelMutex);
  wsomDeadline.restart();
  if (wsom == nullptr) {
    LOGI("Creating new WSOM");
    wsom = environment.makeTunnelSession(tunnelClient);
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
  } else if (wsom != nullptr && wsom->wantsClose() && wsom->outgoing().size() == 0) {
    // Too many failed logins: the next "wsin" text starts a new session.
    LOGI("Deliting WSOM after failed logins");
    wsom.reset();
  }
}

Mqtt::TunnelWait Mqtt::tickTunnel() {
  // Only this thread destroys the session, so its descriptors stay valid
  // while the caller polls them; a session made meanwhile writes wakeFd.
  std::lock_guard<std::mutex> lock(tunnelMutex);
  TunnelWait wait;
  if (wsom == nullptr) return wait;
  wsom->tick();
  wait.outgoingFd = wsom->outgoing().fd();
  wait.wakeFd = wsom->wakeDescriptor();
  wait.tickWithin = wsom->tickWithinMilliseconds();
  // The session ends 30 s after its last "wsin" text: wake up for that too.
  int64_t idleEndsIn = (wsomDeadline.lastSecondOnTime() + 1) * 1000 - environment.milliseconds();
  if (idleEndsIn < 0) idleEndsIn = 0;
  if (wait.tickWithin < 0 || idleEndsIn < wait.tickWithin) wait.tickWithin = static_cast<int>(std::min<int64_t>(idleEndsIn, INT_MAX));
  if (wsom->wantsClose()) wait.tickWithin = 0;
  return wait;
}

}  // namespace Mqtt
