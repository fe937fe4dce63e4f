// What one Sysway read exchange costs plcbridge beyond the line: the command link on a real
// terminal (a pty), with a PLC played by a thread of this program that answers from its own
// word memory. Instant: the answer is written at once, so the wall time of an exchange is all
// overhead (send with its flush and trace, the wake-up, the receive, the check, the words
// parsed). Paced: the answer comes at the pace of a 9600-baud 7E2 line (11 bits a character),
// and the link gathers it for its expected line time; the figure beyond the answer's line time
// is then the link's latency, and the CPU is what the exchange costs the board.
// Runs in a private IPC namespace for the port's debug trace (as root, or where user namespaces
// are allowed). Counts the allocations of the measured loop.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <new>
#include <string>
#include <thread>

#include "cmdlink.h"
#include "plcbridge.h"
#include "pty.h"

namespace {
std::atomic<long> g_allocations{0};
}

__attribute__((noinline)) void* operator new(size_t size) {
    ++g_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept {
    std::free(p);
}
__attribute__((noinline)) void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

namespace {

constexpr long long kCharNs = 11LL * 1000000000LL / 9600;  // 7E2 at 9600 baud

long long NowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

// The PLC: answers "@uuRDaaaannnn" + FCS + "*\r" with n words, at once or at the line's pace.
// Written without the link's code, on fixed buffers.
struct Plc {
    PtyLine line;
    std::atomic<bool> stop{false};
    std::atomic<bool> paced{false};
    std::thread thread;

    void Run() {
        char command[256];
        int have = 0;
        while (!stop.load()) {
            pollfd waiting{line.Master(), POLLIN, 0};
            if (poll(&waiting, 1, 50) <= 0) {
                continue;
            }
            ssize_t n = read(line.Master(), command + have, sizeof command - 1 - have);
            if (n <= 0) {
                continue;
            }
            have += static_cast<int>(n);
            char* end = static_cast<char*>(std::memchr(command, '\r', have));
            if (end == nullptr) {
                have = have >= 200 ? 0 : have;
                continue;
            }
            Answer(command, static_cast<int>(end - command));
            have = 0;
        }
    }

    void Answer(const char* command, int length) {
        if (length < 13) {
            return;
        }
        char answer[160];
        std::memcpy(answer, command, 5);
        std::memcpy(answer + 5, "00", 2);
        int words = 0;
        for (int i = 9; i < 13; ++i) {
            words = words * 10 + (command[i] - '0');
        }
        int at = 7;
        for (int i = 0; i < words && i < 30; ++i) {
            std::snprintf(answer + at, 5, "%04X", (i * 2017) & 0xFFFF);
            at += 4;
        }
        unsigned fcs = 0;
        for (int i = 0; i < at; ++i) {
            fcs ^= static_cast<unsigned char>(answer[i]);
        }
        std::snprintf(answer + at, 5, "%02X*\r", fcs);
        at += 4;
        if (!paced.load()) {
            line.Write(static_cast<const void*>(answer), static_cast<size_t>(at));
            return;
        }
        long long start = NowNs();
        for (int i = 0; i < at; ++i) {
            long long due = start + i * kCharNs;
            timespec when{static_cast<time_t>(due / 1000000000LL),
                          static_cast<long>(due % 1000000000LL)};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr);
            line.Write(static_cast<const void*>(answer + i), 1);
        }
    }
};

struct Bench {
    std::string root;
    Plc plc;
    CmdLink link;
    bool ready = false;
};

Bench& TheBench() {
    static Bench b;
    if (b.ready) {
        return b;
    }
    if (unshare(CLONE_NEWIPC) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWIPC) != 0) {
        std::perror("unshare");
        std::exit(1);
    }
    char pattern[] = "/dev/shm/bench-cmdlink-XXXXXX";
    b.root = mkdtemp(pattern);
    for (const char* dir : {"/var/log", "/tmp", "/etc", "/dev"}) {
        std::filesystem::create_directories(b.root + dir);
    }
    setenv("STATION_ROOT", b.root.c_str(), 1);
    if (b.plc.line.Open(b.root + "/dev/ttymxc0") != 0 ||
        CmdLinkOpen(&b.link, 0, 9600, 'E', 7, 2) != 0) {
        std::fprintf(stderr, "no line\n");
        std::exit(1);
    }
    b.link.timeout = 2;
    b.link.attempts = 1;
    b.plc.thread = std::thread([] { TheBench().plc.Run(); });
    std::atexit([] {
        Bench& b = TheBench();
        b.plc.stop = true;
        b.plc.thread.join();
        CmdLinkClose(&b.link);
        b.plc.line.Close();
        std::filesystem::remove_all(b.root);
    });
    b.ready = true;
    return b;
}

void Exchange(benchmark::State& state, bool paced) {
    Bench& b = TheBench();
    int words = static_cast<int>(state.range(0));
    b.plc.paced = paced;
    // Instant: no line time to gather for; paced: the 9600-baud character time.
    b.link.charUs = paced ? static_cast<int>(kCharNs / 1000) : 0;
    char parameters[16];
    std::snprintf(parameters, sizeof parameters, "0010%04d", words);
    int expected = cmdlink::kAnswerHead + 4 * words + cmdlink::kAnswerTail;
    uint16_t read[plcbridge::kMaxLng];
    long failures = 0;
    auto exchange = [&] {
        CmdLinkSetCommand(&b.link, 0, "RD", parameters, expected);
        if (CmdLinkTransact(&b.link) != 1 ||
            PlcbridgeParseWords(b.link.answer, b.link.answerLength, words, read) != 0) {
            ++failures;
        }
    };
    // One exchange first (the trace's time stamps load the time zone once), then the
    // allocations of ten, counted outside the benchmark's own loop.
    exchange();
    long allocations = g_allocations.load();
    for (int i = 0; i < 10; ++i) {
        exchange();
    }
    allocations = g_allocations.load() - allocations;
    for (auto _ : state) {
        exchange();
    }
    state.counters["failures"] = static_cast<double>(failures);
    state.counters["allocations/10"] = static_cast<double>(allocations);
    state.counters["answer_chars"] = expected;
    if (paced) {
        // Line time of the answer from its first character to its last.
        state.counters["answer_line_us"] = static_cast<double>((expected - 1) * kCharNs) / 1000.0;
    }
}

void BM_ReadExchangeInstant(benchmark::State& state) {
    Exchange(state, false);
}
BENCHMARK(BM_ReadExchangeInstant)->Arg(2)->Arg(30)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ReadExchangePaced9600(benchmark::State& state) {
    Exchange(state, true);
}
// Each paced exchange takes its line time (22 and 150 ms): a smoke run (STATION_BENCH_SMOKE set,
// as CI's) makes a few, enough to see the bench still runs.
int64_t PacedIterations() {
    return getenv("STATION_BENCH_SMOKE") != nullptr ? 3 : 200;
}
BENCHMARK(BM_ReadExchangePaced9600)
    ->Arg(2)
    ->Arg(30)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Iterations(PacedIterations());

}  // namespace
