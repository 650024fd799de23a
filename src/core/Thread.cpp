#include "core/Thread.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/Event.h"
#include "core/Log.h"

Thread::Thread() : stopFd(makeWakeFd("a worker's stop descriptor")) {}

Thread::~Thread() {
  stop();
  if (stopFd >= 0) close(stopFd);
}

// start() and stop() run under one mutex, so a stop can never fall between
// setting keepRunning and making the thread, and a stopped worker stays stopped.
void Thread::start() {
  std::lock_guard<std::mutex> lock(joinMutex);
  if (stopping.load()) return;
  uint8_t stopped = 0;
  if (!keepRunning.compare_exchange_strong(stopped, 1)) return;
  handle = std::thread([this] { run(); });
}

void Thread::stop() {
  std::lock_guard<std::mutex> lock(joinMutex);
  stopping.store(true);
  keepRunning.store(0);
  // Not a semaphore and never read: once written it stays readable, so every
  // later poll() of the loop returns at once as well.
  if (stopFd >= 0) signalEvent(stopFd);
  if (!handle.joinable()) return;
  if (handle.get_id() == std::this_thread::get_id()) {
    // A worker cannot wait for itself; its run() is about to return anyway.
    handle.detach();
    return;
  }
  handle.join();
}

bool Thread::waitForStop(int milliseconds) {
  if (stopping.load()) return true;
  if (stopFd < 0) {
    // No descriptor to wait on: sleep in short steps so a stop is still seen.
    constexpr int step = 100;
    for (int waited = 0; !stopping.load() && (milliseconds < 0 || waited < milliseconds); waited += step) {
      msleep(milliseconds < 0 ? step : std::min(step, milliseconds - waited));
    }
    return stopping.load();
  }
  pollfd slot{stopFd, POLLIN, 0};
  while (poll(&slot, 1, milliseconds) < 0 && errno == EINTR) {
  }
  return stopping.load();
}
