#include "registry/EntryText.h"

#include <arpa/inet.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/HexDigit.h"

std::string EntryText<bool>::toText(bool value) { return value ? "true" : "false"; }

void EntryText<bool>::fromText(bool& value, const char* text) { value = text[0] == 't' || text[0] == 'T'; }

std::string EntryText<int>::toText(int value) { return std::to_string(value); }

void EntryText<int>::fromText(int& value, const char* text) { value = std::atoi(text); }

std::string EntryText<unsigned long long>::toText(unsigned long long value) { return std::to_string(value); }

void EntryText<unsigned long long>::fromText(unsigned long long& value, const char* text) {
  value = std::strtoull(text, nullptr, 10);
}

std::string EntryText<float>::toText(float value) {
  // "nan" or "inf" would make the whole group unreadable, on the wire and in
  // its stored file; a value that is no number shows as null.
  if (!std::isfinite(value)) return "null";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.2f", static_cast<double>(value));
  return buffer;
}

void EntryText<float>::fromText(float& value, const char* text) {
  char* end = nullptr;
  float parsed = std::strtof(text, &end);
  // A text that gives no number ("abc", null) keeps the value, and so do
  // "nan" and "inf" (and overflows to inf), which strtof also reads: they
  // would pass every range check and make the stored group unreadable.
  if (end != text && std::isfinite(parsed)) value = parsed;
}

std::string EntryText<IP4>::toText(const IP4& value) {
  if (!value.valid) return "null";
  char buffer[INET_ADDRSTRLEN + 2];
  buffer[0] = '"';
  if (inet_ntop(AF_INET, &value.address, buffer + 1, INET_ADDRSTRLEN) == nullptr) return "null";
  size_t length = std::strlen(buffer);
  buffer[length] = '"';
  return std::string(buffer, length + 1);
}

void EntryText<IP4>::fromText(IP4& value, const char* text) {
  value.valid = inet_aton(text, &value.address) != 0;
  if (!value.valid) value.address.s_addr = 0;
}

namespace {

// Length of the JSON escape starting at text[i] (a backslash), 0 when it is not one.
size_t escapeLength(const char* text, size_t i, size_t end) {
  if (i + 1 >= end) return 0;
  switch (text[i + 1]) {
    case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
      return 2;
    case 'u':
      if (i + 5 < end && isHexDigit(text[i + 2]) && isHexDigit(text[i + 3]) && isHexDigit(text[i + 4]) &&
          isHexDigit(text[i + 5])) {
        return 6;
      }
      return 0;
    default:
      return 0;
  }
}

}  // namespace

std::string EntryText<char[32]>::toText(const char (&value)[32]) {
  // The text is written as it was received, escapes included. Only what would
  // break the JSON is escaped: a raw double quote, a backslash that starts no
  // escape (both can appear once the top bits of multi-byte characters are
  // cleared), and control characters.
  size_t end = 0;
  while (end < sizeof value && value[end] != '\0') ++end;
  std::string text;
  text.reserve(end + 2);
  text += '"';
  for (size_t i = 0; i < end; ++i) {
    auto byte = static_cast<unsigned char>(value[i]);
    if (value[i] == '\\') {
      size_t length = escapeLength(value, i, end);
      if (length == 0) {
        text += "\\\\";
      } else {
        text.append(value + i, length);
        i += length - 1;
      }
    } else if (value[i] == '"') {
      text += "\\\"";
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      text += escape;
    } else {
      text += value[i];
    }
  }
  text += '"';
  return text;
}

void EntryText<char[32]>::fromText(char (&value)[32], const char* text) {
  copyTextField(value, sizeof value, text);
  size_t length = 0;
  for (; value[length] != '\0'; ++length) value[length] = static_cast<char>(value[length] & 0x7F);
  // The text keeps its escapes as written. A cut through an escape ("...\")
  // would leave a backslash that swallows the closing quote when the value is
  // written back, making the group's stored file unreadable: drop it.
  size_t backslashes = 0;
  while (backslashes < length && value[length - 1 - backslashes] == '\\') ++backslashes;
  if (backslashes % 2 == 1) value[length - 1] = '\0';
}

void copyTextField(char* field, size_t size, const char* text) {
  if (size == 0) return;
  size_t length = 0;
  while (length + 1 < size && text[length] != '\0') {
    field[length] = text[length];
    ++length;
  }
  field[length] = '\0';
}
