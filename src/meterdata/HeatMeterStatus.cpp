#include "meterdata/HeatMeterStatus.h"

#include "core/FixedText.h"
#include "core/Log.h"
#include "registry/JsonWriter.h"

HeatMeterStatus::HeatMeterStatus() { method = "metering"; }

std::unique_ptr<MeterData> HeatMeterStatus::clone() const { return std::make_unique<HeatMeterStatus>(*this); }

void HeatMeterStatus::writeFields(JsonWriter& writer) const {
  writer.addField("type", quoteText("heat_meter"));
  writer.addField("model", quoteText(fieldText(model)));
  writer.addField("serial", formatUnsigned64(serial));
  writer.addField("trx_sn", formatUnsigned64(trx_sn));
  writer.addField("rssi", formatInt(rssi));
  writer.addField("min_rssi", formatInt(min_rssi));
  writer.addField("min_trx_sn", formatUnsigned64(min_trx_sn));
  writer.addField("v_bat", formatFloat(static_cast<float>(v_bat) / 50.0f));
  writer.addField("modem_fw_ver", quoteText(fieldText(modem_fw_ver)));
  writer.addField("volume", formatFloat(volume));
  writer.addField("flow", formatFloat(flow));
  writer.addField("sum_heat", formatFloat(sum_heat));
  writer.addField("sum_cold", formatFloat(sum_cold));
  writer.addField("power", formatFloat(power));
  writer.addField("temp_in", formatFloat(temp_in));
  writer.addField("temp_out", formatFloat(temp_out));
  writer.addField("device_time", formatUnsigned(device_time));
  writer.addField("hub_time", formatUnsigned(hub_time));
}

void HeatMeterStatus::printStatus() const {
  LOGD("=== Heat Meter Short Status ===");
  LOGD("Contents: %s", toJson().c_str());
}
