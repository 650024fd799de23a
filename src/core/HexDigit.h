#pragma once
// Hexadecimal digits in either case, as in MAC addresses, uuids and JSON
// "\u00e9" escapes: '0'-'9', 'a'-'f', 'A'-'F'. Unlike std::isxdigit it takes
// a plain char (negative for bytes above 0x7F) and ignores the locale.
inline bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
