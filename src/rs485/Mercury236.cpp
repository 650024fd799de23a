#include "rs485/Mercury236.h"

#include <cstdio>

#include "registry/JsonWriter.h"
#include "rs485/RecordText.h"

namespace RS485 {
namespace {

// Level-1 access with the meter's level-1 password.
const Bytes openSessionRequest{0x01, 0x01, 0x07, 0x07, 0x07, 0x07, 0x07, 0x07};

uint32_t energyValue(const uint8_t* b) {
  return static_cast<uint32_t>(b[1]) << 24 | static_cast<uint32_t>(b[0]) << 16 | static_cast<uint32_t>(b[3]) << 8 |
         b[2];
}

uint32_t threeByteValue(const uint8_t* b) {
  return static_cast<uint32_t>(b[0]) << 16 | static_cast<uint32_t>(b[2]) << 8 | b[1];
}

// Bit 23 of an active power and bit 22 of a reactive one give the direction.
int32_t signedPower(uint32_t value, uint32_t signBit) {
  int32_t magnitude = static_cast<int32_t>(value & 0x3FFFFF);
  return (value & signBit) != 0 ? -magnitude : magnitude;
}

uint32_t addressFor(const DeviceCore& meter) {
  if (!meter.netIdIsNull && meter.net_id <= 9999) return static_cast<uint32_t>(meter.net_id);
  uint32_t n = static_cast<uint32_t>(meter.netIdIsNull ? meter.serial : meter.net_id);
  uint32_t a = n % 1000;
  if (a > 239) a %= 100;
  if (a == 0) a = 1;
  return a;
}

std::string energyText(uint32_t value) {
  return value == Mercury236_FifoData::noValue ? "null" : formatDouble(value / 1000.0);
}

}  // namespace

Mercury236::Mercury236(const DeviceRecord& record, LineTransport& transport) : DeviceCore(record, transport) {
  addressLength = 1;
  address = addressFor(*this);
}

bool Mercury236::openSession() {
  Bytes answer = request({0x00});
  if (answer.size() <= 3 || answer[1] != 0) {
    rserror |= ErrorBits::noAnswer | ErrorBits::missingAnswer;
    return false;
  }
  answer = request(openSessionRequest);
  if (answer.size() < 4 || answer[1] != 0) {
    rserror |= ErrorBits::session | ErrorBits::missingAnswer;
    return false;
  }
  return true;
}

void Mercury236::readTriple(const Bytes& payload, size_t first, size_t minimumLength, uint32_t (&values)[3]) {
  Bytes answer = request(payload);
  if (answer.size() < minimumLength) {
    rserror |= ErrorBits::missingAnswer;
    return;
  }
  for (size_t i = 0; i < 3; ++i) values[i] = threeByteValue(&answer[first + 3 * i]);
}

std::unique_ptr<RSMeterData> Mercury236::readStep(uint8_t) {
  auto record = std::make_unique<Mercury236_FifoData>();
  if (!openSession()) return record;

  for (uint8_t tariff = 1; tariff <= 4; ++tariff) {
    Bytes answer = request({0x05, 0x00, tariff});
    if (answer.size() < 17) {
      rserror |= ErrorBits::missingAnswer;
      continue;
    }
    for (size_t kind = 0; kind < 4; ++kind) record->energy[tariff - 1][kind] = energyValue(&answer[1 + 4 * kind]);
  }
  readTriple({0x08, 0x16, 0x11}, 1, 10, record->voltage);
  readTriple({0x08, 0x16, 0x21}, 1, 10, record->current);
  uint32_t active[3] = {};
  uint32_t reactive[3] = {};
  // Phases 1 to 3 follow the sum of the three.
  readTriple({0x08, 0x16, 0x00}, 4, 13, active);
  readTriple({0x08, 0x16, 0x08}, 4, 13, reactive);

  Bytes answer = request({0x08, 0x11, 0x40});
  if (answer.size() >= 4) {
    record->frequency = threeByteValue(&answer[1]);
  } else {
    rserror |= ErrorBits::missingAnswer;
  }

  answer = request({0x08, 0x02});
  if (answer.size() >= 5) {
    record->Kn = static_cast<uint16_t>(answer[1] << 8 | answer[2]);
    record->Kt = static_cast<uint16_t>(answer[3] << 8 | answer[4]);
  } else {
    rserror |= ErrorBits::missingAnswer;
  }

  for (size_t phase = 0; phase < 3; ++phase) {
    record->active[phase] = signedPower(active[phase], 1u << 23);
    record->reactive[phase] = signedPower(reactive[phase], 1u << 22);
  }

  // Serial number: four two-digit binary numbers, the most significant pair
  // first (0C 22 38 4E -> 12345678); then day, month, year of manufacture.
  answer = request({0x08, 0x00});
  uint32_t number = 0;
  if (answer.size() > 4) {
    number = ((answer[1] * 100u + answer[2]) * 100u + answer[3]) * 100u + answer[4];
  } else {
    rserror |= ErrorBits::missingAnswer;
  }
  if (answer.size() >= 8) {
    uint32_t made = threeByteValue(&answer[5]);
    record->date_made[0] = static_cast<uint8_t>(made);
    record->date_made[1] = static_cast<uint8_t>(made >> 8);
    record->date_made[2] = static_cast<uint8_t>(made >> 16);
  } else {
    rserror |= ErrorBits::missingAnswer;
  }
  if (number != static_cast<uint32_t>(serial)) rserror |= ErrorBits::wrongSerial;

  record->meter_date = readMeterClock();
  return record;
}

uint32_t Mercury236::readMeterClock() { return meterClockNotRead(); }

void Mercury236_FifoData::writeFields(JsonWriter& writer) const {
  writer.addField("type", quoteText("energy_meter"));
  writer.addField("model", quoteText("МЕРКУРИЙ236"));
  writer.addField("meter_sn", formatUnsigned64(serial));
  if ((rserror & ErrorBits::missingAnswer) == 0) {
    writer.addField("energy", jsonArray(4, [&](size_t tariff) {
                      // Each tariff is an object's text inside a string, its
                      // double quotes turned into apostrophes.
                      JsonWriter inner;
                      inner.addField("A+", energyText(energy[tariff][0]));
                      inner.addField("A-", energyText(energy[tariff][1]));
                      inner.addField("R+", energyText(energy[tariff][2]));
                      inner.addField("R-", energyText(energy[tariff][3]));
                      inner.close();
                      return quoteText(inner.str());
                    }));
    writer.addField("frequency", formatDouble(frequency * 0.01));
    writer.addField("voltage", jsonArray(3, [&](size_t i) { return formatDouble(voltage[i] * 0.01); }));
    writer.addField("current", jsonArray(3, [&](size_t i) { return formatDouble(current[i] * 0.001); }));
    writer.addField("active", jsonArray(3, [&](size_t i) { return formatDouble(active[i] * 0.01); }));
    writer.addField("reactive", jsonArray(3, [&](size_t i) { return formatDouble(reactive[i] * 0.01); }));
    writer.addField("Kn", formatInt(Kn));
    writer.addField("Kt", formatInt(Kt));
    writer.addField("meter_date", formatUnsigned(meter_date));
    char made[24];
    std::snprintf(made, sizeof made, "%d.%d.20%02d", date_made[2], date_made[0], date_made[1]);
    writer.addField("date_made", quoteText(made));
  }
  writer.addField("rserror", formatUnsigned(rserror));
}

}  // namespace RS485
