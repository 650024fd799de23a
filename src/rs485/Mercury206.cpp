#include "rs485/Mercury206.h"

#include "registry/JsonWriter.h"
#include "rs485/RecordText.h"

namespace RS485 {
namespace {

// Two decimal digits a byte, the first byte most significant; the nibbles are
// taken as they are (12 34 -> 1234).
uint32_t bcd(const uint8_t* bytes, size_t count) {
  uint32_t value = 0;
  for (size_t i = 0; i < count; ++i) value = value * 100 + (bytes[i] >> 4) * 10u + (bytes[i] & 0x0Fu);
  return value;
}

uint32_t byteSwapped(uint32_t value) {
  return (value & 0xFFu) << 24 | (value & 0xFF00u) << 8 | (value >> 8 & 0xFF00u) | value >> 24;
}

}  // namespace

Mercury206::Mercury206(const DeviceRecord& record, LineTransport& transport) : DeviceCore(record, transport) {
  addressLength = 4;
  // Frames take the address low byte first, the meter wants it high byte first.
  address = byteSwapped(static_cast<uint32_t>(netIdIsNull ? serial : net_id));
}

std::unique_ptr<RSMeterData> Mercury206::readStep(uint8_t) {
  auto record = std::make_unique<Mercury206_FifoData>();
  Bytes answer = request({0x81});
  if (answer.size() <= 9) answer = request({0x81});
  if (answer.size() <= 9) {
    rserror |= ErrorBits::noAnswer | ErrorBits::missingAnswer;
    return record;
  }
  record->frequency = static_cast<uint16_t>(bcd(&answer[5], 2));
  record->tariff = answer[7];

  answer = request({0x2E});
  if (answer.size() > 5) {
    record->tariff_count = answer[5];
  } else {
    rserror |= ErrorBits::missingAnswer;
  }

  // Active (0x27), then reactive (0x85) energy: four 4-byte numbers, tariffs 1 to 4.
  struct EnergyRead {
    uint8_t command;
    uint32_t* values;
  };
  for (EnergyRead read : {EnergyRead{0x27, record->active}, EnergyRead{0x85, record->reactive}}) {
    answer = request({read.command});
    if (answer.size() < 21) {
      rserror |= ErrorBits::missingAnswer;
      continue;
    }
    for (size_t tariff = 0; tariff < 4; ++tariff) read.values[tariff] = bcd(&answer[5 + 4 * tariff], 4);
  }

  answer = request({0x63});
  if (answer.size() >= 12) {
    record->voltage = static_cast<uint16_t>(bcd(&answer[5], 2));
    record->current = static_cast<uint16_t>(bcd(&answer[7], 2));
    record->power = bcd(&answer[9], 3);
  } else {
    rserror |= ErrorBits::missingAnswer;
  }

  record->meter_time = readMeterClock();
  return record;
}

uint32_t Mercury206::readMeterClock() { return meterClockNotRead(); }

void Mercury206_FifoData::writeFields(JsonWriter& writer) const {
  writer.addField("type", quoteText("energy_meter"));
  writer.addField("model", quoteText("МЕРКУРИЙ206"));
  writer.addField("meter_sn", formatUnsigned64(serial));
  if ((rserror & ErrorBits::missingAnswer) == 0) {
    writer.addField("tariff_count", formatInt(tariff_count));
    writer.addField("tariff", formatInt(tariff));
    writer.addField("active", jsonArray(4, [&](size_t i) { return formatDouble(active[i] * 0.01); }));
    writer.addField("reactive", jsonArray(4, [&](size_t i) { return formatDouble(reactive[i] * 0.01); }));
    writer.addField("frequency", formatDouble(frequency * 0.01));
    writer.addField("voltage", formatDouble(voltage * 0.1));
    writer.addField("current", formatDouble(current * 0.01));
    writer.addField("power", formatUnsigned(power));
    writer.addField("meter_time", formatUnsigned(meter_time));
  }
  writer.addField("rserror", formatUnsigned(rserror));
}

}  // namespace RS485
