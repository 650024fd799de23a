#pragma once
// A modem line for the multiplexer and controller tests: what the code
// writes is kept, what the test queues is read back in blocks of a chosen
// size, and a hook may answer what was written.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "net/sim800/cmux.h"
#include "platform/SerialPort.h"

class FakeModemPort : public Platform::SerialPort {
 public:
  int fd() const override { return -1; }
  void configure(uint32_t baud, const char*) override { speeds.push_back(baud); }
  void send(const uint8_t* data, size_t length) override { take(data, length); }
  void writeAll(const uint8_t* data, size_t length) override { take(data, length); }
  uint16_t read(uint8_t* buffer, uint16_t maximum) override {
    size_t count = std::min<size_t>({maximum, incoming.size(), blockSize});
    std::copy_n(incoming.begin(), count, buffer);
    incoming.erase(incoming.begin(), incoming.begin() + static_cast<std::ptrdiff_t>(count));
    return static_cast<uint16_t>(count);
  }
  uint32_t available() override { return static_cast<uint32_t>(incoming.size()); }
  void flushInput() override { incoming.clear(); }

  void queue(const std::vector<uint8_t>& bytes) { incoming.insert(incoming.end(), bytes.begin(), bytes.end()); }
  void queueFrame(uint8_t channel, const std::string& text) {
    queue(Cmux::encodeFrame(channel, reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  }
  bool wrote(const std::vector<uint8_t>& bytes) const {
    return std::search(written.begin(), written.end(), bytes.begin(), bytes.end()) != written.end();
  }
  bool wroteFrame(uint8_t channel, const std::string& text) const {
    return wrote(Cmux::encodeFrame(channel, reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  }
  size_t countFrames(uint8_t channel, const std::string& text) const {
    std::vector<uint8_t> frame = Cmux::encodeFrame(channel, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    size_t count = 0;
    for (auto at = written.begin(); (at = std::search(at, written.end(), frame.begin(), frame.end())) != written.end();
         ++at) {
      ++count;
    }
    return count;
  }

  std::vector<uint8_t> written;
  std::deque<uint8_t> incoming;
  std::vector<uint32_t> speeds;
  size_t blockSize = 512;
  // Called with each write, after it was kept.
  std::function<void(const std::vector<uint8_t>& bytes)> onWrite;

 private:
  void take(const uint8_t* data, size_t length) {
    std::vector<uint8_t> bytes(data, data + length);
    written.insert(written.end(), bytes.begin(), bytes.end());
    if (onWrite) onWrite(bytes);
  }
};
