// The clock of a module: uptime, monotonic time, wall time and sleeps. Everything that waits or
// measures goes through Clock(), so that unit tests can put a fake clock in its place and
// advance it by hand (a 300 s wait then takes microseconds).
#pragma once

#include <sys/time.h>

#include <ctime>

class StationClock {
  public:
    virtual ~StationClock() = default;
    // Seconds since the board started (sysinfo uptime); -1 with errno when it cannot be read.
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

// The uptime in whole seconds, which the bounded waits measure. When the system cannot give it,
// logs "divers.lib :error in uptime read=%d" with errno and gives the monotonic clock's seconds
// instead (a constant 0 would keep every wait that measures with it from ever ending).
long GetUptime();

// Milliseconds of the monotonic clock.
long long MonotonicMs();
