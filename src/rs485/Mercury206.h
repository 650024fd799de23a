#pragma once
// Mercury 206, a single-phase electricity meter ("#mercury206"). One poll
// step reads the frequency and tariff in use, the number of tariffs, active
// and reactive energy of tariffs 1 to 4, and voltage, current and power.
// Answers carry the four address bytes and the command, then BCD numbers:
//   50 00 -> 5000 (50.00 Hz)
//
// Address: four bytes, most significant first: net_id, or the serial when
// there is none (12345678 = 0x00BC614E -> 00 BC 61 4E).
#include <cstdint>
#include <memory>

#include "rs485/DeviceCore.h"

namespace RS485 {

class Mercury206_FifoData : public RSMeterData {
 public:
  std::unique_ptr<MeterData> clone() const override { return std::make_unique<Mercury206_FifoData>(*this); }
  void writeFields(JsonWriter& writer) const override;

  uint32_t active[4] = {};    // tariffs 1 to 4, 0.01 kWh
  uint32_t reactive[4] = {};  // 0.01 kvarh
  uint32_t power = 0;         // as read
  uint32_t meter_time = 0;
  uint16_t frequency = 0;  // 0.01 Hz
  uint16_t voltage = 0;    // 0.1 V
  uint16_t current = 0;    // 0.01 A
  uint8_t tariff = 0;
  uint8_t tariff_count = 0;
};

class Mercury206 : public DeviceCore {
 public:
  Mercury206(const DeviceRecord& record, LineTransport& transport);

  std::unique_ptr<RSMeterData> readStep(uint8_t step) override;
  // Takes and releases the line's poll lock; the meter clock is not read.
  uint32_t readMeterClock() override;
};

}  // namespace RS485
