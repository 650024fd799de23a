// Metering radio frames per second: heat meter readings, each forwarded by
// three receivers, through reassembly, CRC, the receiver filter, tag and meter
// decoding, record dispatch and the log (written to /dev/null while measuring).
//
//   BM_VolmarProtocol  the protocol alone, one tick per frame, on a clock that
//                      moves 1 ms per frame
//   BM_VolmarThread    frames pushed into the radio thread's queue as the port
//                      supervisor does; the producer waits while the queue is
//                      full, and "dropped" counts frames the queue refused
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

#include "can/volmar/Can.h"
#include "can/volmar/CanCMT.h"
#include "can/volmar/CmtIdentifier.h"
#include "can/volmar/MeterDataLogger.h"
#include "core/Crc16.h"
#include "core/Event.h"
#include "meterdata/MeterDataHandlers.h"
#include "platform/CanFrame.h"
#include "registry/CommonHandler.h"

namespace {

// A heat meter telegram as the radio simulator makes it (meter 12345678, path
// (10, 2, 12345678), 13 items); the meter clock (item 0) is bytes 11-14.
const uint8_t heatTelegram[] = {
    0x4E, 0x61, 0xBC, 0x50, 0x0A, 0x02, 0xCE, 0xC2, 0xF1, 0x05, 0x44, 0x00, 0xF1, 0x53, 0x65, 0x41, 0x00, 0x41,
    0x24, 0xC4, 0x48, 0x4D, 0x2D, 0x35, 0xC5, 0x31, 0x2E, 0x32, 0x2E, 0x33, 0x43, 0x40, 0xE2, 0x01, 0x41, 0x32,
    0x42, 0xD5, 0xDD, 0x41, 0x00, 0x42, 0xD2, 0x04, 0x42, 0xD2, 0x04, 0x42, 0x8F, 0x19, 0x44, 0xDA, 0xFD, 0xFF, 0xFF,
};
constexpr size_t clockOffset = 11;

struct Receiver {
  uint32_t address;
  int8_t rssi;
};
constexpr Receiver receivers[] = {{0x1A2B3, -60}, {0x2C4D5, -75}, {0x3E6F7, -90}};

// Frames of `readings` different readings, the three copies of each interleaved.
std::vector<CanFrame> readingFrames(uint32_t readings) {
  std::vector<CanFrame> frames;
  for (uint32_t reading = 0; reading < readings; ++reading) {
    uint8_t message[1 + sizeof heatTelegram + 2];
    std::memcpy(message + 1, heatTelegram, sizeof heatTelegram);
    uint32_t meterClock = 1700000000u + reading;
    for (size_t i = 0; i < 4; ++i) message[1 + clockOffset + i] = static_cast<uint8_t>(meterClock >> (8 * i));
    uint16_t crc = crc16Modbus(message + 1, sizeof heatTelegram);
    message[sizeof message - 2] = static_cast<uint8_t>(crc & 0xFF);
    message[sizeof message - 1] = static_cast<uint8_t>(crc >> 8);
    uint32_t parts = (sizeof message + 7) / 8;
    for (uint32_t part = 0; part < parts; ++part) {
      for (const Receiver& receiver : receivers) {
        message[0] = static_cast<uint8_t>(receiver.rssi);
        size_t offset = part * 8;
        size_t length = sizeof message - offset < 8 ? sizeof message - offset : 8;
        CanFrame frame;
        frame.id = CanFrame::extendedFlag | CmtIdentifier::make(receiver.address, reading, part, part + 1 == parts);
        frame.length = static_cast<uint8_t>(length);
        std::memcpy(frame.data, message + offset, length);
        frames.push_back(frame);
      }
    }
  }
  return frames;
}

// Counts the records that come out, to show the readings were decoded.
class RecordCounter : public CommonHandler<MeterData> {
 public:
  RecordCounter() { MeterDataHandlers::add(this); }
  ~RecordCounter() { MeterDataHandlers::remove(this); }
  void handle(const MeterData&) override { count.fetch_add(1); }
  std::atomic<uint64_t> count{0};
};

// Sends standard output to /dev/null while it lives.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
  }

 private:
  int saved;
};

void BM_VolmarProtocol(benchmark::State& state) {
  std::vector<CanFrame> frames = readingFrames(256);
  RecordCounter records;
  {
    QuietStdout quiet;
    int64_t now = 0;
    CanCMT protocol([&] { return now; }, [](const CanFrame&) {});
    MeterDataLogger logger;
    size_t next = 0;
    for (auto _ : state) {
      protocol.onFrame(frames[next]);
      if (++next == frames.size()) next = 0;
      ++now;
      protocol.tick();
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["records/s"] = benchmark::Counter(static_cast<double>(records.count.load()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_VolmarProtocol);

void BM_VolmarThread(benchmark::State& state) {
  std::vector<CanFrame> frames = readingFrames(256);
  RecordCounter records;
  uint64_t dropped = 0;
  {
    QuietStdout quiet;
    VolmarCan volmar({}, [](const CanFrame&) {});
    volmar.start();
    while (!volmar.isAccepting()) msleep(1);
    size_t next = 0;
    uint64_t pushed = 0;
    for (auto _ : state) {
      while (volmar.queuedFrames() >= VolmarCan::queueCapacity) {
      }
      volmar.pushFrame(frames[next]);
      ++pushed;
      if (++next == frames.size()) next = 0;
    }
    while (volmar.handledFrames() + volmar.droppedFrames() < pushed) {
    }
    dropped = volmar.droppedFrames();
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["dropped"] = static_cast<double>(dropped);
  state.counters["records"] = static_cast<double>(records.count.load());
}
BENCHMARK(BM_VolmarThread)->UseRealTime();

}  // namespace
