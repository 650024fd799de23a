#include "core/Thread.h"

Thread::~Thread() {
  keepRunning.store(0);
  if (handle.joinable()) handle.detach();
}

void Thread::start() {
  uint8_t stopped = 0;
  if (!keepRunning.compare_exchange_strong(stopped, 1)) return;
  handle = std::thread([this] { run(); });
}
