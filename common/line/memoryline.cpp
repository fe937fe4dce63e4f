// The in-memory line: scripted arrivals in time order, answers to what the driver sent, and
// receives that wait on the module's clock the way the tty backend waits on a terminal.
#include "memoryline.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "clock.h"

namespace {

constexpr long long kNsPerMs = 1000000;

long long NowNs() {
    timespec now = Clock().Monotonic();
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void SleepUntil(long long atNs) {
    long long delay = atNs - NowNs();
    if (delay > 0) {
        timespec span{static_cast<time_t>(delay / 1000000000LL),
                      static_cast<long>(delay % 1000000000LL)};
        Clock().Sleep(span, nullptr);
    }
}

MemoryLine* Peer(Line* line) {
    return static_cast<MemoryLine*>(line->context);
}

int MemoryOpen(Line* line, const LineProfile& profile) {
    return Peer(line)->Open(profile);
}
int MemorySend(Line* line, const uint8_t* bytes, int length) {
    return Peer(line)->Send(bytes, length);
}
int MemoryReceive(Line* line, uint8_t* buffer, int size, long long deadlineMs) {
    return Peer(line)->Receive(buffer, size, deadlineMs, line->gatherMs);
}
int MemoryFlush(Line* line) {
    return Peer(line)->Flush();
}
void MemoryClose(Line* line) {
    Peer(line)->Close();
}

}  // namespace

const LineBackend kMemoryLine = {"memory",      MemoryOpen,  MemorySend,
                                 MemoryReceive, MemoryFlush, MemoryClose};

void MemoryLineAttach(Line* line, MemoryLine* peer) {
    line->backend = &kMemoryLine;
    line->context = peer;
}

void MemoryLine::Schedule(long long startNs, std::string_view bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        Arrival arrival{startNs + static_cast<long long>(i) * paceUs_ * 1000,
                        static_cast<uint8_t>(bytes[i])};
        auto at = std::upper_bound(
            arrivals_.begin() + static_cast<std::ptrdiff_t>(next_), arrivals_.end(), arrival,
            [](const Arrival& a, const Arrival& b) { return a.atNs < b.atNs; });
        arrivals_.insert(at, arrival);
        lastArrivalNs_ = std::max(lastArrivalNs_, arrival.atNs);
    }
}

void MemoryLine::Arrive(std::string_view bytes, long long afterMs) {
    long long now = NowNs();
    long long base = arrivals_.empty() ? now : std::max(now, lastArrivalNs_ + paceUs_ * 1000);
    Schedule(base + afterMs * kNsPerMs, bytes);
}

void MemoryLine::ArriveAt(long long atMs, std::string_view bytes) {
    Schedule(atMs * kNsPerMs, bytes);
}

void MemoryLine::Answer(std::string_view request, std::string_view answer, long long delayMs,
                        int times) {
    rules_.push_back(
        Rule{std::string(request), std::string(answer), delayMs * kNsPerMs, times > 0 ? times : 0});
}

void MemoryLine::HangUp(long long afterMs) {
    long long now = NowNs();
    long long base = arrivals_.empty() ? now : std::max(now, lastArrivalNs_ + paceUs_ * 1000);
    hangUpNs_ = base + afterMs * kNsPerMs;
}

std::string MemoryLine::TakeSent() {
    std::string sent;
    sent.swap(sent_);
    return sent;
}

int MemoryLine::Open(const LineProfile& profile) {
    device_ = profile.device;
    profile_ = profile;
    profile_.device = device_.c_str();
    open_ = true;
    return 0;
}

int MemoryLine::Send(const uint8_t* bytes, int length) {
    long long now = NowNs();
    if (hangUpNs_ >= 0 && now >= hangUpNs_) {
        errno = EIO;
        return -1;
    }
    sent_.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
    unanswered_.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
    for (bool answered = true; answered;) {
        answered = false;
        for (Rule& rule : rules_) {
            size_t at = rule.times >= 0 ? unanswered_.find(rule.request) : std::string::npos;
            if (at == std::string::npos) {
                continue;
            }
            unanswered_.erase(0, at + rule.request.size());
            Schedule(now + rule.delayNs, rule.answer);
            if (rule.times > 0 && --rule.times == 0) {
                rule.times = -1;  // used up
            }
            answered = true;
            break;
        }
    }
    return 0;
}

bool MemoryLine::Arrived(long long atNs) const {
    return next_ < arrivals_.size() && arrivals_[next_].atNs <= atNs &&
           (hangUpNs_ < 0 || arrivals_[next_].atNs <= hangUpNs_);
}

// The tty backend's receive, step for step, with the clock's sleeps for its poll and its sleep.
int MemoryLine::Receive(uint8_t* buffer, int size, long long deadlineMs, int gatherMs) {
    const long long deadlineNs = deadlineMs * kNsPerMs;
    for (;;) {
        if (!readAgain_) {
            if (gatherMs <= 0 || !streaming_) {
                // The poll: until the first byte, a hang-up or the deadline.
                long long wakeNs = std::max(NowNs(), deadlineNs);
                if (next_ < arrivals_.size()) {
                    wakeNs = std::min(wakeNs, arrivals_[next_].atNs);
                }
                if (hangUpNs_ >= 0) {
                    wakeNs = std::min(wakeNs, hangUpNs_);
                }
                SleepUntil(wakeNs);
                long long now = NowNs();
                if (!Arrived(now) && (hangUpNs_ < 0 || now < hangUpNs_)) {
                    return 0;
                }
            }
            if (gatherMs > 0) {
                long long now = NowNs();
                long long wait = std::min(static_cast<long long>(gatherMs) * kNsPerMs,
                                          std::max(0LL, deadlineNs - now));
                SleepUntil(now + wait);
            }
        }
        readAgain_ = false;
        long long now = NowNs();
        int taken = 0;
        while (taken < size && Arrived(now)) {
            buffer[taken++] = arrivals_[next_++].byte;
        }
        if (taken > 0) {
            readAgain_ = taken == size;
            streaming_ = true;
            ++wakes_;
            return taken;
        }
        streaming_ = false;
        if (hangUpNs_ >= 0 && now >= hangUpNs_) {
            errno = EIO;
            return -1;
        }
        if (now >= deadlineNs) {
            return 0;
        }
    }
}

int MemoryLine::Flush() {
    long long now = NowNs();
    ++flushes_;
    readAgain_ = false;
    streaming_ = false;
    while (next_ < arrivals_.size() && arrivals_[next_].atNs <= now) {
        ++next_;
        ++discarded_;
    }
    return 0;
}
