// Feeds arbitrary bytes to the in-place JSON object scanner and reads every
// token it returns, so an out-of-bounds pointer shows up under ASan.
#include <cstdint>
#include <cstring>
#include <vector>

#include "registry/Json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> buffer(data, data + size);
  buffer.push_back('\0');
  JsonList list = scanJsonObject(buffer.data());
  size_t total = 0;
  for (const JsonPair& pair : list) {
    total += std::strlen(pair.key) + std::strlen(pair.value);
    if (pair.type == JsonObject) {
      std::vector<char> nested(pair.value, pair.value + std::strlen(pair.value) + 1);
      total += scanJsonObject(nested.data()).size();
    }
  }
  getBool(list, "a", false);
  getInt64(list, "b", 0);
  isEmpty(list, "c");
  return total == static_cast<size_t>(-1);
}
