#pragma once
// A water meter's reading heard over the metering radio. A short telegram
// carries no battery voltage (v_bat 0) and leaves out the battery, firmware,
// flags and meter clock members.
#include <cstdint>

#include "meterdata/MeterData.h"

class WaterMeterStatus : public MeterData {
 public:
  WaterMeterStatus();

  std::unique_ptr<MeterData> clone() const override;
  uint32_t kind() const override { return waterMeterKind; }
  void writeFields(JsonWriter& writer) const override;
  void printStatus() const override;

  uint64_t meter_sn = 0;
  uint64_t trx_sn = 0;
  uint64_t min_trx_sn = 0;
  uint32_t volume = 0;  // litres
  uint32_t device_time = 0;
  uint8_t flags = 0;
  uint8_t v_bat = 0;  // units of 0.02 V; 0 = not reported
  int8_t rssi = 0;
  int8_t min_rssi = 0;
  char modem_fw_ver[16] = {};
};

// Litres as cubic metres with three decimals, exact for every counter value:
// 12345 -> "12.345".
std::string formatLitresAsCubicMetres(uint32_t litres);
