#pragma once
// Command endpoints: entries that run a handler when an applied object names
// them, and never appear in their group's text. The template argument is a
// short ASCII tag packed into 64 bits, first character in the most significant
// used byte, so each endpoint is its own class:
//
//   endpointTag("testconn") == 0x74657374636F6E6E == 8387236824769064558
//
// The key of an endpoint is its name (last path component), not its tag. A
// handler is attached by the endpoint's owner; until then calls are ignored.
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "registry/Registry.h"

namespace EndpointTagCheck {
void tagLongerThanEightCharacters();  // never defined: a call stops compilation
}

consteval uint64_t endpointTag(std::string_view tag) {
  if (tag.size() > 8) EndpointTagCheck::tagLongerThanEightCharacters();
  uint64_t id = 0;
  for (char c : tag) id = (id << 8) | static_cast<uint8_t>(c);
  return id;
}

template <uint64_t id>
class WSEndpoint : public Entry<void, void> {
 public:
  // Runs in the applying thread under the registry mutex; `value` is the
  // member's text (often a nested object), `origin` the client to answer.
  using Handler = std::function<void(const char* value, const Origin& origin)>;
  static constexpr uint64_t tag = id;

  explicit WSEndpoint(EntryPath path) : Entry<void, void>(path) {}
  WSEndpoint(RegistryRoot& root, EntryPath path) : Entry<void, void>(root, path) {}

  std::string toText() const override { return {}; }
  void fromText(const char* value, const Origin& origin) override {
    if (handler) handler(value, origin);
  }

  void setHandler(Handler newHandler) {
    if (RegistryRoot* root = tree()) {
      std::lock_guard<std::recursive_mutex> lock(root->mutex());
      handler = std::move(newHandler);
    } else {
      handler = std::move(newHandler);
    }
  }

 private:
  Handler handler;
};
