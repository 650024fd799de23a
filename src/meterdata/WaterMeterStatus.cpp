#include "meterdata/WaterMeterStatus.h"

#include <cstdio>

#include "core/FixedText.h"
#include "core/Log.h"
#include "registry/JsonWriter.h"

WaterMeterStatus::WaterMeterStatus() { method = "metering"; }

std::unique_ptr<MeterData> WaterMeterStatus::clone() const { return std::make_unique<WaterMeterStatus>(*this); }

// Integer arithmetic rather than a float quotient: a float holds only about
// seven digits, so counters above 16,777 m³ would lose litres.
std::string formatLitresAsCubicMetres(uint32_t litres) {
  char text[24];
  std::snprintf(text, sizeof text, "%u.%03u", static_cast<unsigned>(litres / 1000u),
                static_cast<unsigned>(litres % 1000u));
  return text;
}

void WaterMeterStatus::writeFields(JsonWriter& writer) const {
  writer.addField("type", quoteText("water_meter"));
  writer.addField("meter_sn", formatUnsigned64(meter_sn));
  writer.addField("trx_sn", formatUnsigned64(trx_sn));
  writer.addField("rssi", formatInt(rssi));
  writer.addField("min_rssi", formatInt(min_rssi));
  writer.addField("min_trx_sn", formatUnsigned64(min_trx_sn));
  writer.addField("volume", formatLitresAsCubicMetres(volume));
  if (v_bat != 0) {
    writer.addField("v_bat", formatFloat(static_cast<float>(v_bat) / 50.0f));
    writer.addField("modem_fw_ver", quoteText(fieldText(modem_fw_ver)));
    writer.addField("flags", formatInt(flags));
    writer.addField("device_time", formatUnsigned(device_time));
  }
  writer.addField("hub_time", formatUnsigned(hub_time));
}

void WaterMeterStatus::printStatus() const {
  if (v_bat != 0) {
    LOGD("=== Water Meter Full Status ===");
  } else {
    LOGD("=== Water Meter Short Status ===");
  }
  LOGD("Contents: %s", toJson().c_str());
}
