#pragma once
// Builds a JSON object text piece by piece: key-colon-value-comma, with the
// last comma patched into the closing brace.
//
//   JsonWriter w; w.addField("a", "1"); w.beginObject("d"); w.addField("x", "2");
//   w.close(); w.close();   -> {"a":1,"d":{"x":2}}
#include <cstdint>
#include <string>
#include <string_view>

class JsonWriter {
 public:
  JsonWriter();

  void addField(std::string_view key, std::string_view value);
  void addKey(std::string_view key);
  // Appends raw text after addKey (the caller adds the comma).
  void append(std::string_view raw) { text.append(raw); }
  void beginObject(std::string_view key);
  void close();

  const std::string& str() const { return text; }
  std::string take() { return std::move(text); }

 private:
  int32_t depth = 0;
  std::string text;
};

std::string formatInt(int value);
std::string formatUnsigned(uint32_t value);
std::string formatUnsigned64(unsigned long long value);
std::string formatFloat(float value);
// "%.3f" of a double, for values a float would round (counters in thousandths).
std::string formatDouble(double value);

// A JSON string literal without escaping: a double quote becomes an apostrophe
// and a backslash a slash. Control characters, which JSON forbids raw in a
// string, are written as \u00XX escapes so the text always stays valid.
std::string quoteText(std::string_view value);
