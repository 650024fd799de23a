// The multiplexer's receive side: 127-byte UIH frames on channel 2, with a
// short run of garbage after every 64th frame, taken in by readAtText from
// memory and through a pseudo-terminal. Bytes per second are the line's
// bytes (frames and garbage). Targets: 10 MB/s from memory, 1 MB/s through
// the pseudo-terminal (the modem line carries 46 kB/s at 460800 baud).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

#include "net/sim800/cmux.h"

namespace {

constexpr size_t framesPerStream = 1024;

std::vector<uint8_t> lineStream() {
  std::vector<uint8_t> payload(127);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  std::vector<uint8_t> stream;
  for (size_t n = 0; n < framesPerStream; ++n) {
    std::vector<uint8_t> frame = Cmux::encodeFrame(2, payload.data(), payload.size());
    stream.insert(stream.end(), frame.begin(), frame.end());
    if (n % 64 == 63) stream.insert(stream.end(), {0x00, 0x55, 0x13});
  }
  return stream;
}

// The log's warnings for the garbage go to /dev/null while it runs.
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

class MemoryPort : public Platform::SerialPort {
 public:
  explicit MemoryPort(const std::vector<uint8_t>& bytes) : data(bytes) {}
  int fd() const override { return -1; }
  void configure(uint32_t, const char*) override {}
  void send(const uint8_t*, size_t) override {}
  uint16_t read(uint8_t* buffer, uint16_t maximum) override {
    size_t count = std::min<size_t>(maximum, data.size() - at);
    std::copy_n(data.data() + at, count, buffer);
    at += count;
    return static_cast<uint16_t>(count);
  }
  uint32_t available() override { return static_cast<uint32_t>(data.size() - at); }
  void flushInput() override {}
  void rewind() { at = 0; }
  bool drained() const { return at == data.size(); }

 private:
  const std::vector<uint8_t>& data;
  size_t at = 0;
};

void BM_CmuxDecodeFromMemory(benchmark::State& state) {
  std::vector<uint8_t> stream = lineStream();
  MemoryPort port(stream);
  size_t frames = 0;
  Cmux::Multiplexer mux({&port, [] { return int64_t{0}; }, [](int) {}, [&](const uint8_t*, size_t) { ++frames; }});
  QuietStdout quiet;
  for (auto _ : state) {
    port.rewind();
    while (!port.drained() || mux.hasPendingInput()) mux.readAtText();
  }
  if (frames != framesPerStream * state.iterations()) state.SkipWithError("frames lost");
  state.SetBytesProcessed(static_cast<int64_t>(stream.size() * state.iterations()));
}
BENCHMARK(BM_CmuxDecodeFromMemory);

// The slave side of a pseudo-terminal in raw mode, read as the modem line is.
class TerminalPort : public Platform::SerialPort {
 public:
  explicit TerminalPort(int descriptor) : descriptor(descriptor) {}
  int fd() const override { return descriptor; }
  void configure(uint32_t, const char*) override {}
  void send(const uint8_t*, size_t) override {}
  uint16_t read(uint8_t* buffer, uint16_t maximum) override {
    ssize_t got = ::read(descriptor, buffer, maximum);
    return got > 0 ? static_cast<uint16_t>(got) : 0;
  }
  uint32_t available() override { return 0; }
  void flushInput() override {}

 private:
  int descriptor;
};

void BM_CmuxDecodeThroughPty(benchmark::State& state) {
  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  termios settings{};
  tcgetattr(slave, &settings);
  cfmakeraw(&settings);
  tcsetattr(slave, TCSANOW, &settings);
  fcntl(slave, F_SETFL, fcntl(slave, F_GETFL) | O_NONBLOCK);
  std::vector<uint8_t> stream = lineStream();
  TerminalPort port(slave);
  size_t frames = 0;
  Cmux::Multiplexer mux({&port, [] { return int64_t{0}; }, [](int) {}, [&](const uint8_t*, size_t) { ++frames; }});
  QuietStdout quiet;
  for (auto _ : state) {
    size_t wanted = frames + framesPerStream;
    std::thread writer([&] {
      for (size_t at = 0; at < stream.size();) {
        ssize_t wrote = ::write(master, stream.data() + at, stream.size() - at);
        if (wrote > 0) at += static_cast<size_t>(wrote);
      }
    });
    while (frames < wanted) {
      pollfd slot{slave, POLLIN, 0};
      if (!mux.hasPendingInput() && poll(&slot, 1, 1000) <= 0) break;
      mux.readAtText();
    }
    writer.join();
    if (frames != wanted) {
      state.SkipWithError("frames lost");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(stream.size() * state.iterations()));
  close(master);
  close(slave);
}
BENCHMARK(BM_CmuxDecodeThroughPty)->UseRealTime();

}  // namespace
