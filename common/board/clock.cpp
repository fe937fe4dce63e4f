#include "clock.h"

#include <sys/sysinfo.h>

namespace {

class SystemClock final : public StationClock {
  public:
    long Uptime() override {
        struct sysinfo info {};
        if (sysinfo(&info) != 0) {
            return Monotonic().tv_sec;
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

long long MonotonicMs() {
    timespec now = Clock().Monotonic();
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
