#pragma once
// One-level JSON object scanner. It cuts an object text in place into key/value
// tokens: keys and values stay in the caller's buffer, NUL-terminated there.
// Nested objects are kept as unparsed text that may be scanned again.
//
//   {"a":1,"b":"x","c":{"d":[1]},"e":null}
//   -> a (number "1"), b (string "x"), c (object "{"d":[1]}"), e (null)
//
// Anything malformed, arrays as member values included, gives an empty list.
#include <cstdint>
#include <vector>

enum JsonType : int32_t {
  JsonNone = 0,
  JsonNull = 1,
  JsonTrue = 2,
  JsonFalse = 3,
  JsonString = 4,  // characters between the quotes, escapes left as written
  JsonNumber = 5,  // the number text as written
  JsonObject = 6,  // the whole nested object text, braces included
};

struct JsonPair {
  char* key;
  char* value;
  JsonType type;
};

using JsonList = std::vector<JsonPair>;

// The buffer must be NUL-terminated, writable, and outlive the list.
JsonList scanJsonObject(char* text);

// Lookups by exact, case-sensitive key; the first match wins.
const char* getString(const JsonList& list, const char* key, const char* fallback);
int getInt(const JsonList& list, const char* key, int fallback);
long long getInt64(const JsonList& list, const char* key, long long fallback);
// True when the value starts with t, T or a digit 1 to 9.
bool getBool(const JsonList& list, const char* key, bool fallback);
// True when the key is absent, null, or has an empty value.
bool isEmpty(const JsonList& list, const char* key);
// The first pair with this key, or nullptr.
const JsonPair* findPair(const JsonList& list, const char* key);
