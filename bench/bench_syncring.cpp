// One element pushed and consumed through a ring, as a CAN frame is handed over.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>

#include "core/SyncRing.h"

namespace {

struct Frame {
  uint32_t id;
  uint8_t length;
  uint8_t padding[3];
  uint8_t data[8];
};

void BM_SyncRingPushConsume(benchmark::State& state) {
  static SyncRing<Frame, 200> ring;
  Frame frame{0x123, 8, {}, {1, 2, 3, 4, 5, 6, 7, 8}};
  uint64_t sum = 0;
  for (auto _ : state) {
    ring.push(frame);
    ring.consumeAll([&](const Frame& item) { sum += item.id; });
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SyncRingPushConsume);

}  // namespace
