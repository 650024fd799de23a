#pragma once
// Local clients read and write one register of one panel node through the
// endpoints "krel_rx" and "krel_tx":
//
//   {"krel_rx":{"ppk":3,"reg":4100}}             -> {"krel_rx":{"ppk":3,"reg":4100,"status":"ok","value":17}}
//   {"krel_tx":{"ppk":3,"reg":4100,"value":1.5}} -> {"krel_tx":{"ppk":3,"reg":4100,"status":"ok"}}
//
// A request becomes a packet the panel thread sends; the first packet that
// comes back from that node with that register is the answer, through the
// endpoint the client used. The packet's length is the value's type:
//
//   true / false     32-bit 1 / 0, length 1
//   "text"           KOI8-R, at most 8 characters, zero-padded, length 8
//   1.5 (with ".")   IEEE-754 single, little-endian in bytes 0-3, length 5
//   -17 (no ".")     32-bit integer, length 4
//   none or other    a read, length 0
//
// An answer without data is "status":"error"; no answer within 3 s (and a
// request the queue of 8 or the pending list has no room for) is
// "status":"no answer"; a number that fits no 32-bit value is refused at
// once with "status":"error". Before the layout is known every request gets
// {"status":"no devices"}.
//
// Threads: the endpoint handlers run on the applying thread (the WebSocket
// server, the tunnelled session); everything else on the panel thread.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "can/krel/IOPacket.h"
#include "core/SyncRing.h"
#include "registry/Entry.h"
#include "registry/Json.h"

namespace KREL {

class WSbridge {
 public:
  enum class Endpoint : uint8_t { rx, tx };

  // One accepted request on its way to the panel thread.
  struct Request {
    IOPacket packet;
    Origin client;
    Endpoint endpoint = Endpoint::rx;
  };

  static constexpr uint32_t queueCapacity = 8;
  static constexpr int64_t answerSeconds = 3;
  static constexpr size_t maxPending = 64;
  // Monotonic seconds.
  using Clock = std::function<int64_t()>;
  using LayoutKnown = std::function<bool()>;

  WSbridge(Clock now, LayoutKnown layoutKnown);
  WSbridge(const WSbridge&) = delete;
  WSbridge& operator=(const WSbridge&) = delete;

  // The endpoint handlers: the member's text and the requesting client.
  void handle(Endpoint endpoint, const char* text, const Origin& client);

  // Panel thread: the queue's eventfd; the step that moves queued requests
  // to the pending list and hands over the packets to send.
  int requestFd() const { return queue.fd(); }
  void takeRequests(std::vector<IOPacket>& packets);
  // Every valid packet received: the first pending request of its node and
  // register takes it as its answer.
  void onPacket(const IOPacket& packet);
  // Answers "no answer" to every request older than 3 s.
  void expire();

  size_t pendingCount() const { return pending.size(); }

 private:
  struct Pending {
    uint16_t reg;
    uint16_t node;
    bool write;      // the packet carried a value
    bool sendable;   // a valid node and register: an answer can come
    Endpoint endpoint;
    int64_t sent;
    Origin client;
  };

  // False when the value cannot be sent (a number out of range).
  static bool encodeValue(const JsonPair& value, IOPacket& packet);
  static void reply(const Origin& client, Endpoint endpoint, const std::string& body);
  static std::string addressText(uint16_t node, uint16_t reg);

  Clock now;
  LayoutKnown layoutKnown;
  SyncRing<Request, queueCapacity> queue;
  std::vector<Pending> pending;  // panel thread only
};

}  // namespace KREL
