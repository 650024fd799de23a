// The settings tree: rendering the whole root for a client, applying a
// client's object of about 1 KiB, saving a persisted group, and the group
// files written for 1,000 applies of an unchanged and of a changing object.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "registry/Catalogue.h"
#include "registry/Registry.h"

namespace {

void BM_RenderWholeRoot(benchmark::State& state) {
  RegistryRoot& root = RegistryRoot::global();
  Catalogue::all();
  size_t bytes = 0;
  for (auto _ : state) {
    std::lock_guard<std::recursive_mutex> lock(root.mutex());
    std::string text = root.toText();
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["text_bytes"] = static_cast<double>(bytes);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_RenderWholeRoot);

// About 1 KiB touching groups that are not persisted (no file is written), and
// ignored members: what a client's settings page sends.
std::string clientObject() {
  std::string eth = R"({"ip":"192.168.10.20","netmask":"255.255.255.0","gateway":"192.168.10.1","dns1":"8.8.8.8",)"
                    R"("dns2":"8.8.4.4","dhcp":false,"static_fallback":true,"add_default_dns":true})";
  std::string text = "{\"eth0\":" + eth + ",\"eth1\":" + eth +
                     R"(,"power_status":{"main":24.1,"backup":23.9,"alarm":false},)"
                     R"("eth_status":{"ip1":"10.0.0.2","ip2":"10.0.1.2","mask1":"255.0.0.0","mask2":"255.0.0.0",)"
                     R"("gateway1":"10.0.0.1","gateway2":"10.0.1.1"},)"
                     R"("gsm_status":{"rssi":17,"imei":356938035643809},"me":"marm_on",)"
                     R"("rs485_status":{"devices":3},"mqtt_status":{"connected":true,"using_alt_mqtt":false},)"
                     R"("krel_devices_list":"ignored","unknown_group":{"a":1,"b":"text"},"padding":")";
  while (text.size() < 1022) text += 'x';
  return text + "\"}";
}

void BM_ApplyClientObject1KiB(benchmark::State& state) {
  RegistryRoot& root = RegistryRoot::global();
  Catalogue::all();
  const std::string text = clientObject();
  for (auto _ : state) root.apply(text.c_str());
  if (Catalogue::eth1().gateway.toText() != "\"192.168.10.1\"") state.SkipWithError("the object did not apply");
  state.counters["object_bytes"] = static_cast<double>(text.size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ApplyClientObject1KiB);

// One persisted group changed by every apply, which therefore also saves
// /data/dps/pult (write, fsync, rename, directory fsync): that dominates.
void BM_ApplyPersistedGroup(benchmark::State& state) {
  RegistryRoot& root = RegistryRoot::global();
  Catalogue::all();
  const char* texts[2] = {R"({"pult":{"is_server":false,"target":"192.168.10.5","enabled":true}})",
                          R"({"pult":{"is_server":false,"target":"192.168.10.6","enabled":true}})"};
  size_t n = 0;
  for (auto _ : state) root.apply(texts[n++ % 2]);
}
BENCHMARK(BM_ApplyPersistedGroup)->Unit(benchmark::kMicrosecond);

// Flash wear: group files written for 1,000 applies of one persisted group,
// with an unchanged object (argument 0, target: none written) and with a
// changed value each time (argument 1, one file each). A tree of its own in
// a temporary directory.
void BM_FilesWrittenPerThousandApplies(benchmark::State& state) {
  char pattern[] = "/tmp/fieldhub-bench-registry-XXXXXX";
  std::string directory = mkdtemp(pattern);
  uint64_t written = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove_all(directory + "/dps");
    auto root = std::make_unique<RegistryRoot>(directory + "/dps");
    auto pult = std::make_unique<Catalogue::Pult>(*root);
    root->apply(R"({"pult":{"is_server":false,"target":"192.168.10.5","enabled":true}})");
    uint64_t before = root->fileWrites();
    state.ResumeTiming();
    for (int i = 0; i < 1000; ++i) {
      std::string target = state.range(0) == 0 ? "192.168.10.5" : "192.168.10." + std::to_string(i % 200 + 10);
      root->apply(("{\"pult\":{\"is_server\":false,\"target\":\"" + target + "\",\"enabled\":true}}").c_str());
    }
    written = root->fileWrites() - before;
  }
  std::filesystem::remove_all(directory);
  state.counters["files_written"] = static_cast<double>(written);
}
BENCHMARK(BM_FilesWrittenPerThousandApplies)
    ->ArgName("changing")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
