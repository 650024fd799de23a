// The factory identity's hand-off to the network layer's MAC set-up. The
// registry cannot reach the network worker itself (it sits below it), so main
// installs the set-up; a request made before that waits for it.
#include <mutex>
#include <string>
#include <utility>

#include "registry/FactoryEntry.h"

namespace Factory {
namespace {

using Request = std::function<void(const MacSetup& setup)>;

struct MacSetupState {
  std::mutex mutex;
  MacSetup installed;
  bool ready = false;
  Request pending;  // a newer request replaces an older one
};

MacSetupState& state() {
  static MacSetupState* const made = new MacSetupState();
  return *made;
}

// Runs the request outside the lock (the set-up runs shell commands and
// sleeps), or keeps it until the set-up is installed.
void submit(Request request) {
  MacSetup setup;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (!state().ready) {
      state().pending = std::move(request);
      return;
    }
    setup = state().installed;
  }
  request(setup);
}

}  // namespace

void installMacSetup(MacSetup setup) {
  Request waiting;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().installed = setup;
    state().ready = true;
    waiting.swap(state().pending);
  }
  if (waiting) waiting(setup);
}

void requestMacs(const char* mac1, const char* mac2, bool apply) {
  submit([first = std::string(mac1), second = std::string(mac2), apply](const MacSetup& setup) {
    if (setup.setMacs) setup.setMacs(first.c_str(), second.c_str(), apply);
  });
}

void requestRandomMacs(bool apply) {
  submit([apply](const MacSetup& setup) {
    if (setup.randomMacs) setup.randomMacs(apply);
  });
}

}  // namespace Factory
