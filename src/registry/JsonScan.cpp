#include <cstdlib>
#include <cstring>

#include "registry/Json.h"

namespace {

bool isJsonSpace(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

char* skipSpace(char* p) {
  while (isJsonSpace(*p)) ++p;
  return p;
}

// Length of the quoted token starting at p (which holds the opening quote),
// both quotes included; 0 when the text ends before the closing quote.
size_t quotedLength(const char* p) {
  const char* q = p + 1;
  while (*q != '\0') {
    if (*q == '\\') {
      if (q[1] == '\0') return 0;
      q += 2;
      continue;
    }
    if (*q == '"') return static_cast<size_t>(q - p) + 1;
    ++q;
  }
  return 0;
}

// Length of the balanced object starting at p ('{'), braces inside strings not
// counted; 0 when the text ends first.
size_t objectLength(const char* p) {
  int depth = 0;
  const char* q = p;
  while (*q != '\0') {
    if (*q == '"') {
      size_t length = quotedLength(q);
      if (length == 0) return 0;
      q += length;
      continue;
    }
    if (*q == '{') ++depth;
    if (*q == '}' && --depth == 0) return static_cast<size_t>(q - p) + 1;
    ++q;
  }
  return 0;
}

bool startsWith(const char* p, const char* word) { return std::strncmp(p, word, std::strlen(word)) == 0; }

bool isNumberStart(char c) { return c == '-' || c == '+' || c == '.' || (c >= '0' && c <= '9'); }

bool isNumberPart(char c) { return c == '.' || (c >= '0' && c <= '9'); }

// Classifies the value at p. Sets value, type and end (the first character
// after the value token); false when no value can be read there.
bool readValue(char* p, char*& value, JsonType& type, char*& end) {
  if (*p == '{') {
    size_t length = objectLength(p);
    if (length != 0) {
      value = p;
      type = JsonObject;
      end = p + length;
      return true;
    }
  } else if (*p == '"') {
    size_t length = quotedLength(p);
    if (length != 0) {
      value = p + 1;
      p[length - 1] = '\0';
      type = JsonString;
      end = p + length;
      return true;
    }
  } else if (isNumberStart(*p)) {
    char* q = p + 1;
    while (isNumberPart(*q)) ++q;
    value = p;
    type = JsonNumber;
    end = q;
    return true;
  }
  struct Literal {
    const char* word;
    JsonType type;
  };
  for (const Literal& literal : {Literal{"true", JsonTrue}, Literal{"false", JsonFalse}, Literal{"null", JsonNull}}) {
    if (startsWith(p, literal.word)) {
      value = p;
      type = literal.type;
      end = p + std::strlen(literal.word);
      return true;
    }
  }
  return false;
}

}  // namespace

JsonList scanJsonObject(char* text) {
  JsonList list;
  if (text == nullptr || *text != '{') return list;
  char* p = skipSpace(text + 1);
  if (*p == '}') return list;
  for (;;) {
    if (*p != '"') return {};
    size_t keyLength = quotedLength(p);
    if (keyLength == 0) return {};
    char* key = p + 1;
    p[keyLength - 1] = '\0';
    p = skipSpace(p + keyLength);
    if (*p != ':') return {};
    p = skipSpace(p + 1);

    char* value = nullptr;
    JsonType type = JsonNone;
    char* end = nullptr;
    if (!readValue(p, value, type, end)) return {};
    char* separatorAt = skipSpace(end);
    char separator = *separatorAt;
    *end = '\0';
    list.push_back(JsonPair{key, value, type});

    if (separator == '}') return list;
    if (separator != ',') return {};
    p = skipSpace(separatorAt + 1);
  }
}

const JsonPair* findPair(const JsonList& list, const char* key) {
  for (const JsonPair& pair : list) {
    if (std::strcmp(pair.key, key) == 0) return &pair;
  }
  return nullptr;
}

const char* getString(const JsonList& list, const char* key, const char* fallback) {
  const JsonPair* pair = findPair(list, key);
  return pair != nullptr ? pair->value : fallback;
}

int getInt(const JsonList& list, const char* key, int fallback) {
  const JsonPair* pair = findPair(list, key);
  return pair != nullptr ? std::atoi(pair->value) : fallback;
}

long long getInt64(const JsonList& list, const char* key, long long fallback) {
  const JsonPair* pair = findPair(list, key);
  return pair != nullptr ? std::strtoll(pair->value, nullptr, 10) : fallback;
}

bool getBool(const JsonList& list, const char* key, bool fallback) {
  const JsonPair* pair = findPair(list, key);
  if (pair == nullptr) return fallback;
  char first = pair->value[0];
  return first == 't' || first == 'T' || (first >= '1' && first <= '9');
}

bool isEmpty(const JsonList& list, const char* key) {
  const JsonPair* pair = findPair(list, key);
  return pair == nullptr || pair->type == JsonNull || pair->value[0] == '\0';
}
