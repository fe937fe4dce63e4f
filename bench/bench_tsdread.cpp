// How long an exporter holds the tsd semaphore to read a full memo of 3600 lines (28.8 KB), and
// what part of it is the copy out of memory 47001. The stand-in's tsd half answers from a
// thread of this process, looking at its queue every millisecond; everything runs in a private
// IPC namespace, so the fixed keys meet nobody else's.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <syslog.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "clock.h"
#include "timestampedutil.h"
#include "tsdcore.h"

namespace {

constexpr uint16_t kMemo = 0x1602;
constexpr int kLines = 3600;

struct Station {
    Station() {
        // The read logs a debug line each time: not into the machine's log.
        setlogmask(LOG_UPTO(LOG_INFO));
        if (unshare(CLONE_NEWIPC) != 0) {
            std::perror("unshare (run as root)");
            std::exit(2);
        }
        tsdsim::Layout layout;
        layout.memos = {{kMemo, kLines}};
        std::string error;
        if (server.Open(layout, error) != 0) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(2);
        }
        for (uint32_t i = 0; i < kLines + 17; ++i) {
            server.AppendMemo(kMemo, 1700000000 + i, i);
        }
        poller = std::thread([this] {
            while (!stop) {
                if (!server.Poll(MonotonicMs(), nullptr)) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
        });
        if (TimeStampedDataInit(&work, buffer, sizeof buffer, sizeof work) != 0) {
            std::exit(2);
        }
    }
    ~Station() {
        stop = true;
        poller.join();
        TimeStampedDataFree(&work);
    }
    tsdsim::Server server;
    std::atomic<bool> stop{false};
    std::thread poller;
    TimeStampedWork work{};
    unsigned char buffer[kLines * timestamped::kMemoLineSize];
};

Station& TheStation() {
    static Station station;
    return station;
}

// The whole read: semaphore taken, request, the client's first look at 10 ms, copy, release.
void BM_MemoRead3600(benchmark::State& state) {
    Station& s = TheStation();
    for (auto _ : state) {
        int n = TimeStampedDataRead(&s.work, kMemo);
        if (n != kLines) {
            state.SkipWithError("read failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * kLines * timestamped::kMemoLineSize);
}
BENCHMARK(BM_MemoRead3600)->UseRealTime()->Unit(benchmark::kMicrosecond)->Iterations(50);

// The part of the hold that is the read's own work: attach memory 47001, copy the lines out,
// detach.
void BM_CopyOut3600(benchmark::State& state) {
    Station& s = TheStation();
    int id = shmget(47001, 0, 0);
    for (auto _ : state) {
        void* at = shmat(id, nullptr, SHM_RDONLY);
        std::memcpy(s.buffer, at, sizeof s.buffer);
        benchmark::DoNotOptimize(s.buffer);
        shmdt(at);
    }
    state.SetBytesProcessed(state.iterations() * sizeof s.buffer);
}
BENCHMARK(BM_CopyOut3600)->Unit(benchmark::kMicrosecond);

}  // namespace
