#include "rs485/Vist.h"

#include <cstdlib>
#include <string>

#include "core/BigEndian.h"
#include "registry/JsonWriter.h"

namespace RS485 {
namespace {

constexpr uint8_t readHoldingRegisters = 0x03;
constexpr uint8_t readInputRegisters = 0x04;
constexpr uint8_t readFileRecordFunction = 0x14;
constexpr uint32_t largestExponent = 16;
// Modbus frame around the data: address, function, byte count ... CRC.
constexpr size_t headerLength = 3;
constexpr size_t crcLength = 2;

int32_t signed32(const uint8_t* bytes) { return static_cast<int32_t>(static_cast<uint32_t>(bigEndian(bytes, 4))); }
uint16_t unsigned16(const uint8_t* bytes) { return static_cast<uint16_t>(bigEndian(bytes, 2)); }

// The decimal number at the start of the answer's data: only the data bytes
// are read (at most byte 2's count, never the CRC), so digit-like CRC bytes
// or bytes past the answer never join the number.
unsigned long long serialText(const Bytes& answer) {
  if (answer.size() < headerLength + crcLength) return 0;
  size_t length = answer.size() - headerLength - crcLength;
  if (answer[2] < length) length = answer[2];
  std::string text(answer.begin() + headerLength, answer.begin() + static_cast<std::ptrdiff_t>(headerLength + length));
  return std::strtoull(text.c_str(), nullptr, 10);
}

std::string pointText(double volume, double flow, uint16_t temp) {
  JsonWriter point;
  point.addField("volume", formatFloat(static_cast<float>(volume)));
  point.addField("flow", formatFloat(static_cast<float>(flow)));
  point.addField("temp", formatDouble(temp / 100.0));
  point.close();
  return point.take();
}

}  // namespace

double decimalScale(uint32_t exponent) {
  uint32_t e = exponent < largestExponent ? exponent : largestExponent;
  double result = 1.0;
  double base = 0.1;
  while (e != 0) {
    if ((e & 1) != 0) result *= base;
    base *= base;
    e >>= 1;
  }
  return result;
}

Vist::Vist(const DeviceRecord& record, LineTransport& transport) : DeviceCore(record, transport) {
  addressLength = 1;
  address = netIdIsNull ? 0 : static_cast<uint32_t>(net_id);
  steps = 3;
}

std::unique_ptr<RSMeterData> Vist::readStep(uint8_t step) {
  auto record = std::make_unique<Vist_FifoData>();
  record->system = step;
  if (!identify()) return record;
  readFlows(step, *record);
  readFileRecord(step, *record);
  return record;
}

bool Vist::identify() {
  Bytes answer = readRegisters(readHoldingRegisters, 0x0017, 0x0B);
  if (answer.size() < 4) {
    rserror |= ErrorBits::noAnswer | ErrorBits::missingAnswer;
    return false;
  }
  unsigned long long number = serialText(answer);
  if (serial == 0 || number != serial) rserror |= ErrorBits::wrongSerial;
  return true;
}

void Vist::readFlows(uint8_t step, Vist_FifoData& record) {
  uint8_t high = static_cast<uint8_t>(4 * step);
  Bytes exponentsAndTemps = readRegisters(readInputRegisters, static_cast<uint16_t>((high + 2) << 8 | 0x02), 8);
  Bytes mantissas = readRegisters(readInputRegisters, static_cast<uint16_t>((high + 3) << 8 | 0x06), 6);
  uint16_t exponent[3] = {};
  if (exponentsAndTemps.size() >= 17) {
    for (size_t i = 0; i < 3; ++i) record.temp[i] = unsigned16(&exponentsAndTemps[11 + 2 * i]);
  } else {
    rserror |= ErrorBits::missingAnswer;
  }
  if (exponentsAndTemps.size() >= 9) {
    for (size_t i = 0; i < 3; ++i) exponent[i] = unsigned16(&exponentsAndTemps[3 + 2 * i]);
  } else {
    rserror |= ErrorBits::missingAnswer;
  }
  int32_t mantissa[3] = {};
  if (mantissas.size() >= 15) {
    for (size_t i = 0; i < 3; ++i) mantissa[i] = signed32(&mantissas[3 + 4 * i]);
  } else {
    rserror |= ErrorBits::missingAnswer;
  }
  if ((rserror & ErrorBits::missingAnswer) != 0) return;
  for (size_t i = 0; i < 3; ++i) record.flow[i] = mantissa[i] * decimalScale(exponent[i]);
}

void Vist::readFileRecord(uint8_t step, Vist_FifoData& record) {
  // Byte count 7, reference type 6, file number s, record 0, 0x30 registers.
  Bytes answer = modbusRequest({readFileRecordFunction, 0x07, 0x06, 0x00, step, 0x00, 0x00, 0x00, 0x30});
  if (answer.size() < 67) {
    rserror |= ErrorBits::missingAnswer;
    return;
  }
  for (size_t i = 0; i < 3; ++i) record.volume[i] = signed32(&answer[27 + 4 * i]) * decimalScale(answer[63 + i]);
  record.work_time = static_cast<uint32_t>(bigEndian(&answer[51], 4));
  record.e_sum = static_cast<double>(bigEndian(&answer[55], 8)) * decimalScale(answer[66]);
}

void Vist_FifoData::writeFields(JsonWriter& writer) const {
  writer.addField("type", quoteText("chmd_heat_meter"));
  writer.addField("model", quoteText("ВИСТ"));
  writer.addField("meter_sn", formatUnsigned64(serial));
  writer.addField("heating_system", formatUnsigned(system + 1u));
  if ((rserror & ErrorBits::missingAnswer) == 0) {
    writer.addField("work_time", formatDouble(work_time / 100.0));
    writer.addField("e_sum", formatDouble(e_sum));
    const char* names[3] = {"point_1", "point_2", "point_3"};
    for (size_t i = 0; i < 3; ++i) writer.addField(names[i], pointText(volume[i], flow[i], temp[i]));
  }
  writer.addField("rserror", formatUnsigned(rserror));
}

}  // namespace RS485
