#include "rs485/Drivers.h"

#include "rs485/Mercury206.h"
#include "rs485/Mercury236.h"
#include "rs485/Vist.h"
#include "rs485/Vzlet.h"

namespace RS485 {
namespace {

template <typename Driver>
std::unique_ptr<DeviceCore> make(const DeviceRecord& record, LineTransport& transport) {
  return std::make_unique<Driver>(record, transport);
}

constexpr std::array<DriverEntry, driverCount> table{{
    {"#none", nullptr},
    {"#test", nullptr},
    {"#mercury206", make<Mercury206>},
    {"#mercury236", make<Mercury236>},
    {"#mbus_hm", nullptr},
    {"#chronos", nullptr},
    {"#vzlet42", make<Vzlet42>},
    {"#vzlet24", make<Vzlet24>},
    {"#pulsar", nullptr},
    {"#vist", make<Vist>},
    {"#ce301", nullptr},
}};

}  // namespace

const std::array<DriverEntry, driverCount>& driverTable() { return table; }

const char* driverName(uint32_t index) { return index < table.size() ? table[index].name : table[0].name; }

uint16_t driverIndex(std::string_view name) {
  for (size_t i = 0; i < table.size(); ++i) {
    if (name == table[i].name) return static_cast<uint16_t>(i);
  }
  return 0;
}

std::unique_ptr<DeviceCore> makeDriver(const DeviceRecord& record, LineTransport& transport) {
  if (record.driver >= table.size() || table[record.driver].make == nullptr) return nullptr;
  return table[record.driver].make(record, transport);
}

}  // namespace RS485
