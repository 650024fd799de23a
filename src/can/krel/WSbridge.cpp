#include "can/krel/WSbridge.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "can/krel/Koi8r.h"
#include "can/krel/polls/PollValues.h"
#include "core/Log.h"
#include "core/LittleEndian.h"
#include "registry/JsonWriter.h"

namespace KREL {
namespace {

constexpr uint8_t boolLength = 1;
constexpr uint8_t integerLength = 4;
constexpr uint8_t floatLength = 5;
constexpr uint8_t textLength = 8;

const char* keyOf(WSbridge::Endpoint endpoint) { return endpoint == WSbridge::Endpoint::tx ? "krel_tx" : "krel_rx"; }

void putWord(IOPacket& packet, uint32_t word) {
  for (int i = 0; i < 4; ++i) packet.data[i] = static_cast<uint8_t>(word >> (8 * i));
}

// A node or register number of the request; out of range marks the packet
// invalid (never sent) and keeps a number no packet carries.
uint16_t numberOf(long long value, IOPacket& packet) {
  if (value >= 0 && value <= 0xFFFF) return static_cast<uint16_t>(value);
  packet.error = 1;
  return 0xFFFF;
}

std::string valueText(const IOPacket& answer) {
  switch (answer.length) {
    case boolLength:
      return answer.data[0] != 0 ? "true" : "false";
    case integerLength:
      return formatInt(static_cast<int32_t>(littleEndian32(answer.data)));
    case floatLength:
      return PollValues::floatText(PollValues::floatOf(answer));
    case textLength:
      return quoteText(koi8rToUtf8(answer.data, textLength));
    default:
      return {};
  }
}

}  // namespace

WSbridge::WSbridge(Clock clock, LayoutKnown known) : now(std::move(clock)), layoutKnown(std::move(known)) {}

std::string WSbridge::addressText(uint16_t node, uint16_t reg) {
  return "\"ppk\":" + formatInt(node) + ",\"reg\":" + formatInt(reg) + ",";
}

void WSbridge::reply(const Origin& client, Endpoint endpoint, const std::string& body) {
  std::shared_ptr<ReplyChannel> channel = client.lock();
  if (channel == nullptr) return;  // the client has gone
  channel->send(std::string("{\"") + keyOf(endpoint) + "\":" + body + "}");
}

bool WSbridge::encodeValue(const JsonPair& value, IOPacket& packet) {
  switch (value.type) {
    case JsonTrue:
    case JsonFalse:
      putWord(packet, value.type == JsonTrue ? 1 : 0);
      packet.length = boolLength;
      return true;
    case JsonString: {
      std::string text = utf8ToKoi8r(value.value, textLength);
      std::memcpy(packet.data, text.data(), text.size());
      packet.length = textLength;
      return true;
    }
    case JsonNumber:
      if (std::strchr(value.value, '.') != nullptr) {
        errno = 0;
        float number = std::strtof(value.value, nullptr);
        if (errno == ERANGE && std::isinf(number)) return false;
        uint32_t word;
        std::memcpy(&word, &number, sizeof word);
        putWord(packet, word);
        packet.length = floatLength;
      } else {
        // Only the leading digits count: "1e5" is 1. A 32-bit register takes
        // -2147483648 to 4294967295; anything beyond would be cut.
        long long number = std::strtoll(value.value, nullptr, 10);
        if (number < INT32_MIN || number > static_cast<long long>(UINT32_MAX)) return false;
        putWord(packet, static_cast<uint32_t>(number));
        packet.length = integerLength;
      }
      return true;
    default:
      return true;  // a read
  }
}

void WSbridge::handle(Endpoint endpoint, const char* text, const Origin& client) {
  bool tx = endpoint == Endpoint::tx;
  const char* given = text != nullptr ? text : "";
  LOGV("I am putting some stuff in %s queue to process in later", tx ? "TX" : "RX");
  if (tx) {
    LOGV("TX data: %s", given);
  } else {
    LOGD("RX data: %s", given);
  }
  if (!layoutKnown()) {
    reply(client, endpoint, "{\"status\":\"no devices\"}");
    return;
  }
  std::string buffer(given);
  JsonList members = scanJsonObject(buffer.data());
  Request request;
  request.client = client;
  request.endpoint = endpoint;
  request.packet.node = numberOf(getInt64(members, "ppk", 0), request.packet);
  request.packet.reg = numberOf(getInt64(members, "reg", 0), request.packet);
  std::string address = addressText(request.packet.node, request.packet.reg);
  if (tx) {
    if (const JsonPair* value = findPair(members, "value")) {
      LOGD("value str: '%s', type: %d", value->value, static_cast<int>(value->type));
      if (!encodeValue(*value, request.packet)) {
        reply(client, endpoint, "{" + address + "\"status\":\"error\"}");
        return;
      }
    }
  }
  if (!queue.push(std::move(request))) reply(client, endpoint, "{" + address + "\"status\":\"no answer\"}");
}

void WSbridge::takeRequests(std::vector<IOPacket>& packets) {
  queue.consumeAll([&](const Request& request) {
    const IOPacket& packet = request.packet;
    if (pending.size() >= maxPending) {
      reply(request.client, request.endpoint, "{" + addressText(packet.node, packet.reg) + "\"status\":\"no answer\"}");
      return;
    }
    bool sendable = packet.error == 0 && packet.node <= maxNode;
    pending.push_back({packet.reg, packet.node, packet.length != 0, sendable, request.endpoint, now(), request.client});
    packets.push_back(packet);
  });
}

void WSbridge::onPacket(const IOPacket& packet) {
  for (auto it = pending.begin(); it != pending.end(); ++it) {
    if (!it->sendable || it->node != packet.node || it->reg != packet.reg) continue;
    LOGD("Got WS answer!");
    std::string body = "{" + addressText(it->node, it->reg);
    if (packet.length == 0) {
      body += "\"status\":\"error\"}";
    } else {
      body += "\"status\":\"ok\"";
      std::string value = it->write ? std::string() : valueText(packet);
      if (!value.empty()) body += ",\"value\":" + value;
      body += "}";
    }
    reply(it->client, it->endpoint, body);
    // In arrival order, so two requests for one register are answered in turn.
    pending.erase(it);
    return;
  }
}

void WSbridge::expire() {
  if (pending.empty()) return;
  int64_t current = now();
  for (auto it = pending.begin(); it != pending.end();) {
    if (it->sent + answerSeconds < current) {
      reply(it->client, it->endpoint, "{" + addressText(it->node, it->reg) + "\"status\":\"no answer\"}");
      it = pending.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace KREL
