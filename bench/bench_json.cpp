// Scanning a settings object of about 1 KiB, as a client applies it.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "registry/Json.h"

namespace {

std::string settingsObject() {
  std::string text = "{";
  int member = 0;
  while (text.size() < 1000) {
    std::string key = "\"setting_" + std::to_string(member) + "\":";
    switch (member % 4) {
      case 0: text += key + "\"value text " + std::to_string(member) + "\","; break;
      case 1: text += key + std::to_string(member * 1234) + ","; break;
      case 2: text += key + "true,"; break;
      default: text += key + "{\"host\":\"broker.example\",\"port\":1883},"; break;
    }
    ++member;
  }
  text.back() = '}';
  return text;
}

void BM_ScanSettingsObject(benchmark::State& state) {
  const std::string text = settingsObject();
  std::vector<char> buffer(text.size() + 1);
  for (auto _ : state) {
    std::copy(text.begin(), text.end(), buffer.begin());
    buffer[text.size()] = '\0';
    JsonList list = scanJsonObject(buffer.data());
    benchmark::DoNotOptimize(list.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
  state.counters["object_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_ScanSettingsObject);

}  // namespace
