#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "core/Event.h"
#include "core/Thread.h"

namespace {

std::atomic<int> runsStarted{0};

class CountingWorker : public Thread {
 public:
  std::atomic<bool> finished{false};

 protected:
  void run() override {
    runsStarted.fetch_add(1);
    while (keepRunning.load()) msleep(5);
    finished = true;
  }
};

TEST(Thread, StartTwiceRunsOneThread) {
  runsStarted = 0;
  static CountingWorker worker;  // outlives its detached thread
  worker.start();
  worker.start();
  for (int i = 0; i < 200 && runsStarted.load() == 0; ++i) msleep(5);
  msleep(20);
  EXPECT_EQ(runsStarted.load(), 1);
  EXPECT_TRUE(worker.isRunning());
}

class BlockedWorker : public Thread {
 public:
  BlockedWorker(std::shared_ptr<std::atomic<bool>> started, std::shared_ptr<std::atomic<bool>> release)
      : started(std::move(started)), release(std::move(release)) {}

 protected:
  void run() override {
    // The thread keeps its own references: the object goes away under it.
    auto flag = release;
    auto startedFlag = started;
    startedFlag->store(true);
    while (!flag->load()) msleep(5);
  }

 private:
  std::shared_ptr<std::atomic<bool>> started;
  std::shared_ptr<std::atomic<bool>> release;
};

TEST(Thread, DestructorDoesNotWaitForTheWorker) {
  auto started = std::make_shared<std::atomic<bool>>(false);
  auto release = std::make_shared<std::atomic<bool>>(false);
  auto before = std::chrono::steady_clock::now();
  {
    auto worker = std::make_unique<BlockedWorker>(started, release);
    worker->start();
    while (!started->load()) msleep(1);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
  *release = true;
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
