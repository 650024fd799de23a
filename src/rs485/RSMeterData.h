#pragma once
// Base of the records of RS485 meters: published as "metering", with the
// configured serial of the meter and the error bits of the poll that made it
// (both filled in by DeviceCore::poll).
#include <cstdint>

#include "meterdata/MeterData.h"

namespace RS485 {

class RSMeterData : public MeterData {
 public:
  uint64_t serial = 0;
  uint32_t rserror = 0;

 protected:
  RSMeterData() { method = "metering"; }
  RSMeterData(const RSMeterData&) = default;
  RSMeterData& operator=(const RSMeterData&) = default;
};

}  // namespace RS485
