#pragma once
// A heat meter's reading heard over the metering radio.
#include <cstdint>

#include "meterdata/MeterData.h"

class HeatMeterStatus : public MeterData {
 public:
  HeatMeterStatus();

  std::unique_ptr<MeterData> clone() const override;
  uint32_t kind() const override { return heatMeterKind; }
  // All eighteen members, "type" ("heat_meter") first and "hub_time" last.
  void writeFields(JsonWriter& writer) const override;
  void printStatus() const override;

  uint64_t serial = 0;
  uint64_t trx_sn = 0;      // receiver that heard the telegram strongest
  uint64_t min_trx_sn = 0;  // receiver that heard it weakest
  float volume = 0;
  float flow = 0;
  float sum_heat = 0;
  float sum_cold = 0;
  float power = 0;
  float temp_in = 0;
  float temp_out = 0;
  uint32_t device_time = 0;  // the meter's own clock
  uint8_t v_bat = 0;         // units of 0.02 V
  int8_t rssi = 0;           // dBm, strongest reception
  int8_t min_rssi = 0;       // dBm, weakest reception
  char modem_fw_ver[16] = {};
  char model[16] = {};
};
