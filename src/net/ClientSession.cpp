// Chooses the client logic of every WebSocket connection.
#include "net/WSSession.h"
#include "tinmoss/JSONData.h"

std::unique_ptr<WSSession> makeClientSession(const WSClient& client) { return std::make_unique<JSONData>(client); }
