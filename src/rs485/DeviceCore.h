#pragma once
// Base of the RS485 meter drivers. A driver is built from a device record for
// one poll, reads the meter in `steps` poll steps through request() and
// returns a record per step (or none).
//
// Frames: the driver's address bytes (addressLength bytes of `address`, low
// byte first), the payload, and unless config.raw the CRC-16/MODBUS of both,
// low byte first:
//   address 0x01, payload 00 -> 01 00 00 20   (CRC 0x2000)
#include <cstdint>
#include <memory>
#include <mutex>

#include "rs485/DeviceRecord.h"
#include "rs485/LineTransport.h"
#include "rs485/RSMeterData.h"

namespace RS485 {

// Error bits shared by the drivers ("rserror").
namespace ErrorBits {
constexpr uint32_t missingAnswer = 0x0001;  // an answer was missing or too short
constexpr uint32_t session = 0x2000;        // the session could not be opened
constexpr uint32_t wrongSerial = 0x4000;    // the meter's serial is not the configured one
constexpr uint32_t noAnswer = 0x8000;       // the meter did not answer its first request
}  // namespace ErrorBits

// The poll lock of a line (recursive: a driver may take it again inside a
// step). Lines 1 and 2 have their own; every other line number shares the
// lock of line 0.
std::recursive_mutex& pollLock(uint8_t line);

class DeviceCore {
 public:
  // The line configuration starts at 2000 ms, 9600 baud, line 1, "8n1", then
  // takes the record's baud rate (as stored; 0 keeps 9600), port and mode.
  DeviceCore(const DeviceRecord& record, LineTransport& transport);
  virtual ~DeviceCore() = default;
  DeviceCore(const DeviceCore&) = delete;
  DeviceCore& operator=(const DeviceCore&) = delete;

  // One poll step: null when the step yields no record.
  virtual std::unique_ptr<RSMeterData> readStep(uint8_t step) = 0;
  // The meter's own clock; the drivers that do not read it return 0.
  virtual uint32_t readMeterClock() { return 0; }

  // readStep under the line's poll lock with rserror cleared first; the
  // record gets the configured serial and the step's rserror.
  std::unique_ptr<RSMeterData> poll(uint8_t step);

  // Sends address + payload (+ CRC) and waits for the answer; empty when no
  // valid answer came (a broken exchange counts as no answer).
  Bytes request(const Bytes& payload);

  LineConfig config;
  uint64_t serial = 0;
  uint64_t net_id = 0;
  bool serialIsNull = false;
  bool netIdIsNull = false;
  uint8_t steps = 1;
  uint32_t rserror = 0;
  uint32_t address = 0;
  uint32_t addressLength = 0;

 protected:
  // readMeterClock of the drivers that leave the meter clock unread: takes
  // and releases the line's poll lock, returns 0.
  uint32_t meterClockNotRead();

  // request() for the Modbus RTU meters: an answer counts only when byte 0 is
  // the address sent and byte 1 the function sent. Another meter's bytes, or
  // an exception answer (function | 0x80), count as no answer (W line), so
  // they are never taken as this meter's reading.
  Bytes modbusRequest(const Bytes& payload);
  // A Modbus read of `count` registers from `first` (function 0x03 holding,
  // 0x04 input registers): payload function, first, count, both high byte
  // first.
  Bytes readRegisters(uint8_t function, uint16_t first, uint16_t count);

 private:
  LineTransport& transport;
};

}  // namespace RS485
