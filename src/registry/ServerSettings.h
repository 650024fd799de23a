#pragma once
// Broker settings: host, user, password, port and whether the broker is
// reached over TLS, copied whole. The all-zero value (empty texts, port 0,
// plain TCP) means "not set".
//
// Text form: {"host":"broker.example","user":"u","pass":"p","port":1883}, the
// strings through quoteText (a double quote becomes an apostrophe, a backslash
// a slash), followed by "tls":true only for a TLS broker, so settings of plain
// brokers keep the text they always had. Reading resets the value to zeros,
// then takes "host", "user" and "pass" when present (at most 31 characters
// each), "port" with atoi and "tls" as a boolean (absent: false).
#include <cstdint>
#include <string>

#include "registry/EntryText.h"

struct ServerSettings {
  char host[32];
  char user[32];
  char pass[32];
  int32_t port;
  bool tls;
};

template <>
struct EntryText<ServerSettings> {
  static std::string toText(const ServerSettings& value);
  static void fromText(ServerSettings& value, const char* text);
};
