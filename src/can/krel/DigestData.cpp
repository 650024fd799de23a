#include "can/krel/DigestData.h"

#include <string>

#include "can/krel/Koi8r.h"
#include "core/LittleEndian.h"
#include "registry/JsonWriter.h"

namespace KREL {
namespace Ppk {

Core::Kept Core::kept(unsigned index) {
  switch (index) {
    case 0:
      return {state, 8, 0};
    case 1:
      return {serial, 4, 4};
    case 2:
      return {name, 8, 0};
    case 3:
      return {events01, 8, 0};
    case 4:
      return {statistics, 6, 0};
    case 5:
      return {events23, 8, 0};
    case 6:
      return {configHash, 8, 0};
    case 7:
      return {reg7, 8, 0};
    case 8:
      return {reg8, 8, 0};
    default:
      return {nullptr, 0, 0};
  }
}

uint32_t Core::serialNumber() const { return littleEndian32(serial); }

}  // namespace Ppk

namespace {

bool bitOf(uint8_t byte, unsigned bit) { return ((byte >> bit) & 1u) != 0; }

const char* boolText(bool value) { return value ? "true" : "false"; }

// "[a,b,...]" of already formatted items.
class ArrayText {
 public:
  void add(const std::string& item) {
    text += text.size() == 1 ? "" : ",";
    text += item;
  }
  void add(bool item) { add(std::string(boolText(item))); }
  std::string close() { return text + "]"; }

 private:
  std::string text = "[";
};

int low(uint8_t byte) { return byte & 0x0F; }
int high(uint8_t byte) { return byte >> 4; }

}  // namespace

DigestData::DigestData(const Ppk::Core& core) : Ppk::Core(core) { method = "digest"; }

std::unique_ptr<MeterData> DigestData::clone() const { return std::make_unique<DigestData>(*this); }

void DigestData::writeFields(JsonWriter& writer) const {
  const uint8_t* r0 = state;
  writer.beginObject("device");
  writer.addField("can_id", formatInt(can_id));
  writer.addField("serial", formatUnsigned(serialNumber()));
  writer.addField("name", quoteText(koi8rToUtf8(name, sizeof name)));

  ArrayText hash;
  for (int i = 0; i < 4; ++i) hash.add(formatInt(littleEndian16(configHash + 2 * i)));
  writer.addField("config_hash", hash.close());

  ArrayText fire;
  for (unsigned bit = 0; bit < 4; ++bit) fire.add(bitOf(r0[0], bit));
  writer.addField("fire_states", fire.close());

  ArrayText zones;
  zones.add(bitOf(statistics[4], 0));
  zones.add(bitOf(statistics[4], 1));
  writer.addField("zone_states", zones.close());

  writer.addField("fault", boolText(bitOf(r0[0], 4)));

  ArrayText inputs;
  inputs.add(formatInt(low(r0[1])));
  inputs.add(formatInt(high(r0[1])));
  writer.addField("inputs", inputs.close());

  ArrayText outputs;
  outputs.add(formatInt(low(r0[2])));
  outputs.add(formatInt(high(r0[2])));
  writer.addField("outputs", outputs.close());

  ArrayText valves;
  for (int byte = 3; byte <= 5; ++byte) {
    valves.add(formatInt(low(r0[byte])));
    valves.add(formatInt(high(r0[byte])));
  }
  valves.add(formatInt(low(r0[6])));
  writer.addField("valves", valves.close());

  writer.addField("power_220", boolText(bitOf(r0[0], 5)));

  ArrayText events;
  events.add(bitOf(r0[0], 6));
  events.add(bitOf(r0[0], 7));
  events.add(bitOf(r0[6], 6));
  events.add(bitOf(r0[6], 7));
  events.add(bitOf(r0[7], 3));
  writer.addField("event_states", events.close());

  writer.addField("automation", formatInt((r0[6] >> 4) & 3));

  int rfState = 0;
  if (bitOf(r0[7], 0) || bitOf(r0[7], 2)) {
    rfState = 1;
  } else if (bitOf(r0[7], 1)) {
    rfState = 2;
  }
  writer.addField("rf_state", formatInt(rfState));

  ArrayText stats;
  stats.add(formatInt(littleEndian16(statistics)));
  stats.add(formatInt(littleEndian16(statistics + 2)));
  writer.addField("stats", stats.close());

  ArrayText counters;
  counters.add(formatUnsigned(littleEndian32(events01)));
  counters.add(formatUnsigned(littleEndian32(events01 + 4)));
  counters.add(formatUnsigned(littleEndian32(events23)));
  counters.add(formatUnsigned(littleEndian32(events23 + 4)));
  writer.addField("events", counters.close());
  writer.close();
}

}  // namespace KREL
