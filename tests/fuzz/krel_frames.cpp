// Raw frames of a panel port through layout detection, decoding, routing and
// the digest slots, as the panel thread takes them; published digests are
// rendered to JSON. The first byte chooses the start: 0 detection from the
// frames themselves, 1 the 64-node layout, 2 the 250-node layout (each
// decided first by ten digest frames). The rest is frames of 13 bytes:
// identifier word (little-endian), length, 8 data bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ScratchRoot.h"
#include "can/krel/DigestData.h"
#include "can/krel/DigestSlot.h"
#include "can/krel/PacketRouter.h"
#include "meterdata/MeterData.h"

namespace {

constexpr size_t frameBytes = 13;

CanFrame frameAt(const uint8_t* bytes) {
  CanFrame frame{};
  frame.id = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
             static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  frame.length = bytes[4];
  std::memcpy(frame.data, bytes + 5, sizeof frame.data);
  return frame;
}

CanFrame digest(uint8_t layout, uint32_t node, uint32_t index) {
  uint32_t id = layout == 1 ? node << 21 | (0xFF0 + index) << 1 : (0xFFF0 + index) << 13 | node << 5;
  return CanFrame{CanFrame::extendedFlag | id, 8};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  int64_t now = 0;
  size_t published = 0;
  KREL::DigestStore store([&now] { return now / 1000; },
                          [&published](const MeterData& record) {
                            std::string json = record.toJson();
                            if (json.empty() || json.front() != '{' || json.back() != '}') abort();
                            ++published;
                          });
  size_t sent = 0;
  size_t polled = 0;
  KREL::PacketRouter router(
      store, [&sent](const CanFrame&) { ++sent; },
      [](const KREL::IOPacket& packet) {
        if (packet.node > KREL::maxNode || packet.error != 0) abort();
      },
      [&polled](const KREL::IOPacket&) { ++polled; }, [&now] { return now; });

  uint8_t start = data[0] % 3;
  if (start != 0) {
    for (uint32_t i = 0; i < 10; ++i) router.take(digest(start, 5, i % 9));
    if (router.ioProcessor() == nullptr) abort();
  }
  for (size_t at = 1; at + frameBytes <= size; at += frameBytes) {
    router.take(frameAt(data + at));
    now += 7;
  }
  std::vector<uint16_t> alive;
  store.aliveNodes(alive);
  for (size_t i = 1; i < alive.size(); ++i) {
    if (alive[i] <= alive[i - 1]) abort();
  }
  return 0;
}
