#include "can/krel/Koi8r.h"

namespace KREL {
namespace {

// KOI8-R 0xC0-0xDF hold the small letters in this order (0xE0-0xFF the same
// capitals): ю а б ц д е ф г х и й к л м н о п я р с т у ж в ь ы з ш э щ ч ъ.
// In Unicode every one of these capitals lies 0x20 below its small letter.
constexpr char16_t smallLetters[32] = {u'ю', u'а', u'б', u'ц', u'д', u'е', u'ф', u'г', u'х', u'и', u'й',
                                       u'к', u'л', u'м', u'н', u'о', u'п', u'я', u'р', u'с', u'т', u'у',
                                       u'ж', u'в', u'ь', u'ы', u'з', u'ш', u'э', u'щ', u'ч', u'ъ'};

constexpr char16_t smallYo = u'ё';     // KOI8-R 0xA3
constexpr char16_t capitalYo = u'Ё';   // KOI8-R 0xB3

void appendTwoByteUtf8(std::string& out, char16_t letter) {
  out += static_cast<char>(0xC0 | (letter >> 6));
  out += static_cast<char>(0x80 | (letter & 0x3F));
}

// The KOI8-R code of a Cyrillic letter, 0 for any other character.
uint8_t koi8rCodeOf(char16_t letter) {
  if (letter == smallYo) return 0xA3;
  if (letter == capitalYo) return 0xB3;
  for (uint8_t i = 0; i < 32; ++i) {
    if (smallLetters[i] == letter) return static_cast<uint8_t>(0xC0 | i);
    if (smallLetters[i] - 0x20 == letter) return static_cast<uint8_t>(0xE0 | i);
  }
  return 0;
}

}  // namespace

std::string koi8rToUtf8(const uint8_t* text, size_t length) {
  std::string out;
  out.reserve(length * 2);
  for (size_t i = 0; i < length && text[i] != 0; ++i) {
    uint8_t byte = text[i];
    if (byte < 0x80) {
      out += static_cast<char>(byte);
    } else if (byte >= 0xC0) {
      char16_t small = smallLetters[byte & 0x1F];
      appendTwoByteUtf8(out, byte >= 0xE0 ? static_cast<char16_t>(small - 0x20) : small);
    } else if (byte == 0xA3) {
      appendTwoByteUtf8(out, smallYo);
    } else if (byte == 0xB3) {
      appendTwoByteUtf8(out, capitalYo);
    } else {
      out += ' ';
    }
  }
  return out;
}

std::string utf8ToKoi8r(const char* text, size_t capacity) {
  std::string out;
  for (size_t i = 0; text[i] != '\0' && out.size() < capacity; ++i) {
    auto byte = static_cast<uint8_t>(text[i]);
    if (byte < 0x80) {
      out += static_cast<char>(byte);
      continue;
    }
    auto next = static_cast<uint8_t>(text[i + 1]);
    if ((byte & 0xE0) == 0xC0 && (next & 0xC0) == 0x80) {
      auto letter = static_cast<char16_t>((byte & 0x1F) << 6 | (next & 0x3F));
      if (uint8_t code = koi8rCodeOf(letter)) {
        out += static_cast<char>(code);
        ++i;
        continue;
      }
    }
    out += '?';
  }
  return out;
}

}  // namespace KREL
