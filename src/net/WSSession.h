#pragma once
// What the WebSocket server needs from the client logic of one connection.
// The server creates one session per accepted connection, hands it every text
// message the client sends, calls tick() once per poll cycle, sends the texts
// the session queued (one per cycle) and destroys the session with its
// connection. All of that happens in the server thread; other threads may only
// queue texts into outgoing().
#include <functional>
#include <memory>
#include <string>

#include "core/SyncRing.h"

// Texts waiting to be sent to one client, oldest first. The ring's descriptor
// wakes the server thread; a full ring drops the new text.
using WSOutgoingTexts = SyncRing<std::string, 20>;

class WSSession {
 public:
  virtual ~WSSession() = default;

  // One complete text message from the client, zero-terminated; "" for an
  // empty message.
  virtual void onText(const char* text) = 0;
  // Periodic work; runs at least every 100 ms while the connection lives.
  virtual void tick() = 0;
  // The session's outgoing texts; lives as long as the session.
  virtual WSOutgoingTexts& outgoing() = 0;
};

// Makes the session of a newly accepted connection.
using WSSessionFactory = std::function<std::unique_ptr<WSSession>()>;

// The client logic the server runs for every connection.
std::unique_ptr<WSSession> makeClientSession();
