// Chooses the client logic of every WebSocket connection.
#include "net/GreetingSession.h"
#include "net/WSSession.h"

std::unique_ptr<WSSession> makeClientSession() { return std::make_unique<GreetingSession>(); }
