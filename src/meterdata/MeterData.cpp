#include "meterdata/MeterData.h"

#include "core/Log.h"
#include "platform/Clock.h"
#include "registry/JsonWriter.h"

MeterData::MeterData() : hub_time(static_cast<uint32_t>(Platform::wallTime())) {}

std::string MeterData::toJson() const {
  JsonWriter writer;
  writeFields(writer);
  writer.close();
  return writer.take();
}

void MeterData::printStatus() const {
  LOGW("Unknown CO Data type received");
  LOGW("Contents: %s", toJson().c_str());
}
