#pragma once
// The modem's Bluetooth serial-port (SPP) service, as its answers on the AT
// channel tell it: incoming SPP connections are accepted and the connection
// is tracked. No data travels over the link.
//
//   handleBt(state, "+BTCONNECTING: \"aa:bb:cc:dd:ee:ff\",\"SPP\"\r\n", n)
//       -> "AT+BTACPT=1\r\n"  (accept)
//   handleBt(state, "+BTCONNECT: 1,\"phone\",aa:bb:cc:dd:ee:ff,\"SPP\"\r\n", n)
//       -> nothing; connectionId 1, sendReady
//   handleBt(state, "+BTSTATUS: 0\r\n", n) -> nothing; restartRequested
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

struct BtState {
  // Bluetooth was reported off: the controller restarts the modem.
  bool restartRequested = false;
  // The modem's id of the SPP connection, 0 when there is none.
  uint16_t connectionId = 0;
  bool sendReady = false;
};

// An answer of the modem from its "+BT"; the command to send on the AT
// channel, exactly as returned, or nothing.
std::optional<std::string> handleBt(BtState& state, const char* text, size_t length);

// An answer about the serial-port profile: it ends with "SPP" in double
// quotes and a line end (LF, or CR LF as the modem ends its lines).
bool isSppAnswer(const char* text, size_t length);
