#pragma once
// Where meter drivers hand their frames: one request frame out, one answer
// frame back. The RS485 I/O thread is the transport of the firmware; tests
// hand the drivers a fake one.
#include <cstdint>
#include <future>
#include <vector>

#include "platform/SerialPort.h"

namespace RS485 {

using Bytes = std::vector<uint8_t>;
using Platform::LineConfig;

class LineTransport {
 public:
  // Queues a complete frame (address, payload and, unless config.raw, the
  // CRC) for the line of `config`. The future gives the answer frame, or an
  // empty one when no valid answer came.
  virtual std::future<Bytes> enqueue(const Bytes& frame, const LineConfig& config) = 0;

 protected:
  LineTransport() = default;
  ~LineTransport() = default;
};

}  // namespace RS485
