#pragma once
// Vist heat meter over Modbus RTU ("#vist"): up to three heating systems,
// each with three measuring points. Each of the three poll steps reads one
// heating system and yields one record, also when the meter does not answer.
//
// Address: one byte, the low byte of the net_id (0, also for no net_id, is
// the broadcast address).
//
// Step s (0 to 2), answers big-endian, data from byte 3:
//   03 00 17 00 0B               identification: the serial as decimal text
//   04 4s+2 02 00 08         (A) flow exponents (u16, bytes 3-8), temperatures
//                                in hundredths of a degree (u16, bytes 11-16)
//   04 4s+3 06 00 06         (B) flow mantissas (s32, bytes 3-14)
//   14 07 06 00 s 00 00 00 30 (C) file record s: volumes (s32, bytes 27-38),
//                                work time in hundredths (u32, 51-54), energy
//                                (u64, 55-62), exponents of the volumes and
//                                the energy (bytes 63-66)
// A value is its mantissa times 0.1^e, e at most 16:
//   12345, e 3 -> 12.345      12345, e 20 -> 12345 * 0.1^16
//
// rserror: 0x8001 no identification answer, 0x4000 another serial or none
// configured, 0x0001 an answer missing or short (the record then carries
// only "type", "model", "meter_sn", "heating_system" and "rserror").
#include <cstdint>
#include <memory>

#include "rs485/DeviceCore.h"

namespace RS485 {

class Vist_FifoData : public RSMeterData {
 public:
  std::unique_ptr<MeterData> clone() const override { return std::make_unique<Vist_FifoData>(*this); }
  void writeFields(JsonWriter& writer) const override;

  double e_sum = 0;
  // Measuring points 1 to 3.
  double volume[3] = {};
  double flow[3] = {};
  uint32_t work_time = 0;  // hundredths
  uint16_t temp[3] = {};   // hundredths of a degree
  // The poll step, 0 to 2.
  uint8_t system = 0;
};

class Vist : public DeviceCore {
 public:
  Vist(const DeviceRecord& record, LineTransport& transport);

  std::unique_ptr<RSMeterData> readStep(uint8_t step) override;

 private:
  bool identify();
  void readFlows(uint8_t step, Vist_FifoData& record);
  void readFileRecord(uint8_t step, Vist_FifoData& record);
};

// 0.1^e by squaring, e limited to 16 (0 gives 1).
double decimalScale(uint32_t exponent);

}  // namespace RS485
