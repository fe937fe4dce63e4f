// The clock of a module: uptime, monotonic time, wall time and sleeps. Everything that waits or
// measures goes through Clock(), so that unit tests can put a fake clock in its place and
// advance it by hand (a 300 s wait then takes microseconds).
#pragma once

#include <sys/time.h>

#include <ctime>

class StationClock {
  public:
    virtual ~StationClock() = default;
    // Seconds since the board started (sysinfo uptime).
    virtual long Uptime() = 0;
    virtual timespec Monotonic() = 0;
    // Wall-clock time (gettimeofday).
    virtual timeval Now() = 0;
    // nanosleep: 0 after the whole delay, -1 with errno (EINTR and *remaining filled) otherwise.
    virtual int Sleep(const timespec& delay, timespec* remaining) = 0;
};

StationClock& Clock();
// Replaces the clock; nullptr puts the system clock back.
void SetClock(StationClock* clock);

// Milliseconds of the monotonic clock.
long long MonotonicMs();
