#pragma once
// The hardware watchdog /dev/watchdog. On the board a keep-alive is the
// WDIOC_KEEPALIVE ioctl; in simulation <root>/dev/watchdog is a plain file and
// a keep-alive writes one byte at the descriptor's position, so the file's
// size counts the keep-alives.

namespace Platform {

// Opens the watchdog read-write (never creates it); -1 when it cannot.
int openWatchdog();
// One keep-alive on an open watchdog; false when it failed.
bool keepWatchdogAlive(int fd);
// Closes it as it is: no magic close character, so the watchdog stays armed.
void closeWatchdog(int fd);

}  // namespace Platform
