#pragma once
// The broker topics of this gateway: "fire_alarm/<uuid>/" followed by a suffix
// ("requests", "responses", "updates", "status", "wsin", "wsout").
//
//   topicFor("status")  -> "fire_alarm/3f1c2a9e-5b7d-4e10-9a6b-0c8d2e4f6a01/status"
//   topicIs("requests", "fire_alarm/<any 36 characters>/requests") -> true
#include <cstddef>
#include <string_view>

namespace Mqtt {

// "fire_alarm/%s/", formatted with the device uuid on first use.
std::string_view topicPrefix();

// The prefix followed by the suffix, in a buffer of the calling thread; valid
// until that thread's next call.
const char* topicFor(const char* suffix);

// True when `topic` is longer than the prefix and the text after the prefix's
// length equals `suffix`. The prefix characters themselves are not compared:
// the broker only delivers topics this client subscribed to.
bool topicIs(std::string_view suffix, std::string_view topic);

}  // namespace Mqtt
