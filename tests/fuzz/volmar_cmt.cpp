// Feeds frames to the metering radio protocol the way the radio thread does:
// reassembly, service reports, the receiver filter, tag and meter decoding,
// RSSI answers and record dispatch, so an out-of-bounds access shows up under
// ASan.
//
// Input: records of 14 bytes, each
//   byte 0      milliseconds the clock moves before the frame
//   bytes 1-4   identifier word, little-endian (flag bits included)
//   byte 5      data length (not limited to 8)
//   bytes 6-13  data
// After the last frame the clock moves past every time-out, so pending
// packets are decoded and partial messages expire.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "can/volmar/CanCMT.h"
#include "core/LittleEndian.h"
#include "meterdata/MeterDataHandlers.h"
#include "platform/CanFrame.h"
#include "registry/CommonHandler.h"

namespace {

// Renders every record, as the MQTT and WebSocket consumers do.
class JsonConsumer : public CommonHandler<MeterData> {
 public:
  void handle(const MeterData& record) override { rendered += record.toJson().size(); }
  size_t rendered = 0;
};

JsonConsumer consumer;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The protocol logs every step; keep standard output quiet.
  int null = open("/dev/null", O_WRONLY);
  if (null >= 0) dup2(null, STDOUT_FILENO);
  MeterDataHandlers::add(&consumer);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int64_t now = 0;
  size_t sentBytes = 0;
  CanCMT protocol([&] { return now; }, [&](const CanFrame& frame) { sentBytes += frame.length; });
  constexpr size_t recordSize = 14;
  for (size_t at = 0; at + recordSize <= size; at += recordSize) {
    const uint8_t* record = data + at;
    now += record[0];
    CanFrame frame;
    frame.id = littleEndian32(record + 1);
    frame.length = record[5];
    std::memcpy(frame.data, record + 6, 8);
    protocol.onFrame(frame);
    protocol.tick();
    if (record[0] == 0xFF) protocol.offlineCheck();
  }
  now += 1000;
  protocol.tick();
  protocol.offlineCheck();
  return sentBytes == static_cast<size_t>(-1);
}
