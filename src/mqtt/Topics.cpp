#include "mqtt/Topics.h"

#include <string>

#include "registry/Factory.h"

namespace Mqtt {

namespace {
// Longest suffix is "responses"; a uuid has 36 characters. The buffer is a
// std::string, so a longer generated uuid still fits.
constexpr size_t longestSuffix = 9;
}  // namespace

std::string_view topicPrefix() {
  static const std::string prefix = "fire_alarm/" + Factory::deviceUuid() + "/";
  return prefix;
}

const char* topicFor(const char* suffix) {
  // One buffer per thread: the MQTT thread composes every topic it hands to
  // the library, and a caller in another thread never overwrites it.
  thread_local std::string buffer;
  std::string_view prefix = topicPrefix();
  if (buffer.size() < prefix.size() || buffer.compare(0, prefix.size(), prefix) != 0) {
    buffer.reserve(prefix.size() + longestSuffix + 1);
    buffer.assign(prefix);
  }
  buffer.resize(prefix.size());
  buffer.append(suffix);
  return buffer.c_str();
}

bool topicIs(std::string_view suffix, std::string_view topic) {
  size_t prefixLength = topicPrefix().size();
  if (topic.size() <= prefixLength) return false;
  return topic.substr(prefixLength) == suffix;
}

}  // namespace Mqtt
