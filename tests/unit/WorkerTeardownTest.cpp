// The CAN workers destroyed while their loop is busy: the destructor stops
// the loop and joins it, so the loop never runs on freed members (run under
// AddressSanitizer and ThreadSanitizer as well).
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Eventually.h"
#include "RegistryTestTree.h"
#include "can/canSock.h"
#include "can/krel/KrelThread.h"
#include "can/svThread.h"
#include "can/volmar/Can.h"
#include "core/Event.h"
#include "registry/Catalogue.h"

namespace {

using TestWait::eventually;

// Longer than any bounded wait a destructor might give a loop before it
// frees the members anyway (these workers once gave up after 2 s).
constexpr int busyAfterDestructionMilliseconds = 2500;

// Makes one pass of a worker's loop busy: once armed, the next call from the
// loop stays inside until the worker's destructor has begun, then goes on for
// a while. Afterwards the loop goes on with its own members.
struct BusyPass {
  std::atomic<bool> armed{false};
  std::atomic<bool> inside{false};
  std::atomic<bool> left{false};
  std::atomic<Thread*> worker{nullptr};

  void step() {
    if (!armed.exchange(false)) return;
    inside = true;
    while (worker.load()->isRunning()) msleep(1);
    msleep(busyAfterDestructionMilliseconds);
    left = true;
  }
};

// A port that never delivers and refuses nothing: poll() skips descriptor -1.
class QuietPort : public Platform::CanSocket {
 public:
  QuietPort() { opened = {true, true, true, true}; }
  int fd() const override { return -1; }
  bool readFrame(CanFrame&) override { return false; }
  bool writeFrame(const CanFrame&) override { return true; }
};

// A worker, what it needs, and how to make its loop reach the busy step.
struct Built {
  std::vector<std::shared_ptr<void>> needs;  // outlive the worker
  std::unique_ptr<Thread> worker;
  std::function<void()> poke = [] {};
};

struct Case {
  const char* name;
  std::function<Built(BusyPass& busy)> make;
};

Built supervisor(BusyPass& busy) {
  Built built;
  auto tree = std::make_shared<TestTree>();
  auto settings = std::make_shared<Catalogue::Can>(tree->root);
  built.needs = {tree, settings};
  // The clock is read at the start of every pass.
  auto made = std::make_unique<svThread>(
      *settings,
      std::array<std::unique_ptr<canSock>, svThread::portCount>{
          std::make_unique<canSock>("can0", std::make_unique<QuietPort>()),
          std::make_unique<canSock>("can1", std::make_unique<QuietPort>())},
      svThread::Receivers{}, [&busy] {
        busy.step();
        return int64_t{0};
      });
  svThread* raw = made.get();
  built.poke = [raw] { raw->queueFrame(0, CanFrame{0x80000001u}); };
  built.worker = std::move(made);
  return built;
}

Built panel(BusyPass& busy) {
  Built built;
  auto store = std::make_shared<KREL::DigestStore>([] { return int64_t{0}; }, [](const MeterData&) {});
  built.needs = {store};
  KREL::KrelLinks links;
  // Every frame goes to the console link first.
  links.forward = [&busy](const CanFrame&) { busy.step(); };
  auto made = std::make_unique<KREL::KrelThread>(*store, [](const CanFrame&) {}, std::move(links));
  KREL::KrelThread* raw = made.get();
  built.poke = [raw] { raw->pushFrame(CanFrame{0x80000001u}); };
  built.worker = std::move(made);
  return built;
}

Built radio(BusyPass& busy) {
  Built built;
  // The clock is read on every 10 ms pass.
  built.worker = std::make_unique<VolmarCan>(
      [&busy] {
        busy.step();
        return int64_t{0};
      },
      [](const CanFrame&) {});
  return built;
}

class WorkerTeardown : public testing::TestWithParam<Case> {};

TEST_P(WorkerTeardown, BusyLoopIsJoinedNotFreedUnderItself) {
  BusyPass busy;
  Built built = GetParam().make(busy);
  busy.worker = built.worker.get();
  built.worker->start();
  busy.armed = true;
  built.poke();
  ASSERT_TRUE(eventually([&] { return busy.inside.load(); }));
  built.worker.reset();
  EXPECT_TRUE(busy.left.load()) << "the destructor returned while the loop was still busy";
}

INSTANTIATE_TEST_SUITE_P(Workers, WorkerTeardown,
                         testing::Values(Case{"svThread", supervisor}, Case{"KrelThread", panel},
                                         Case{"VolmarCan", radio}),
                         [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
