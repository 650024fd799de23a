#include "registry/CanPortMode.h"

#include <cstring>

std::string EntryText<CanPortMode>::toText(CanPortMode value) {
  switch (value) {
    case CanPortMode::off:
      return "\"off\"";
    case CanPortMode::krel:
      return "\"krel\"";
    case CanPortMode::volmar:
      return "\"volmar\"";
  }
  return "\"error\"";
}

void EntryText<CanPortMode>::fromText(CanPortMode& value, const char* text) {
  if (std::strcmp(text, "krel") == 0) {
    value = CanPortMode::krel;
  } else if (std::strcmp(text, "volmar") == 0) {
    value = CanPortMode::volmar;
  } else if (std::strcmp(text, "off") == 0) {
    value = CanPortMode::off;
  }
}
