#include "rs485/DeviceCore.h"

#include <cstring>

#include "core/Crc16.h"
#include "core/Log.h"

namespace RS485 {

std::recursive_mutex& pollLock(uint8_t line) {
  static std::recursive_mutex locks[3];
  return locks[line < 3 ? line : 0];
}

DeviceCore::DeviceCore(const DeviceRecord& record, LineTransport& lineTransport)
    : serial(record.serial),
      net_id(record.net_id),
      serialIsNull(!record.hasSerial()),
      netIdIsNull(!record.hasNetId()),
      transport(lineTransport) {
  // Rates above 65535 (115200) are used as stored. A rate of 0 would select
  // 50 baud, where sending a frame alone holds the I/O thread for seconds.
  if (record.baudrate != 0) {
    config.baud = record.baudrate;
  } else {
    LOGW("Baud rate 0 for serial %llu: using %u", static_cast<unsigned long long>(record.serial),
         static_cast<unsigned>(config.baud));
  }
  config.line = record.port();
  std::memcpy(config.mode, record.mode, sizeof config.mode);
  config.mode[3] = '\0';
}

std::unique_ptr<RSMeterData> DeviceCore::poll(uint8_t step) {
  std::lock_guard<std::recursive_mutex> lock(pollLock(config.line));
  rserror = 0;
  std::unique_ptr<RSMeterData> record = readStep(step);
  if (record) {
    record->serial = serial;
    record->rserror = rserror;
  }
  return record;
}

uint32_t DeviceCore::meterClockNotRead() {
  { std::lock_guard<std::recursive_mutex> lock(pollLock(config.line)); }
  return 0;
}

Bytes DeviceCore::request(const Bytes& payload) {
  Bytes frame;
  uint32_t length = addressLength < 4 ? addressLength : 4;
  frame.reserve(length + payload.size() + 2);
  for (uint32_t i = 0; i < length; ++i) frame.push_back(static_cast<uint8_t>(address >> (8 * i)));
  frame.insert(frame.end(), payload.begin(), payload.end());
  if (config.raw == 0) {
    uint16_t crc = crc16Modbus(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
  }
  try {
    return transport.enqueue(frame, config).get();
  } catch (...) {
    // A promise the I/O side dropped unfulfilled: no answer.
    return {};
  }
}

Bytes DeviceCore::modbusRequest(const Bytes& payload) {
  Bytes answer = request(payload);
  if (answer.empty() || payload.empty()) return answer;
  uint8_t sentAddress = static_cast<uint8_t>(address);
  if (answer.size() >= 2 && answer[0] == sentAddress && answer[1] == payload[0]) return answer;
  LOGW("Answer to address %u function 0x%02X came from address %u function 0x%02X: dropped",
       static_cast<unsigned>(sentAddress), static_cast<unsigned>(payload[0]), static_cast<unsigned>(answer[0]),
       static_cast<unsigned>(answer.size() >= 2 ? answer[1] : 0));
  return {};
}

Bytes DeviceCore::readRegisters(uint8_t function, uint16_t first, uint16_t count) {
  return modbusRequest({function, static_cast<uint8_t>(first >> 8), static_cast<uint8_t>(first),
                        static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)});
}

}  // namespace RS485
