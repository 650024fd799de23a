#include "net/sim800/ModemText.h"

#include <cstdio>

namespace ModemText {

std::string printable(const char* text, size_t length) {
  size_t begin = 0;
  while (begin < length && (text[begin] == '\r' || text[begin] == '\n')) ++begin;
  size_t end = length;
  while (end > begin && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == '\0')) --end;
  std::string out;
  out.reserve(end - begin);
  for (size_t i = begin; i < end; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          char escaped[5];
          std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

}  // namespace ModemText
