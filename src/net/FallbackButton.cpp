// The fallback button: a board whose Ethernet settings make it unreachable
// is recovered by holding the service button while it starts and then
// pressing it repeatedly. More than ten level changes within 12 s apply
// fixed static addresses (eth0 192.168.0.101/24, eth1 192.168.0.102/24) for
// four minutes. A client that changes a port meanwhile keeps the result;
// otherwise the saved configuration comes back (recoverSavedConfig).
#include <cstdio>

#include "core/Log.h"
#include "net/Network.h"

#undef FIELDHUB_FILE_NAME
#define FIELDHUB_FILE_NAME "Network.cpp"

namespace {

// The button reads "1" when released. A file that cannot be read is no
// press: a board without the button never asks for the fallback.
bool pressed(int level) { return level >= 0 && level != 1; }

}  // namespace

int Network::countButtonChanges() {
  // Counting starts from the pressed state the request was detected in.
  bool level = true;
  int changes = 0;
  int64_t start = now();
  for (int sample = 0; sample < buttonSamples && changes <= buttonChangesNeeded; ++sample) {
    sleepFor(buttonSampleMilliseconds);
    if (finishing() || now() - start > buttonWindowMilliseconds) break;
    bool current = pressed(ethernet.readButton());
    if (current != level) {
      ++changes;
      level = current;
    }
  }
  return changes;
}

bool Network::fallbackRequest() {
  if (!pressed(ethernet.readButton())) return false;
  LOGI("Detected fallback request");
  int changes = countButtonChanges();
  LOGI("Counts: %d", changes);
  if (changes <= buttonChangesNeeded || finishing()) return false;

  LOGI("Enabling fallback net settings");
  ethernet.setLed(true);
  sleepFor(ledFlashMilliseconds);
  ethernet.setLed(false);
  // Without the copy the configuration could never come back.
  if (!saveFallbackCopy()) return false;
  Dhcpcd::Ports ports = portSettings();
  for (int n = 0; n < 2; ++n) ports[n] = Dhcpcd::withFallbackAddress(ports[n], n);
  storePortSettings(ports);
  WriteResult written = writeConfig();
  if (written != WriteResult::failed) reloadNetwork(written == WriteResult::written);

  // Only a change made after the fallback keeps it.
  drainChanges();
  if (finishing() || !ethernet.waitForChange(fallbackHoldMilliseconds) || finishing()) return true;
  sleepFor(fallbackSettleMilliseconds);
  if (finishing()) return true;
  written = writeConfig();
  if (written == WriteResult::failed) return true;  // the saved copy stays, and comes back
  reloadNetwork(written == WriteResult::written);
  std::remove(savedPath().c_str());
  return true;
}
