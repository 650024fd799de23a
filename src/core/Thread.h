#pragma once
// Base of every worker: start() runs the virtual run() once in its own thread;
// stop() ends it and joins it.
//
// A worker's loop waits on its own descriptors and on stopDescriptor(), and
// returns once keepRunning is 0:
//
//   void Worker::run() {
//     while (keepRunning.load() != 0) {
//       pollfd slots[2] = {{ring.fd(), POLLIN, 0}, {stopDescriptor(), POLLIN, 0}};
//       poll(slots, 2, timeout);
//       ...
//     }
//   }
//   Worker::~Worker() { stop(); ... }   // first, while the members still exist
//
// The most-derived destructor must call stop() before anything else: the
// members of a derived class are destroyed before ~Thread runs, so joining
// there would let a busy loop run on freed members. ~Thread calls stop() too,
// for workers without members of their own. The process-wide workers are
// never destroyed (the process ends with _exit), so they are never joined.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

class Thread {
 public:
  Thread();
  virtual ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts the worker once; a second call, or a call after stop(), has no
  // effect.
  void start();
  bool isRunning() const { return keepRunning.load() != 0; }

  // Clears keepRunning, makes stopDescriptor() readable and waits until run()
  // has returned. Any thread but the worker's own; calling it again, or on a
  // worker never started, only returns.
  void stop();

 protected:
  virtual void run() = 0;

  // An eventfd that becomes readable, for good, when stop() is called: loops
  // poll it with their own descriptors so a stop never waits for a time-out.
  // -1 if it could not be made (then only keepRunning ends the loop).
  int stopDescriptor() const { return stopFd; }
  // Waits up to `milliseconds` (-1: without limit) or until stop() is
  // called; true when stop() was called. For loops with nothing else to wait
  // on, and for their pauses.
  bool waitForStop(int milliseconds);
  // stop() was called (unlike keepRunning, which is also 0 before start()).
  bool stopRequested() const { return stopping.load(); }

  std::atomic<uint8_t> alive{0};
  std::atomic<uint8_t> keepRunning{0};

 private:
  std::thread handle;
  std::mutex joinMutex;
  std::atomic<bool> stopping{false};
  int stopFd = -1;
};
