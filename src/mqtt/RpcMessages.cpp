#include "mqtt/RpcMessages.h"

#include <cstring>

#include "registry/Json.h"
#include "registry/JsonWriter.h"

namespace Mqtt {

const char* rpcErrorMessage(int32_t code) {
  switch (code) {
    case rpcEmptyAnswer:
      return "Internal Error (Empty Answer)";
    case rpcUnknownMethod:
      return "Unknown Method";
    default:
      return "Internal Error";
  }
}

bool readRpcRequest(char* payload, RpcRequest& request) {
  JsonList members = scanJsonObject(payload);
  if (members.size() <= 2 || findPair(members, "jsonrpc") == nullptr) return false;
  if (const JsonPair* id = findPair(members, "id")) {
    // A string id goes back exactly as received, escapes as written.
    request.id = id->value;
    if (id->type == JsonString) request.id.insert(0, 1, '"').push_back('"');
  } else {
    request.id = "null";
  }
  if (const JsonPair* params = findPair(members, "params")) request.params = params->value;
  const JsonPair* method = findPair(members, "method");
  request.method = method != nullptr && method->type == JsonString ? RpcMethods::find(method->value) : nullptr;
  return request.method != nullptr;
}

std::string rpcResponseText(RpcRequest& request) {
  JsonWriter writer;
  writer.addField("jsonrpc", "\"2.0\"");
  if (request.code == 0 && !request.result.empty()) {
    writer.addField("result", request.result);
  } else {
    if (request.code == 0) request.code = rpcEmptyAnswer;
    writer.beginObject("error");
    writer.addField("code", formatInt(request.code));
    writer.addField("message", quoteText(rpcErrorMessage(request.code)));
    writer.close();
  }
  writer.addField("id", request.id);
  writer.close();
  return writer.take();
}

std::string notificationText(const MeterData& record, std::string_view uuid) {
  if (record.method == nullptr) return {};
  JsonWriter writer;
  writer.addField("jsonrpc", "\"2.0\"");
  writer.addField("method", quoteText(record.method));
  writer.beginObject("params");
  writer.addField("uuid", quoteText(uuid));
  record.writeFields(writer);
  writer.close();
  writer.close();
  return writer.take();
}

std::string testResultText(const ServerSettings& settings, bool gsm, bool connected) {
  JsonWriter inner;
  inner.addField("mqtt", quoteText(EntryText<ServerSettings>::toText(settings)));
  inner.addField("gsm", gsm ? "true" : "false");
  inner.addField("result", connected ? "true" : "false");
  inner.close();
  JsonWriter outer;
  outer.addField("mqtt_test", inner.str());
  outer.close();
  return outer.take();
}

}  // namespace Mqtt
