#pragma once
// Vzlet heat meters over Modbus RTU (function 0x04, read input registers):
// the Vzlet 42 ("#vzlet42", two heating systems) and the Vzlet 24
// ("#vzlet24", three). One poll step reads one heating system and yields one
// record.
//
// Address: one byte, the low byte of the net_id (a net_id above 255 is sent
// as its low byte; 0, also for no net_id, is the broadcast address).
//
// Each step first reads the identification, 4 registers from 0x8000: the
// meter's clock and its serial, each big-endian unsigned 32. Then the
// values of the step's system, each 8 bytes, a big-endian unsigned 32 plus a
// big-endian single:
//   00 00 00 7B 3F 00 00 00 -> 123 + 0.5 = 123.5
//
//   Vzlet 42: 24 registers from 0x8030 + 4 step; "Qso", "Qgvs", "Qts" at
//             answer bytes 3, 19 and 35
//   Vzlet 24: 8 registers from 0xC0BE + 24 step; "Wts", "Wgv" at bytes 3
//             and 11
//
// No identification answer: no record for that system. A serial that is not
// the configured one: 0x4000. A short value answer: 0x0001, and the record
// carries only "type", "model", "meter_sn", "heating_system" and "rserror".
#include <cstdint>
#include <memory>

#include "rs485/DeviceCore.h"

namespace RS485 {

class _Vzlet_MeterData : public RSMeterData {
 public:
  void writeFields(JsonWriter& writer) const override;
  // The subclass's measured values.
  virtual void writeValues(JsonWriter& writer) const = 0;

  double values[3] = {};
  uint32_t meter_time = 0;
  // Step + 1.
  uint8_t heating_system = 0;
};

class Vzlet42_MeterData : public _Vzlet_MeterData {
 public:
  std::unique_ptr<MeterData> clone() const override { return std::make_unique<Vzlet42_MeterData>(*this); }
  // "Qso", "Qgvs", "Qts": values 1 to 3.
  void writeValues(JsonWriter& writer) const override;
};

class Vzlet24_MeterData : public _Vzlet_MeterData {
 public:
  std::unique_ptr<MeterData> clone() const override { return std::make_unique<Vzlet24_MeterData>(*this); }
  // "Wts": value 3 (the first one read), "Wgv": value 2; value 1 stays 0.
  void writeValues(JsonWriter& writer) const override;
};

class _Vzlet : public DeviceCore {
 public:
  _Vzlet(const DeviceRecord& record, LineTransport& transport);

  std::unique_ptr<RSMeterData> readStep(uint8_t step) override;

  virtual std::unique_ptr<_Vzlet_MeterData> makeRecord() const = 0;
  virtual void readValues(uint8_t step, _Vzlet_MeterData& record) = 0;

 protected:
  // Reads `count` input registers from `first`: the answer, or empty with
  // rserror 0x0001 when it is missing or shorter than `minimumLength`.
  Bytes readValueRegisters(uint16_t first, uint16_t count, size_t minimumLength);
};

class Vzlet42 : public _Vzlet {
 public:
  Vzlet42(const DeviceRecord& record, LineTransport& transport);
  std::unique_ptr<_Vzlet_MeterData> makeRecord() const override { return std::make_unique<Vzlet42_MeterData>(); }
  void readValues(uint8_t step, _Vzlet_MeterData& record) override;
};

class Vzlet24 : public _Vzlet {
 public:
  Vzlet24(const DeviceRecord& record, LineTransport& transport);
  std::unique_ptr<_Vzlet_MeterData> makeRecord() const override { return std::make_unique<Vzlet24_MeterData>(); }
  void readValues(uint8_t step, _Vzlet_MeterData& record) override;
};

}  // namespace RS485
