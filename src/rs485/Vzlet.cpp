#include "rs485/Vzlet.h"

#include <bit>
#include <cmath>

#include "core/BigEndian.h"
#include "registry/JsonWriter.h"

namespace RS485 {
namespace {

constexpr uint8_t readInputRegisters = 0x04;
constexpr uint16_t identificationRegister = 0x8000;
// Clock and serial: bytes 3 to 10 of the answer.
constexpr size_t identificationLength = 11;

// Integer plus fraction: big-endian unsigned 32, then a big-endian single.
double registerValue(const uint8_t* bytes) {
  uint32_t whole = static_cast<uint32_t>(bigEndian(bytes, 4));
  float fraction = std::bit_cast<float>(static_cast<uint32_t>(bigEndian(bytes + 4, 4)));
  return static_cast<double>(whole) + static_cast<double>(fraction);
}

// A fraction that is no number (NaN, infinity) would make "%.3f" write
// "nan" or "inf", which no JSON reader takes: such a value is null.
std::string valueText(double value) {
  float single = static_cast<float>(value);
  return std::isfinite(single) ? formatFloat(single) : "null";
}

}  // namespace

_Vzlet::_Vzlet(const DeviceRecord& record, LineTransport& transport) : DeviceCore(record, transport) {
  addressLength = 1;
  address = netIdIsNull ? 0 : static_cast<uint32_t>(net_id);
}

std::unique_ptr<RSMeterData> _Vzlet::readStep(uint8_t step) {
  Bytes answer = readRegisters(readInputRegisters, identificationRegister, 4);
  // An answer too short to hold the serial counts as none.
  if (answer.size() < identificationLength) {
    rserror |= ErrorBits::noAnswer | ErrorBits::missingAnswer;
    return nullptr;
  }
  uint32_t meterTime = static_cast<uint32_t>(bigEndian(&answer[3], 4));
  uint32_t number = static_cast<uint32_t>(bigEndian(&answer[7], 4));
  if (number != static_cast<uint32_t>(serial)) rserror |= ErrorBits::wrongSerial;
  std::unique_ptr<_Vzlet_MeterData> record = makeRecord();
  record->heating_system = static_cast<uint8_t>(step + 1);
  readValues(step, *record);
  record->meter_time = meterTime;
  return record;
}

Bytes _Vzlet::readValueRegisters(uint16_t first, uint16_t count, size_t minimumLength) {
  Bytes answer = readRegisters(readInputRegisters, first, count);
  if (answer.size() >= minimumLength) return answer;
  rserror |= ErrorBits::missingAnswer;
  return {};
}

Vzlet42::Vzlet42(const DeviceRecord& record, LineTransport& transport) : _Vzlet(record, transport) { steps = 2; }

void Vzlet42::readValues(uint8_t step, _Vzlet_MeterData& record) {
  Bytes answer = readValueRegisters(static_cast<uint16_t>(0x8000 | (step + 12) * 4), 0x18, 43);
  if (answer.empty()) return;
  record.values[0] = registerValue(&answer[3]);
  record.values[1] = registerValue(&answer[19]);
  record.values[2] = registerValue(&answer[35]);
}

Vzlet24::Vzlet24(const DeviceRecord& record, LineTransport& transport) : _Vzlet(record, transport) { steps = 3; }

void Vzlet24::readValues(uint8_t step, _Vzlet_MeterData& record) {
  // 0xC0BE, 0xC0D6, 0xC0EE: (24 step - 66) mod 256 in the low byte.
  uint8_t low = static_cast<uint8_t>(step * 24 - 66);
  Bytes answer = readValueRegisters(static_cast<uint16_t>(0xC000 | low), 0x08, 19);
  if (answer.empty()) return;
  record.values[2] = registerValue(&answer[3]);
  record.values[1] = registerValue(&answer[11]);
}

void _Vzlet_MeterData::writeFields(JsonWriter& writer) const {
  writer.addField("type", quoteText("chmd_heat_meter"));
  writer.addField("model", quoteText("ВЗЛЕТ??"));
  writer.addField("meter_sn", formatUnsigned64(serial));
  writer.addField("heating_system", formatUnsigned(heating_system));
  if ((rserror & ErrorBits::missingAnswer) == 0) {
    writeValues(writer);
    writer.addField("meter_time", formatUnsigned(meter_time));
  }
  writer.addField("rserror", formatUnsigned(rserror));
}

void Vzlet42_MeterData::writeValues(JsonWriter& writer) const {
  writer.addField("Qso", valueText(values[0]));
  writer.addField("Qgvs", valueText(values[1]));
  writer.addField("Qts", valueText(values[2]));
}

void Vzlet24_MeterData::writeValues(JsonWriter& writer) const {
  writer.addField("Wts", valueText(values[2]));
  writer.addField("Wgv", valueText(values[1]));
}

}  // namespace RS485
