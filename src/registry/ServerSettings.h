#pragma once
// Broker settings: host, user, password and port, copied whole. The all-zero
// value (empty texts, port 0) means "not set".
//
// Text form: {"host":"broker.example","user":"u","pass":"p","port":1883}, the
// strings through quoteText (a double quote becomes an apostrophe, a backslash
// a slash). Reading resets the value to zeros, then takes "host", "user" and
// "pass" when present (at most 31 characters each) and "port" with atoi.
#include <cstdint>
#include <string>

#include "registry/EntryText.h"

struct ServerSettings {
  char host[32];
  char user[32];
  char pass[32];
  int32_t port;
};

template <>
struct EntryText<ServerSettings> {
  static std::string toText(const ServerSettings& value);
  static void fromText(ServerSettings& value, const char* text);
};
