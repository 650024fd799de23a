#pragma once
// Helpers of the CAN port and panel tests: frames in the can-utils text form,
// a clock the test moves, the log lines of captured output, and a bounded
// wait for a condition.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ostream>
#include <cstdint>
#include <string>
#include <vector>

#include "Eventually.h"
#include "LogLines.h"
#include "core/Event.h"
#include "platform/CanFrame.h"

namespace PanelTest {

// "80A01FE6#2011020000001000": the SocketCAN identifier word (flags included)
// in hex, then the data bytes; "80A01FE6#" has no data.
inline CanFrame frameOf(const std::string& text) {
  CanFrame frame;
  size_t hash = text.find('#');
  frame.id = static_cast<uint32_t>(std::stoul(text.substr(0, hash), nullptr, 16));
  std::string data = hash == std::string::npos ? "" : text.substr(hash + 1);
  for (size_t i = 0; i + 1 < data.size() && frame.length < 8; i += 2) {
    frame.data[frame.length++] = static_cast<uint8_t>(std::stoul(data.substr(i, 2), nullptr, 16));
  }
  return frame;
}

inline std::string textOf(const CanFrame& frame) {
  char text[40];
  int at = std::snprintf(text, sizeof text, "%08X#", frame.id);
  for (int i = 0; i < frame.length && i < 8; ++i) at += std::snprintf(text + at, sizeof text - at, "%02X", frame.data[i]);
  return text;
}

// Monotonic time moved by the test; readable from worker threads.
struct FakeClock {
  std::atomic<int64_t> now{100000};
  int64_t operator()() const { return now.load(); }
  void advance(int64_t amount) { now.fetch_add(amount); }
};

using TestLog::LogLine;
using TestLog::logLines;
using TestLog::linesWith;

using TestWait::eventually;

}  // namespace PanelTest
