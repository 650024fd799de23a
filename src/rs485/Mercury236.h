#pragma once
// Mercury 236, a three-phase electricity meter ("#mercury236"). One poll
// step: open a level-1 session, then read the energy of tariffs 1 to 4,
// voltage, current, active and reactive power per phase, frequency, the
// transformer ratios Kn/Kt, and the serial number and date of manufacture.
//
// Address: one byte. A configured net_id up to 9999 is the address;
// otherwise n = net_id (or the serial when there is none), a = n mod 1000,
// a > 239 -> a mod 100, 0 -> 1:
//   serial 12345678 -> 78    serial 12345200 -> 200    net_id 55 -> 55
//
// Value byte orders (b1 b2 ... the answer bytes as received):
//   energy      (b2 << 24) | (b1 << 16) | (b4 << 8) | b3   00 01 02 03 -> 16777986
//   three bytes (b1 << 16) | (b3 << 8) | b2                00 1A 5B    -> 23322
#include <cstdint>
#include <memory>

#include "rs485/DeviceCore.h"

namespace RS485 {

class Mercury236_FifoData : public RSMeterData {
 public:
  // An energy value the meter does not keep.
  static constexpr uint32_t noValue = 0xFFFFFFFF;

  std::unique_ptr<MeterData> clone() const override { return std::make_unique<Mercury236_FifoData>(*this); }
  void writeFields(JsonWriter& writer) const override;

  // Tariffs 1 to 4 at 0 to 3; A+, A-, R+, R- in 0.001 kWh / kvarh.
  uint32_t energy[4][4] = {};
  uint32_t frequency = 0;   // 0.01 Hz
  uint32_t voltage[3] = {};  // 0.01 V
  uint32_t current[3] = {};  // 0.001 A
  int32_t active[3] = {};    // 0.01 W
  int32_t reactive[3] = {};  // 0.01 var
  uint32_t meter_date = 0;
  // Month, year (two digits), day.
  uint8_t date_made[3] = {};
  uint16_t Kn = 0;
  uint16_t Kt = 0;
};

class Mercury236 : public DeviceCore {
 public:
  Mercury236(const DeviceRecord& record, LineTransport& transport);

  std::unique_ptr<RSMeterData> readStep(uint8_t step) override;
  // Takes and releases the line's poll lock; the meter clock is not read.
  uint32_t readMeterClock() override;

 private:
  bool openSession();
  // Three three-byte values from answer byte `first` into `values`.
  void readTriple(const Bytes& payload, size_t first, size_t minimumLength, uint32_t (&values)[3]);
};

}  // namespace RS485
