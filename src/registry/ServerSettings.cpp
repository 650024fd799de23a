#include "registry/ServerSettings.h"

#include "core/FixedText.h"
#include "registry/Json.h"
#include "registry/JsonWriter.h"

std::string EntryText<ServerSettings>::toText(const ServerSettings& value) {
  JsonWriter writer;
  writer.addField("host", quoteText(fieldText(value.host)));
  writer.addField("user", quoteText(fieldText(value.user)));
  writer.addField("pass", quoteText(fieldText(value.pass)));
  writer.addField("port", formatInt(value.port));
  if (value.tls) writer.addField("tls", "true");
  writer.close();
  return writer.take();
}

void EntryText<ServerSettings>::fromText(ServerSettings& value, const char* text) {
  value = ServerSettings{};
  std::string buffer(text);
  JsonList members = scanJsonObject(buffer.data());
  if (const JsonPair* host = findPair(members, "host")) copyTextField(value.host, sizeof value.host, host->value);
  if (const JsonPair* user = findPair(members, "user")) copyTextField(value.user, sizeof value.user, user->value);
  if (const JsonPair* pass = findPair(members, "pass")) copyTextField(value.pass, sizeof value.pass, pass->value);
  value.port = getInt(members, "port", 0);
  value.tls = getBool(members, "tls", false);
}
