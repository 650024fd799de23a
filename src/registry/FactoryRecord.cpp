// The factory identity record on its own: its text form, the form checks and
// the generated uuid. Nothing here touches a file or runs a command.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "core/FixedText.h"
#include "core/HexDigit.h"
#include "core/LittleEndian.h"
#include "registry/FactoryEntry.h"
#include "registry/Json.h"
#include "registry/JsonWriter.h"

namespace {

bool isDecimalDigit(char c) { return c >= '0' && c <= '9'; }
char upper(char c) { return c >= 'a' && c <= 'f' ? static_cast<char>(c - 'a' + 'A') : c; }
char lower(char c) { return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c; }

// "02:51:90:00:00:2a" -> "02:51:90:00:00:2A"; the text must end after the
// sixth pair.
bool checkMac(char (&mac)[20]) {
  for (size_t i = 0; i < 17; ++i) {
    if (i % 3 == 2) {
      if (mac[i] != ':') return false;
    } else {
      if (!isHexDigit(mac[i])) return false;
      mac[i] = upper(mac[i]);
    }
  }
  return mac[17] == '\0';
}

bool checkUuid(char (&uuid)[40]) {
  for (size_t i = 0; i < 36; ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (uuid[i] != '-') return false;
    } else {
      if (!isHexDigit(uuid[i])) return false;
      uuid[i] = lower(uuid[i]);
    }
  }
  return uuid[36] == '\0';
}

bool checkSerial(const char (&serial)[20]) {
  size_t length = 0;
  while (length < sizeof serial && serial[length] != '\0') {
    if (!isDecimalDigit(serial[length])) return false;
    ++length;
  }
  return length >= 1 && length < sizeof serial;
}

// Copies a member's text; false when it did not fit (the field then holds
// the text cut short).
bool copyMember(char* field, size_t size, const char* text) {
  copyTextField(field, size, text);
  return std::strlen(text) < size;
}

}  // namespace

std::string EntryText<_factory_settings>::toText(const _factory_settings& value) {
  if (!value.valid) return "null";
  JsonWriter writer;
  writer.addField("serial", quoteText(fieldText(value.serial)));
  writer.addField("uuid", quoteText(fieldText(value.uuid)));
  writer.addField("mac1", quoteText(fieldText(value.mac1)));
  writer.addField("mac2", quoteText(fieldText(value.mac2)));
  writer.addField("test_result", value.test_result ? "true" : "false");
  writer.close();
  return writer.take();
}

void EntryText<_factory_settings>::fromText(_factory_settings& value, const char* text) {
  Factory::copyObject(value, text);
}

namespace Factory {

bool checkRecord(_factory_settings& record) {
  return checkMac(record.mac1) && checkMac(record.mac2) && checkUuid(record.uuid) && checkSerial(record.serial);
}

std::string generatedUuid(const uint8_t (&bytes)[8]) {
  // The low three bytes of each little-endian word.
  unsigned first = static_cast<unsigned>(littleEndian(bytes, 3));
  unsigned second = static_cast<unsigned>(littleEndian(bytes + 4, 3));
  char text[40];
  std::snprintf(text, sizeof text, "943c0917-8ebb-46f0-94c8-%06x%06x", first, second);
  return text;
}

ObjectCopy copyObject(_factory_settings& record, const char* text) {
  std::string buffer(text);  // the scanner cuts its input in place
  JsonList members = scanJsonObject(buffer.data());
  const JsonPair* serial = findPair(members, "serial");
  const JsonPair* uuid = findPair(members, "uuid");
  const JsonPair* mac1 = findPair(members, "mac1");
  const JsonPair* mac2 = findPair(members, "mac2");
  if (serial == nullptr || uuid == nullptr || mac1 == nullptr || mac2 == nullptr) return ObjectCopy::incomplete;
  bool fits = copyMember(record.serial, sizeof record.serial, serial->value);
  fits = copyMember(record.uuid, sizeof record.uuid, uuid->value) && fits;
  fits = copyMember(record.mac1, sizeof record.mac1, mac1->value) && fits;
  fits = copyMember(record.mac2, sizeof record.mac2, mac2->value) && fits;
  record.test_result = getBool(members, "test_result", false) ? 1 : 0;
  return fits ? ObjectCopy::copied : ObjectCopy::overlong;
}

}  // namespace Factory
