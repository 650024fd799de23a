#pragma once
// The table of RS485 meter drivers: a device record's "driver" is an index
// into it, the local API names drivers by the texts. An index without a
// driver class is stored and listed but never read.
//
//   0 "#none"         4 "#mbus_hm"      8 "#pulsar"
//   1 "#test"         5 "#chronos"      9 "#vist"
//   2 "#mercury206"   6 "#vzlet42"     10 "#ce301"
//   3 "#mercury236"   7 "#vzlet24"
#include <array>
#include <cstdint>
#include <memory>
#include <string_view>

#include "rs485/DeviceCore.h"

namespace RS485 {

using DriverFactory = std::unique_ptr<DeviceCore> (*)(const DeviceRecord& record, LineTransport& transport);

struct DriverEntry {
  const char* name;
  // Null for an index without a driver class.
  DriverFactory make;
};

constexpr size_t driverCount = 11;

const std::array<DriverEntry, driverCount>& driverTable();

// "#none" for an index outside the table.
const char* driverName(uint32_t index);
// Exact comparison with the names in table order; 0 when none matches.
uint16_t driverIndex(std::string_view name);

// The driver of the record's index, built from the record; null when the
// index has no driver class.
std::unique_ptr<DeviceCore> makeDriver(const DeviceRecord& record, LineTransport& transport);

}  // namespace RS485
