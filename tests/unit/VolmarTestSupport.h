#pragma once
// Small fakes for the metering radio tests: a clock the test moves, a record
// consumer that keeps copies, frames in the text form "<id>#<hex>" that the
// radio simulator prints, and the log lines of captured output.
#include <atomic>
#include <cstdint>
#include <string>

#include "Eventually.h"
#include "HexBytes.h"
#include "LogLines.h"
#include "RecordCollector.h"
#include "core/Event.h"
#include "platform/CanFrame.h"

namespace VolmarTest {

// Monotonic milliseconds, moved by the test; readable from the worker thread.
struct FakeClock {
  std::atomic<int64_t> now{1000000};
  int64_t operator()() const { return now.load(); }
  void advance(int64_t milliseconds) { now.fetch_add(milliseconds); }
};

using RecordCollector = ::RecordCollector;

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

using TestHex::bytesOf;
using TestLog::LogLine;
using TestLog::logLines;
using TestLog::linesStartingWith;

using TestWait::eventually;

}  // namespace VolmarTest
