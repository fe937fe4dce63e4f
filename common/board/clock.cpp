#include "clock.h"

#include <sys/sysinfo.h>
#include <syslog.h>

#include <cerrno>

#include "stationlog.h"

namespace {

class SystemClock final : public StationClock {
  public:
    long Uptime() override {
        struct sysinfo info {};
        if (sysinfo(&info) != 0) {
            return -1;
        }
        return info.uptime;
    }
    timespec Monotonic() override {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return now;
    }
    timeval Now() override {
        timeval now{};
        gettimeofday(&now, nullptr);
        return now;
    }
    int Sleep(const timespec& delay, timespec* remaining) override {
        return nanosleep(&delay, remaining);
    }
};

SystemClock g_systemClock;
StationClock* g_clock = &g_systemClock;

}  // namespace

StationClock& Clock() {
    return *g_clock;
}

void SetClock(StationClock* clock) {
    g_clock = clock != nullptr ? clock : &g_systemClock;
}

long GetUptime() {
    long uptime = Clock().Uptime();
    if (uptime < 0) {
        StationLog(LOG_ERR, "divers.lib :error in uptime read=%d", errno);
        return Clock().Monotonic().tv_sec;
    }
    return uptime;
}

long long MonotonicMs() {
    timespec now = Clock().Monotonic();
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
