#include "registry/JsonWriter.h"

#include <cstdio>

JsonWriter::JsonWriter() : text("{") { text.reserve(256); }

void JsonWriter::addKey(std::string_view key) {
  text += '"';
  text.append(key);
  text += "\":";
}

void JsonWriter::addField(std::string_view key, std::string_view value) {
  addKey(key);
  text.append(value);
  text += ',';
}

void JsonWriter::beginObject(std::string_view key) {
  addKey(key);
  text += '{';
  ++depth;
}

void JsonWriter::close() {
  if (!text.empty() && text.back() == ',') {
    text.back() = '}';
  } else {
    text += '}';
  }
  if (depth > 0) {
    --depth;
    text += ',';
  }
}

std::string formatInt(int value) { return std::to_string(value); }

std::string formatUnsigned(uint32_t value) { return std::to_string(value); }

std::string formatUnsigned64(unsigned long long value) { return std::to_string(value); }

std::string formatFloat(float value) { return formatDouble(static_cast<double>(value)); }

std::string formatDouble(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.3f", value);
  return buffer;
}

std::string quoteText(std::string_view value) {
  std::string quoted;
  quoted.reserve(value.size() + 2);
  quoted += '"';
  for (char c : value) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"') {
      quoted += '\'';
    } else if (c == '\\') {
      quoted += '/';
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      quoted += escape;
    } else {
      quoted += c;
    }
  }
  quoted += '"';
  return quoted;
}
