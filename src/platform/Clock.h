#pragma once
// Wall clock and monotonic clocks. On a host the wall clock is the host's time
// plus an offset kept by this process: setting it never changes the host clock.
#include <cstdint>
#include <ctime>

namespace Platform {

// Seconds since the epoch, as time() on the board.
time_t wallTime();
// Wall time with microseconds, as gettimeofday() on the board.
void wallTimeOfDay(time_t& seconds, long& microseconds);
// Sets the wall clock (settimeofday on the board, an offset on a host).
bool setWallTime(time_t seconds);

// Seconds and milliseconds of CLOCK_MONOTONIC_COARSE: cheap, but it moves in
// steps of the kernel tick (4 ms at 250 Hz, 10 ms at 100 Hz).
int64_t monotonicCoarseSeconds();
int64_t monotonicCoarseMilliseconds();
// Milliseconds of CLOCK_MONOTONIC at its full resolution, for time limits of a
// few tens of milliseconds that a whole tick would shift noticeably.
int64_t monotonicMilliseconds();

}  // namespace Platform
