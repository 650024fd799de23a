#pragma once
// One client of the WebSocket server: its socket, protocol state and session.
// Destroying the context destroys the session and closes the socket.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "net/WSParser.h"
#include "net/WSSession.h"

struct WSConnectionContext {
  WSConnectionContext(int fd, std::unique_ptr<WSSession> session, WSParser::SecondsClock clock, int32_t idleLimit);
  ~WSConnectionContext();
  WSConnectionContext(const WSConnectionContext&) = delete;
  WSConnectionContext& operator=(const WSConnectionContext&) = delete;

  WSParser parser;
  // The client socket; its number is the connection id in log lines.
  int fd;
  // Error and hang-up bits poll() reported for the socket.
  uint16_t pollFlags = 0;
  std::unique_ptr<WSSession> session;
  // Bytes of the oldest send-queue buffer already written.
  size_t headWritten = 0;
  // The socket did not take all queued output: wait for room before more.
  bool outputBlocked = false;
};
