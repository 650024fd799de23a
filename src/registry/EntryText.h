#pragma once
// Text forms of the values held by settings entries. EntryText<T> turns a value
// into the JSON text a client sees and stores, and sets a value from the text
// of one JSON member (a string arrives without its quotes, escapes as written;
// a number, literal or nested object as written).
//
//   bool      true / false          <- true exactly when the text starts with t or T
//   int       %d                    <- atoi
//   unsigned long long  %llu        <- strtoull, base 10
//   float     %.2f                  <- strtof; a text that gives no finite number keeps the value
//   IP4       "10.0.0.1" or null    <- inet_aton; a text that does not convert clears valid
//   char[32]  "text"                <- at most 31 characters, top bit of every byte cleared
//
// A record type gets its text form by specialising EntryText next to its
// definition (ServerSettings.h, CanPortMode.h, ... show how).
#include <netinet/in.h>

#include <string>

template <typename T>
struct EntryText;  // specialised per value type

// An IPv4 address and whether it is set.
struct IP4 {
  in_addr address{};
  bool valid = false;
};

template <>
struct EntryText<bool> {
  static std::string toText(bool value);
  static void fromText(bool& value, const char* text);
};

template <>
struct EntryText<int> {
  static std::string toText(int value);
  static void fromText(int& value, const char* text);
};

template <>
struct EntryText<unsigned long long> {
  static std::string toText(unsigned long long value);
  static void fromText(unsigned long long& value, const char* text);
};

template <>
struct EntryText<float> {
  static std::string toText(float value);
  static void fromText(float& value, const char* text);
};

template <>
struct EntryText<IP4> {
  static std::string toText(const IP4& value);
  static void fromText(IP4& value, const char* text);
};

template <>
struct EntryText<char[32]> {
  static std::string toText(const char (&value)[32]);
  static void fromText(char (&value)[32], const char* text);
};

// Copies at most size - 1 characters of text into field and NUL-terminates it.
void copyTextField(char* field, size_t size, const char* text);
