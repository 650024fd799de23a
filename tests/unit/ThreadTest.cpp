// The worker base: one thread per start, a stop that wakes the loop through
// the stop descriptor and joins it, and a destructor that never frees a
// worker under its own running loop (run under AddressSanitizer and
// ThreadSanitizer as well).
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Eventually.h"
#include "core/Event.h"
#include "core/Thread.h"

namespace {

using TestWait::eventually;

// Waits for nothing but the stop descriptor, as an idle worker does.
class IdleWorker : public Thread {
 public:
  ~IdleWorker() override { stop(); }
  std::atomic<int> runs{0};

 protected:
  void run() override {
    runs.fetch_add(1);
    while (keepRunning.load() != 0) waitForStop(-1);
  }
};

TEST(Thread, StartsOnceAndNeverAgainAfterStop) {
  IdleWorker worker;
  worker.start();
  worker.start();
  ASSERT_TRUE(eventually([&] { return worker.runs.load() == 1; }));
  EXPECT_TRUE(worker.isRunning());
  // stop() returns only once run() has: a loop waiting without a time-out is
  // woken by the stop descriptor.
  worker.stop();
  EXPECT_FALSE(worker.isRunning());
  worker.start();
  worker.stop();
  EXPECT_EQ(worker.runs.load(), 1);
}

TEST(Thread, StopOfAWorkerNeverStartedOnlyReturns) {
  IdleWorker worker;
  worker.stop();
  worker.stop();
  EXPECT_EQ(worker.runs.load(), 0);
}

// Each pass of the loop works on the worker's own members. The test makes one
// pass last beyond the start of the destructor: it waits inside the pass
// until the destructor has cleared keepRunning, then goes on using the
// members for a while. A destructor that let the thread go would free them
// under it.
class BusyWorker : public Thread {
 public:
  explicit BusyWorker(std::shared_ptr<std::atomic<bool>> passEnded) : passEnded(std::move(passEnded)) {}
  ~BusyWorker() override { stop(); }

  std::atomic<bool> holdNextPass{false};
  std::atomic<bool> holding{false};

 protected:
  void run() override {
    pollfd stopSlot{stopDescriptor(), POLLIN, 0};
    while (keepRunning.load() != 0) {
      poll(&stopSlot, 1, 1);
      if (!holdNextPass.exchange(false)) continue;
      holding = true;
      while (isRunning()) std::this_thread::yield();
      for (int step = 0; step < 200; ++step) {
        history.push_back(std::to_string(step));
        if (step % 20 == 0) msleep(1);
      }
      passEnded->store(true);
    }
  }

 private:
  std::vector<std::string> history;
  std::shared_ptr<std::atomic<bool>> passEnded;
};

TEST(Thread, DestructorJoinsALoopThatIsBusyOnItsMembers) {
  // Outlives the worker, so the test can look at it afterwards.
  auto passEnded = std::make_shared<std::atomic<bool>>(false);
  auto worker = std::make_unique<BusyWorker>(passEnded);
  worker->start();
  worker->holdNextPass = true;
  ASSERT_TRUE(eventually([&] { return worker->holding.load(); }));
  worker.reset();
  EXPECT_TRUE(passEnded->load()) << "the destructor returned while the loop was still working";
}

TEST(Thread, WaitForStopTimesOutOrEndsAtTheStop) {
  class Waiter : public Thread {
   public:
    ~Waiter() override { stop(); }
    bool timedOut() { return !waitForStop(5); }

   protected:
    void run() override {}
  } waiter;
  EXPECT_TRUE(waiter.timedOut());
  waiter.stop();
  EXPECT_FALSE(waiter.timedOut());
}

TEST(Event, SemaphoreUnitsAndSleep) {
  int fd = makeEventFd();
  ASSERT_GE(fd, 0);
  signalEvent(fd);
  signalEvent(fd);
  EXPECT_TRUE(takeEvent(fd));
  EXPECT_TRUE(takeEvent(fd));
  auto before = std::chrono::steady_clock::now();
  msleep(30);
  msleep(0);
  msleep(-5);
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(30));
}

}  // namespace
