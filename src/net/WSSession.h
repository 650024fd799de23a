#pragma once
// What the WebSocket server needs from the client logic of one connection.
// The server creates one session per accepted connection, hands it every text
// message the client sends, calls tick() once per poll cycle, sends the texts
// the session queued (one per cycle) and destroys the session with its
// connection. All of that happens in the server thread; other threads may only
// queue texts into outgoing() and signal wakeDescriptor().
//
// The server sleeps until something happens: a cycle runs when a client
// sends, a text is queued, wakeDescriptor() is signalled, a connection's time
// limit ends or the time tickWithinMilliseconds() asked for has come.
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
  // Periodic work; runs in every cycle of the owner (see above).
  virtual void tick() = 0;
  // The session's outgoing texts; lives as long as the session.
  virtual WSOutgoingTexts& outgoing() = 0;
  // How soon tick() has work of its own: 0 at once, n after n milliseconds,
  // -1 not before the session is woken.
  virtual int tickWithinMilliseconds() { return -1; }
  // A descriptor that becomes readable when another thread gave tick() work;
  // the owner polls it and clears it (clearEvent) before the next tick. -1:
  // none.
  virtual int wakeDescriptor() { return -1; }
  // The session is over (too many failed logins): the owner sends what is
  // queued and then closes the connection.
  virtual bool wantsClose() const { return false; }
};

// Who a session serves: the connection id of its log lines and the address
// failed logins are counted for.
struct WSClient {
  int id = 0;
  std::string address;
};

// Makes the session of a newly accepted connection.
using WSSessionFactory = std::function<std::unique_ptr<WSSession>(const WSClient& client)>;

// The client logic the server runs for every connection.
std::unique_ptr<WSSession> makeClientSession(const WSClient& client);
