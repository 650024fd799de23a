#pragma once
// Small fakes for the metering radio tests: a clock the test moves, a record
// consumer that keeps copies, frames in the text form "<id>#<hex>" that the
// radio simulator prints, and the log lines of captured output.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Eventually.h"
#include "LogLines.h"
#include "core/Event.h"
#include "meterdata/MeterData.h"
#include "meterdata/MeterDataHandlers.h"
#include "platform/CanFrame.h"
#include "registry/CommonHandler.h"

namespace VolmarTest {

// Monotonic milliseconds, moved by the test; readable from the worker thread.
struct FakeClock {
  std::atomic<int64_t> now{1000000};
  int64_t operator()() const { return now.load(); }
  void advance(int64_t milliseconds) { now.fetch_add(milliseconds); }
};

// Keeps a copy of every dispatched record; hub_time is cleared so JSON texts
// can be compared whole.
class RecordCollector : public CommonHandler<MeterData> {
 public:
  RecordCollector() { MeterDataHandlers::add(this); }
  ~RecordCollector() { MeterDataHandlers::remove(this); }

  void handle(const MeterData& record) override {
    std::lock_guard<std::mutex> lock(mutex);
    records.push_back(record.clone());
    records.back()->hub_time = 0;
    arrived.notify_all();
  }

  size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return records.size();
  }
  // Waits up to the limit for at least n records.
  bool waitFor(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> lock(mutex);
    return arrived.wait_for(lock, limit, [&] { return records.size() >= n; });
  }
  std::vector<std::string> jsonTexts() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> texts;
    for (const auto& record : records) texts.push_back(record->toJson());
    return texts;
  }

 private:
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::unique_ptr<MeterData>> records;
};

// "0345665F#0200000000001B03" -> extended frame 0x0345665F, 8 bytes. Eight
// identifier digits make an extended frame, three a standard one.
inline CanFrame parseFrame(const std::string& text) {
  CanFrame frame;
  size_t hash = text.find('#');
  std::string id = text.substr(0, hash);
  frame.id = static_cast<uint32_t>(std::stoul(id, nullptr, 16)) | (id.size() == 8 ? CanFrame::extendedFlag : 0u);
  std::string data = hash == std::string::npos ? "" : text.substr(hash + 1);
  for (size_t i = 0; i + 1 < data.size() && frame.length < 8; i += 2) {
    frame.data[frame.length++] = static_cast<uint8_t>(std::stoul(data.substr(i, 2), nullptr, 16));
  }
  return frame;
}

inline std::vector<uint8_t> bytesOf(const std::string& hex) {
  std::vector<uint8_t> bytes;
  std::string digits;
  for (char c : hex) {
    if (c != ' ') digits += c;
  }
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

using TestLog::LogLine;
using TestLog::logLines;
using TestLog::linesStartingWith;

using TestWait::eventually;

}  // namespace VolmarTest
