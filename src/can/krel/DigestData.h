#pragma once
// A panel node's digest: the nine registers (index 0-8) it repeats on the bus,
// and the record that publishes them with the method "digest".
//
// JSON of a record (one member "device"):
//   {"device":{"can_id":5,"serial":1050005,"name":"При","config_hash":[1,2,3,4],
//    "fire_states":[false,false,false,false],"zone_states":[false,false],
//    "fault":false,"inputs":[1,0],"outputs":[0,2],"valves":[0,0,0,0,0,0,0],
//    "power_220":true,"event_states":[false,false,false,false,false],
//    "automation":0,"rf_state":0,"stats":[10,20],"events":[1,2,3,4]}}
#include <cstdint>
#include <memory>

#include "meterdata/MeterData.h"

namespace KREL {
namespace Ppk {

// The kept bytes of each digest register of one node, as received.
struct Core {
  uint8_t state[8] = {};       // register 0: state bits and nibbles
  uint8_t serial[4] = {};      // register 1, data bytes 4-7: serial, 32-bit little-endian
  uint8_t name[8] = {};        // register 2: name, KOI8-R, NUL-padded
  uint8_t events01[8] = {};    // register 3: event counters 0 and 1, 32-bit little-endian
  uint8_t statistics[6] = {};  // register 4, bytes 0-5: two 16-bit statistics, zone state bits
  uint8_t events23[8] = {};    // register 5: event counters 2 and 3
  uint8_t configHash[8] = {};  // register 6: four 16-bit words
  uint8_t reg7[8] = {};        // register 7: kept, not published
  uint8_t reg8[8] = {};        // register 8: kept, not published
  uint16_t can_id = 0;         // node number

  static constexpr unsigned registerCount = 9;
  // The bytes kept of register `index` and where they come from in the data.
  struct Kept {
    uint8_t* bytes;
    uint8_t count;
    uint8_t offset;
  };
  Kept kept(unsigned index);

  uint32_t serialNumber() const;
};

}  // namespace Ppk

class DigestData : public MeterData, Ppk::Core {
 public:
  explicit DigestData(const Ppk::Core& core);

  std::unique_ptr<MeterData> clone() const override;
  void writeFields(JsonWriter& writer) const override;

  const Ppk::Core& core() const { return *this; }
};

}  // namespace KREL
