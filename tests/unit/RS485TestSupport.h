#pragma once
// Fakes for the RS485 tests: a serial line whose received bytes the test
// queues, a meter that answers drivers from a table of hex payloads, and a
// store directory of the test's own.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "HexBytes.h"
#include "LogLines.h"
#include "RecordCollector.h"
#include "RegistryTestTree.h"
#include "core/Crc16.h"
#include "platform/SerialPort.h"
#include "rs485/DeviceRecord.h"
#include "rs485/LineTransport.h"

namespace RS485Test {

using RS485::Bytes;
using TestHex::bytesOf;
using TestHex::hexOf;

inline Bytes withCrc(Bytes frame) {
  uint16_t crc = crc16Modbus(frame.data(), frame.size());
  frame.push_back(static_cast<uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<uint8_t>(crc >> 8));
  return frame;
}

// What a fake line saw and what it will deliver. Each queued chunk is what
// one read returns (a read may also take only part of it).
struct FakeLine {
  std::vector<Bytes> sent;
  std::vector<std::pair<uint32_t, std::string>> configured;
  std::deque<Bytes> incoming;
  int flushes = 0;
  // available() reports bytes that no read then returns.
  bool phantomBytes = false;
  // Called with every sent frame; may queue the answer.
  std::function<void(FakeLine& line, const Bytes& frame)> onSend;

  size_t pending() const {
    size_t total = 0;
    for (const Bytes& chunk : incoming) total += chunk.size();
    return total;
  }
};

class FakeSerialPort : public Platform::SerialPort {
 public:
  FakeSerialPort(FakeLine& fakeLine, std::mutex& fakeMutex) : line(fakeLine), mutex(fakeMutex) {}
  int fd() const override { return -1; }
  void configure(uint32_t baud, const char* mode) override {
    std::lock_guard<std::mutex> lock(mutex);
    line.configured.emplace_back(baud, std::string(mode));
  }
  void send(const uint8_t* data, size_t length) override {
    std::lock_guard<std::mutex> lock(mutex);
    line.sent.emplace_back(data, data + length);
    if (line.onSend) line.onSend(line, line.sent.back());
  }
  uint16_t read(uint8_t* buffer, uint16_t maximum) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (line.incoming.empty() || maximum == 0) return 0;
    Bytes& chunk = line.incoming.front();
    size_t taken = chunk.size() < maximum ? chunk.size() : maximum;
    std::copy(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(taken), buffer);
    chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(taken));
    if (chunk.empty()) line.incoming.pop_front();
    return static_cast<uint16_t>(taken);
  }
  uint32_t available() override {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<uint32_t>(line.pending() + (line.phantomBytes ? 1 : 0));
  }
  void flushInput() override {
    std::lock_guard<std::mutex> lock(mutex);
    line.incoming.clear();
    ++line.flushes;
  }

 private:
  FakeLine& line;
  std::mutex& mutex;
};

// A meter behind a transport: answers each payload (the frame without its
// address and CRC) from a table of hex texts, with its address in front and
// a good CRC behind; a payload missing from the table goes unanswered.
class FakeMeter : public RS485::LineTransport {
 public:
  FakeMeter(std::string addressHex, std::map<std::string, std::string> table)
      : address(bytesOf(addressHex)), answers(std::move(table)) {}

  std::future<Bytes> enqueue(const Bytes& frame, const Platform::LineConfig& config) override {
    configs.push_back(config);
    frames.push_back(frame);
    std::promise<Bytes> promise;
    EXPECT_GE(frame.size(), address.size() + 2) << hexOf(frame);
    EXPECT_EQ(crc16Modbus(frame.data(), frame.size()), 0) << "CRC of " << hexOf(frame);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(address.size())), address)
        << hexOf(frame);
    std::string payload = hexOf(Bytes(frame.begin() + static_cast<std::ptrdiff_t>(address.size()), frame.end() - 2));
    payloads.push_back(payload);
    auto found = answers.find(payload);
    if (breakPromises) return promise.get_future();  // the promise goes unfulfilled
    if (found == answers.end()) {
      promise.set_value({});
    } else {
      Bytes answer = answerAddress.empty() ? address : answerAddress;
      Bytes data = bytesOf(found->second);
      answer.insert(answer.end(), data.begin(), data.end());
      promise.set_value(withCrc(answer));
    }
    return promise.get_future();
  }

  Bytes address;
  // The address in front of the answers when it is not the one addressed.
  Bytes answerAddress;
  std::map<std::string, std::string> answers;
  std::vector<std::string> payloads;
  std::vector<Bytes> frames;
  std::vector<Platform::LineConfig> configs;
  bool breakPromises = false;
};

// A device record as the store holds it.
inline RS485::DeviceRecord deviceRecord(uint16_t driver, uint64_t serial, uint8_t port = 1, uint32_t baud = 9600,
                                        const char* mode = "8n1") {
  RS485::DeviceRecord record;
  record.serial = serial;
  record.baudrate = baud;
  record.driver = driver;
  for (int i = 0; i < 3 && mode[i] != '\0'; ++i) record.mode[i] = mode[i];
  record.flags = static_cast<uint8_t>((port & RS485::DeviceRecord::portMask) | RS485::DeviceRecord::netIdIsNull);
  return record;
}

inline RS485::DeviceRecord withNetId(RS485::DeviceRecord record, uint64_t netId) {
  record.net_id = netId;
  record.flags = static_cast<uint8_t>(record.flags & ~RS485::DeviceRecord::netIdIsNull);
  return record;
}

}  // namespace RS485Test
