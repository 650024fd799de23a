#pragma once
// Bytes written as readable hex in test tables: "05 00 01" <-> {5, 0, 1}.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace TestHex {

// Spaces are ignored: "0500 01" and "05 00 01" are the same bytes.
inline std::vector<uint8_t> bytesOf(const std::string& hex) {
  std::vector<uint8_t> bytes;
  std::string digits;
  for (char c : hex) {
    if (c != ' ') digits += c;
  }
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// Upper-case pairs separated by single spaces.
inline std::string hexOf(const std::vector<uint8_t>& bytes) {
  std::string text;
  char pair[4];
  for (uint8_t byte : bytes) {
    if (!text.empty()) text += ' ';
    std::snprintf(pair, sizeof pair, "%02X", byte);
    text += pair;
  }
  return text;
}

}  // namespace TestHex
