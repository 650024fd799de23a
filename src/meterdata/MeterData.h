#pragma once
// Base of every record the gateway hands upward: a radio meter's reading, a
// panel node's digest, an RS485 meter's data. Records are plain copyable
// values; producers dispatch them to the consumers registered in
// MeterDataHandlers, and a consumer that keeps one stores clone().
//
// JSON form: writeFields() appends "key":value, pairs in the record's fixed
// order; toJson() closes them into one object:
//   {"type":"water_meter","meter_sn":1234,...,"hub_time":1700000000}
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

class JsonWriter;

class MeterData {
 public:
  // Values of kind(): the radio meter records; every other record is 0.
  static constexpr uint32_t otherKind = 0;
  static constexpr uint32_t waterMeterKind = 1;
  static constexpr uint32_t heatMeterKind = 2;

  // Stamps hub_time with the gateway's wall clock.
  MeterData();
  virtual ~MeterData() = default;

  virtual std::unique_ptr<MeterData> clone() const = 0;
  virtual uint32_t kind() const { return otherKind; }
  virtual void writeFields(JsonWriter& writer) const = 0;
  // Writes the record to the log; records of no known kind are reported as such.
  virtual void printStatus() const;

  // "{...}" with the members of writeFields, "{}" when there are none.
  std::string toJson() const;

  uint32_t hub_time = 0;
  // JSON-RPC method under which the record is published; null: never published.
  const char* method = nullptr;

 protected:
  MeterData(const MeterData&) = default;
  MeterData& operator=(const MeterData&) = default;
};

// Fixed-size text fields of records: at most N - 1 characters, always ended
// (read back with fieldText, core/FixedText.h).
template <size_t N>
void setText(char (&field)[N], std::string_view text) {
  size_t length = text.size() < N - 1 ? text.size() : N - 1;
  std::memcpy(field, text.data(), length);
  std::memset(field + length, 0, N - length);
}
