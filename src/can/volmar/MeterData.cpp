#include "can/volmar/MeterData.h"

#include <cstdint>

#include "core/Log.h"
#include "meterdata/HeatMeterStatus.h"
#include "meterdata/MeterDataHandlers.h"
#include "meterdata/WaterMeterStatus.h"

namespace {

// Items 2 (battery, 0.1 V) as the records' 0.02 V units, saturated at
// 255 (5.10 V) instead of wrapping.
uint8_t batteryUnits(int64_t tenthsOfVolt) {
  int64_t units = tenthsOfVolt * 5;
  if (units < 0) return 0;
  return units > 255 ? 255 : static_cast<uint8_t>(units);
}

// A heat value: the item as a signed 32-bit number, divided in single precision.
float scaled(const RadioTag& tag, size_t item, float divisor) {
  auto bits = static_cast<uint32_t>(static_cast<uint64_t>(tag.itemAsInteger(item)));
  return static_cast<float>(static_cast<int32_t>(bits)) / divisor;
}

// Fields both records share.
template <typename Record>
void fillCommon(Record& record, const RadioTag& tag, const PRMessage& message, PRRegistry& registry) {
  record.trx_sn = registry.serialOf(message.bestPR);
  record.min_trx_sn = registry.serialOf(message.worstPR);
  record.rssi = message.bestRssi;
  record.min_rssi = message.worstRssi;
  record.v_bat = batteryUnits(tag.itemAsInteger(2));
  setText(record.modem_fw_ver, tag.itemAsText(4));
  record.device_time = static_cast<uint32_t>(tag.itemAsInteger(0));
}

}  // namespace

namespace Metering {

void decode(const RadioTag& tag, const PRMessage& message, PRRegistry& registry) {
  if (tag.pathElement(0) != rootTag) {
    LOGW("MeterData: bad root tag");
    return;
  }
  uint64_t type = tag.pathElement(1);
  if (type == waterMeterType) {
    if (tag.itemCount() != waterMeterItems) {
      LOGW("MeterData: bad water meter data size (%d)\n", static_cast<int>(tag.itemCount()));
      return;
    }
    LOGI("Received WMS from CMT");
    WaterMeterStatus water;
    fillCommon(water, tag, message, registry);
    water.meter_sn = tag.pathElement(2);
    water.flags = static_cast<uint8_t>(tag.itemAsInteger(1));
    water.volume = static_cast<uint32_t>(tag.itemAsInteger(6));
    MeterDataHandlers::dispatch(water);
    return;
  }
  if (type == heatMeterType) {
    if (tag.itemCount() != heatMeterItems) {
      LOGW("MeterData: bad heat meter data size (%d)\n", static_cast<int>(tag.itemCount()));
      return;
    }
    LOGI("Received HMS from CMT");
    HeatMeterStatus heat;
    fillCommon(heat, tag, message, registry);
    heat.serial = tag.pathElement(2);
    setText(heat.model, tag.itemAsText(3));
    heat.sum_heat = scaled(tag, 5, 100.0f);
    heat.sum_cold = scaled(tag, 6, 100.0f);
    heat.volume = scaled(tag, 7, 100.0f);
    heat.power = scaled(tag, 9, 100.0f);
    heat.flow = scaled(tag, 10, 10000.0f);
    heat.temp_in = scaled(tag, 11, 100.0f);
    heat.temp_out = scaled(tag, 12, 100.0f);
    MeterDataHandlers::dispatch(heat);
    return;
  }
  LOGW("MeterData: unhandled meter type");
}

}  // namespace Metering
