// A clock that tests advance by hand. Sleeps advance it by the delay asked, at once.
#pragma once

#include <cerrno>
#include <functional>
#include <utility>

#include "clock.h"

class FakeClock final : public StationClock {
  public:
    FakeClock() { SetClock(this); }
    ~FakeClock() override { SetClock(nullptr); }

    long Uptime() override {
        if (uptimeError_ != 0) {
            errno = uptimeError_;
            return -1;
        }
        return uptimeBase_ + static_cast<long>(elapsedNs_ / 1000000000LL);
    }
    timespec Monotonic() override {
        return {static_cast<time_t>(elapsedNs_ / 1000000000LL),
                static_cast<long>(elapsedNs_ % 1000000000LL)};
    }
    timeval Now() override {
        long long us = wallBaseUs_ + elapsedNs_ / 1000;
        return {static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
    }
    int Sleep(const timespec& delay, timespec* remaining) override {
        ++sleeps_;
        Advance(delay.tv_sec * 1000000000LL + delay.tv_nsec);
        if (remaining != nullptr) {
            *remaining = {0, 0};
        }
        if (onSleep_) {
            onSleep_();
        }
        return 0;
    }
    // Runs after every sleep, once the clock has advanced: an in-process peer (a server the
    // code under test waits for) does its share of the work there.
    void OnSleep(std::function<void()> hook) { onSleep_ = std::move(hook); }

    void Advance(long long ns) { elapsedNs_ += ns; }
    void AdvanceMs(long long ms) { Advance(ms * 1000000LL); }
    void SetWallTime(time_t seconds) { wallBaseUs_ = seconds * 1000000LL - elapsedNs_ / 1000; }
    void SetUptime(long seconds) {
        uptimeBase_ = seconds - static_cast<long>(elapsedNs_ / 1000000000LL);
    }
    // From now on the uptime cannot be read (errno `error`; 0 makes it readable again).
    void FailUptime(int error) { uptimeError_ = error; }
    int Sleeps() const { return sleeps_; }
    long long ElapsedMs() const { return elapsedNs_ / 1000000LL; }

  private:
    long long elapsedNs_ = 0;
    long long wallBaseUs_ = 1700000000LL * 1000000LL;
    long uptimeBase_ = 1000;
    int uptimeError_ = 0;
    int sleeps_ = 0;
    std::function<void()> onSleep_;
};
