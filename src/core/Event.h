#pragma once
// Millisecond sleep and the semaphore-mode event descriptor that wakes a
// consumer from poll(): each signal adds one unit, each take removes one.

// Sleeps for ms milliseconds; a signal does not cut the sleep short. 0 or less
// returns at once.
void msleep(int ms);

// An eventfd with initial value 0 in semaphore mode, non-blocking: a take
// when no unit is left fails at once instead of hanging the consumer. -1 on
// failure, which is logged (E): a consumer polling it would never wake.
int makeEventFd();
// A non-blocking eventfd counter that any number of signals add to and one
// read clears (a loop's wake-up or stop descriptor); -1 on failure, logged
// (E) with `purpose`.
int makeWakeFd(const char* purpose);
// Adds one unit (writes the 8-byte value 1).
void signalEvent(int fd);
// Takes one unit. False on a failed read, and when there was none to take
// (the descriptors made here never block).
bool takeEvent(int fd);

// Reads a wake-up descriptor's counter back to 0 (any number of signals made
// it readable once); does nothing when it already is.
void clearEvent(int fd);
