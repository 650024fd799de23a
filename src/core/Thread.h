#pragma once
// Base of every worker: start() runs the virtual run() once in its own thread.
// Workers are never joined: the destructor only clears keepRunning and lets the
// thread go, because workers live for the whole process.
#include <atomic>
#include <cstdint>
#include <thread>

class Thread {
 public:
  Thread() = default;
  virtual ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts the worker once; a second call has no effect.
  void start();
  bool isRunning() const { return keepRunning.load(); }

 protected:
  virtual void run() = 0;

  std::atomic<uint8_t> alive{0};
  std::atomic<uint8_t> keepRunning{0};

 private:
  std::thread handle;
};
