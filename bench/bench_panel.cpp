// Panel frames from the simulated bus through the port supervisor and the
// panel thread (read, duplicate filter, hand-over, decode, route, digest
// update), with the supervisor and the panel thread running as in fieldhub.
//
// The sender writes each frame with a blocking send straight to the
// supervisor's socket file, so the bus itself never drops one: a full
// receive queue holds the sender back. Frames dropped further on (a full
// panel queue) are reported as the counter "dropped"; the target is none.
// Real time gives frames per second; the process CPU time per frame is the
// "CPU" column (both threads and the sender together). One fully loaded
// 1 Mbit/s CAN bus carries at most about 7,600 extended frames a second.
//
// The second argument, when 1, saves a persisted settings group of the same
// tree every 100 ms meanwhile (a changed value each time, so every save
// writes, flushes and renames its file), as a client editing settings does:
// drops and CPU per frame must stay those of the run without saves.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "can/canSock.h"
#include "can/krel/KrelThread.h"
#include "can/svThread.h"
#include "core/Event.h"
#include "platform/CanFrame.h"
#include "platform/Clock.h"
#include "platform/SimCanSocket.h"
#include "registry/Catalogue.h"
#include "registry/Registry.h"
#include "registry/RegistryLoader.h"

namespace {

// A 64-node installation's digests: node n, register index i, changing data
// now and then so that records are also published.
CanFrame digestFrame(uint64_t sequence) {
  uint32_t node = static_cast<uint32_t>(sequence / 9 % 64) + 1;
  uint32_t index = static_cast<uint32_t>(sequence % 9);
  CanFrame frame{CanFrame::extendedFlag | node << 21 | (0xFF0 + index) << 1, 8};
  uint32_t round = static_cast<uint32_t>(sequence / (9 * 64));
  frame.data[0] = static_cast<uint8_t>(index);
  frame.data[1] = static_cast<uint8_t>(round / 16);  // a change every 16 rounds
  return frame;
}

struct PanelPath {
  PanelPath() {
    char pattern[] = "/tmp/fieldhub-bench-panel-XXXXXX";
    directory = mkdtemp(pattern);
    tree = std::make_unique<RegistryRoot>(directory + "/dps");
    settings = std::make_unique<Catalogue::Can>(*tree);
    tree->apply(R"({"can":{"port1":"krel"}})");
    store = std::make_unique<KREL::DigestStore>(Platform::monotonicCoarseSeconds,
                                                [this](const MeterData&) { records.fetch_add(1); });
    krel = std::make_unique<KREL::KrelThread>(*store, [](const CanFrame&) {}, KREL::KrelLinks{});
    auto bus = std::make_unique<Platform::SimCanSocket>(directory + "/can0", "fieldhub-can0",
                                                        Platform::monotonicCoarseMilliseconds);
    portFile = bus->socketPath();
    auto idle = std::make_unique<Platform::SimCanSocket>(directory + "/can1", "fieldhub-can1",
                                                         Platform::monotonicCoarseMilliseconds);
    supervisor = std::make_unique<svThread>(
        *settings,
        std::array<std::unique_ptr<canSock>, svThread::portCount>{std::make_unique<canSock>("can0", std::move(bus)),
                                                                  std::make_unique<canSock>("can1", std::move(idle))},
        svThread::Receivers{[this](const CanFrame& frame) { krel->pushFrame(frame); }, {}},
        Platform::monotonicCoarseMilliseconds);
    krel->start();
    supervisor->start();
    // The panel thread decides the layout on its first ten digest frames.
    sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, portFile.c_str(), sizeof address.sun_path - 1);
  }
  ~PanelPath() {
    stopSaving();
    close(sender);
    supervisor.reset();
    krel.reset();
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
  }

  void send(const CanFrame& frame) {
    sendto(sender, &frame, sizeof frame, 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ++sent;
  }
  // Waits until the supervisor has read every frame and the panel thread has
  // finished with all it took (it stays idle for 20 ms).
  void drain() {
    uint64_t handled = krel->handledFrames();
    int idle = 0;
    for (int waited = 0; waited < 5000 && idle < 20; ++waited) {
      msleep(1);
      uint64_t now = krel->handledFrames();
      bool settled = supervisor->deliveredFrames() == sent && krel->queuedFrames() == 0 && now == handled;
      idle = settled ? idle + 1 : 0;
      handled = now;
    }
  }

  // Every 100 ms a changed value in the persisted group "bench", so each
  // apply saves /dps/bench.
  void startSaving() {
    saving.store(true);
    saver = std::thread([this] {
      Entry<int> counter(*tree, {"bench", "counter"});
      RegistryLoader loader("bench", *tree);
      for (int n = 1; saving.load(); ++n) {
        tree->apply(("{\"bench\":{\"counter\":" + std::to_string(n) + "}}").c_str());
        saves.fetch_add(1);
        msleep(100);
      }
    });
  }
  void stopSaving() {
    saving.store(false);
    if (saver.joinable()) saver.join();
  }

  std::string directory;
  std::string portFile;
  std::unique_ptr<RegistryRoot> tree;
  std::unique_ptr<Catalogue::Can> settings;
  std::unique_ptr<KREL::DigestStore> store;
  std::unique_ptr<KREL::KrelThread> krel;
  std::unique_ptr<svThread> supervisor;
  std::atomic<uint64_t> records{0};
  int sender = -1;
  sockaddr_un address{};
  uint64_t sent = 0;
  std::atomic<bool> saving{false};
  std::atomic<uint64_t> saves{0};
  std::thread saver;
};

// Arguments: frames per second the sender keeps to (in batches of ten, as a
// bus delivers them back to back), 0 = as fast as the supervisor takes them;
// and 1 to save a settings group every 100 ms meanwhile.
void BM_PanelFramesThroughSupervisorAndPanelThread(benchmark::State& state) {
  PanelPath path;
  const int64_t rate = state.range(0);
  if (state.range(1) != 0) path.startSaving();
  constexpr uint64_t batch = 10;
  const auto started = std::chrono::steady_clock::now();
  uint64_t sequence = 0;
  for (auto _ : state) {
    path.send(digestFrame(sequence++));
    if (rate != 0 && sequence % batch == 0) {
      std::this_thread::sleep_until(started + std::chrono::nanoseconds(sequence * 1000000000ull / rate));
    }
  }
  path.stopSaving();
  path.drain();
  uint64_t delivered = path.supervisor->deliveredFrames();
  uint64_t handled = path.krel->handledFrames();
  state.SetItemsProcessed(static_cast<int64_t>(path.sent));
  state.counters["delivered"] = static_cast<double>(delivered);
  state.counters["dropped"] = static_cast<double>(delivered - handled);
  state.counters["records"] = static_cast<double>(path.records.load());
  state.counters["saves"] = static_cast<double>(path.saves.load());
}
BENCHMARK(BM_PanelFramesThroughSupervisorAndPanelThread)
    ->ArgNames({"rate", "saves"})
    ->Args({7600, 0})  // a fully loaded 1 Mbit/s bus
    ->Args({7600, 1})  // the same with a settings group saved every 100 ms
    ->Args({20000, 0})
    ->Args({50000, 0})
    ->Args({0, 0})
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Iterations(100000);

}  // namespace
