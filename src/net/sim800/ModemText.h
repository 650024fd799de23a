#pragma once
// Modem answers as they may be quoted in a log line: one line per message,
// whatever the modem sent.
#include <cstddef>
#include <string>

namespace ModemText {

// The text without its leading and trailing CR and LF, every other control
// character (and every byte from 0x7F on) written as \r, \n, \t or \xNN:
//   "\r\n+CSQ: 20,0\r\n" -> "+CSQ: 20,0",  "A\x01B\rC" -> "A\x01B\rC" escaped.
std::string printable(const char* text, size_t length);

// The text from its first character that is not CR or LF.
inline const char* skipLineEnds(const char* text) {
  while (*text == '\r' || *text == '\n') ++text;
  return text;
}

}  // namespace ModemText
