// Feeds arbitrary bytes to the multiplexer's receive side through a port in
// memory, read in pieces whose size the first byte picks, and checks that
// every payload handed on (AT channel or data call) stood in the input as a
// whole frame with a good FCS and a closing flag.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "net/sim800/cmux.h"

namespace {

class MemoryPort : public Platform::SerialPort {
 public:
  MemoryPort(const uint8_t* bytes, size_t count, size_t piece) : data(bytes), size(count), pieceSize(piece) {}
  int fd() const override { return -1; }
  void configure(uint32_t, const char*) override {}
  void send(const uint8_t*, size_t) override {}
  uint16_t read(uint8_t* buffer, uint16_t maximum) override {
    size_t count = std::min({static_cast<size_t>(maximum), size - at, pieceSize});
    std::copy_n(data + at, count, buffer);
    at += count;
    return static_cast<uint16_t>(count);
  }
  uint32_t available() override { return static_cast<uint32_t>(size - at); }
  void flushInput() override { at = size; }
  bool drained() const { return at == size; }

 private:
  const uint8_t* data;
  size_t size;
  size_t pieceSize;
  size_t at = 0;
};

// Somewhere in the input: flag, address, control, length (one or two
// octets) announcing the payload, the payload, a good FCS, flag.
bool standsAsFrame(const uint8_t* input, size_t size, const std::vector<uint8_t>& payload) {
  size_t n = payload.size();
  for (size_t start = 0; start + n + 6 <= size; ++start) {
    for (size_t lengthOctets = 1; lengthOctets <= 2; ++lengthOctets) {
      size_t header = 2 + lengthOctets;
      size_t body = start + 1 + header;
      if (body + n + 2 > size || input[start] != Cmux::flag) continue;
      const uint8_t* length = input + start + 3;
      size_t announced = lengthOctets == 1 ? ((length[0] & 1) != 0 ? length[0] >> 1 : SIZE_MAX)
                                           : ((length[0] & 1) == 0 ? (length[0] >> 1) | (length[1] << 7) : SIZE_MAX);
      if (announced != n || !std::equal(payload.begin(), payload.end(), input + body)) continue;
      std::vector<uint8_t> checked(input + start + 1, input + body);
      uint8_t control = input[start + 2];
      if ((control & ~0x10) != Cmux::controlUih) checked.insert(checked.end(), payload.begin(), payload.end());
      if (input[body + n] == Cmux::fcs(checked.data(), checked.size()) && input[body + n + 1] == Cmux::flag) return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Receive errors are logged; the fuzzer's own output is on stderr.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t piece = data[0] % 32 + 1;
  ++data;
  --size;
  MemoryPort port(data, size, piece);
  int64_t seconds = 0;
  std::vector<std::vector<uint8_t>> delivered;
  Cmux::Multiplexer mux({&port, [&] { return seconds++; }, [](int) {},
                         [&](const uint8_t* bytes, size_t length) { delivered.emplace_back(bytes, bytes + length); }});
  for (int calls = 0; calls < 100000 && (!port.drained() || mux.hasPendingInput()); ++calls) {
    ByteBuffer text = mux.readAtText();
    if (!text.empty()) {
      if (text.text()[text.size()] != '\0') std::abort();
      delivered.emplace_back(text.data(), text.data() + text.size());
    }
  }
  if (!port.drained()) std::abort();
  for (const std::vector<uint8_t>& payload : delivered) {
    if (payload.size() > Cmux::maxPayload || !standsAsFrame(data, size, payload)) std::abort();
  }
  return 0;
}
