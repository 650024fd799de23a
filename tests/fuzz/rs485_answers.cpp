// Feeds meter answers to the RS485 drivers (Mercury 236 and 206, Vzlet 42
// and 24, Vist) the way the I/O thread hands them over, and renders the
// records, so a length check that does not cover an index shows up under
// ASan.
//
// Input: byte 0 chooses the meter (bits 0-2: 236, 206, Vzlet 42, Vzlet 24,
// Vist, the rest 236 again; bit 3: a net_id is configured), then answers,
// each a length byte and that many bytes (the whole frame, address and CRC
// included; length 0 is no answer). Requests after the last answer go
// unanswered.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <future>

#include "rs485/Drivers.h"

namespace {

class AnswersInOrder : public RS485::LineTransport {
 public:
  AnswersInOrder(const uint8_t* data, size_t size) : at(data), end(data + size) {}

  std::future<RS485::Bytes> enqueue(const RS485::Bytes&, const Platform::LineConfig&) override {
    RS485::Bytes answer;
    if (at < end) {
      size_t length = *at++;
      if (length > static_cast<size_t>(end - at)) length = static_cast<size_t>(end - at);
      answer.assign(at, at + length);
      at += length;
    }
    std::promise<RS485::Bytes> promise;
    promise.set_value(answer);
    return promise.get_future();
  }

 private:
  const uint8_t* at;
  const uint8_t* end;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  int null = open("/dev/null", O_WRONLY);
  if (null >= 0) dup2(null, STDOUT_FILENO);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  RS485::DeviceRecord record;
  record.serial = 12345678;
  const uint16_t drivers[] = {3, 2, 6, 7, 9, 3, 3, 3};
  record.driver = drivers[data[0] & 7];
  record.baudrate = 9600;
  record.flags = 1;
  if ((data[0] & 8) != 0) {
    record.net_id = 55;
  } else {
    record.flags |= RS485::DeviceRecord::netIdIsNull;
  }
  AnswersInOrder meter(data + 1, size - 1);
  std::unique_ptr<RS485::DeviceCore> driver = RS485::makeDriver(record, meter);
  for (uint8_t step = 0; driver && step < driver->steps; ++step) {
    std::unique_ptr<RS485::RSMeterData> result = driver->poll(step);
    if (result && result->toJson() != result->clone()->toJson()) __builtin_trap();
  }
  return 0;
}
