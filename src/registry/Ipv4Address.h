#pragma once
// IPv4 addresses as the Ethernet settings hold them (IP4: network byte order
// and a set flag) and the strict text form they accept.
//
//   parse("10.0.0.5")   -> 10.0.0.5
//   parse("10.0.0.5 ;reboot"), parse("010.0.0.5"), parse("10.1")  -> refused
//   prefixLength(255.255.240.0) == 20          maskOfPrefix(20) == 255.255.240.0
#include <string>
#include <string_view>

#include "registry/EntryText.h"

namespace Ipv4 {

// Exactly four decimal numbers 0-255 joined by dots: no sign, no space, no
// leading zero (inet_aton would read "010" as octal 8), nothing before or
// after. False leaves `address` unchanged.
bool parse(std::string_view text, IP4& address);

// parse() of the one word of a text that may have blanks and line ends
// around it ("10.0.0.5\r", "192.168.1.1\n" as a command prints it).
bool parseWord(std::string_view text, IP4& address);

// The dotted text of a set address, "null" for an unset one.
std::string text(const IP4& address);

// Leading one bits of a net mask (a mask with holes counts its leading ones
// only); 0 for an unset mask.
int prefixLength(const IP4& mask);
// The set mask of `bits` leading ones, bits 0 to 32.
IP4 maskOfPrefix(int bits);
// The one bits of the mask are all leading ones (0.0.0.0 and 255.255.255.255 are).
bool isContiguousMask(const IP4& mask);

// Both unset, or both set to the same address.
bool same(const IP4& a, const IP4& b);

}  // namespace Ipv4
