#pragma once
// The host/board boundary. On the board every absolute path is used as written;
// when FIELDHUB_ROOT names a directory the process runs in simulation mode and
// every absolute path is placed below that directory.
#include <string>

namespace Platform {

// True when FIELDHUB_ROOT named a directory at first use. A FIELDHUB_ROOT that
// names no directory is reported and ends the process: falling back to the
// host's real paths would let the firmware touch the host.
bool simulationMode();

// The simulation root without a trailing slash, empty on the board.
const std::string& root();

// An absolute firmware path ("/data/dps/mqtt") as this process must open it.
std::string path(const std::string& absolutePath);

// TCP port of the local WebSocket API (80, or FIELDHUB_WS_PORT in simulation).
int webSocketPort();
// IPv4 address the WebSocket API listens on: every interface (0.0.0.0) on
// the board; in simulation the loopback address unless FIELDHUB_WS_HOST
// names another.
std::string webSocketHost();
// UDP port of the console link (1374, or FIELDHUB_PULT_PORT in simulation).
int consolePort();

}  // namespace Platform
