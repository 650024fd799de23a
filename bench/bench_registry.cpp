// The settings tree: rendering the whole root for a client, and applying a
// client's object of about 1 KiB.
#include <benchmark/benchmark.h>

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

// One persisted group: the apply also saves /data/dps/pult (write, fsync,
// rename, directory fsync), which dominates.
void BM_ApplyPersistedGroup(benchmark::State& state) {
  RegistryRoot& root = RegistryRoot::global();
  Catalogue::all();
  const char* text = R"({"pult":{"is_server":false,"target":"192.168.10.5","enabled":true}})";
  for (auto _ : state) root.apply(text);
}
BENCHMARK(BM_ApplyPersistedGroup)->Unit(benchmark::kMicrosecond);

}  // namespace
