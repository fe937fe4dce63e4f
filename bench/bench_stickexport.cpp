// CPU per line exported onto a USB key, for a full station: 15 memos of 3600 lines (54 000), a
// station log and a communication log of 4000 lines each, appended to their CSV files by
// stickexport's writers and forced to disk at the end of each file. The key is a folder on a
// tmpfs, so what is measured is the writers' own work and their system calls, not a disk.
// Everything runs in a private IPC namespace (run as root): chanmgr's memories are the bench's.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "chanmgr_memories.h"
#include "conf.h"
#include "csvrecord.h"

namespace fs = std::filesystem;

namespace {

constexpr int kMemos = 15;
constexpr int kMemoLines = 3600;
constexpr int kLogLines = 4000;
constexpr uint32_t kT0 = 1700000000;

struct Station {
    Station() {
        setlogmask(LOG_UPTO(LOG_INFO));
        if (unshare(CLONE_NEWIPC) != 0) {
            std::perror("unshare (run as root)");
            std::exit(2);
        }
        char pattern[] = "/dev/shm/bench-stick-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            std::perror("mkdtemp");
            std::exit(2);
        }
        root = pattern;
        setenv("STATION_ROOT", root.c_str(), 1);
        setenv("TZ", "Europe/Paris", 1);
        tzset();
        fs::create_directories(root + "/tmp");
        fs::create_directories(root + "/var/log");
        fs::create_directories(root + key);
        FILE* ini = std::fopen((root + "/tmp/orxapp.ini").c_str(), "w");
        std::fputs("[ENV]\nCHANNEL_MAX_NB=60\n", ini);
        std::fclose(ini);

        memories = new ChanmgrMemories(60);
        memories->SetText(1, "m3/h");
        for (int c = 1; c <= kMemos; ++c) {
            char name[32];
            std::snprintf(name, sizeof name, "Debit pompe %d", c);
            memories->SetRecord(c,
                                {name, "%.1f", 2, kFlagTimeStamped | kFlagDefined, 1, 0, 0, 0.1f});
        }
        memories->SetLastChannel(60);
        if (CsvChannelsOpen(&csv) != 0) {
            std::fprintf(stderr, "channel information not opened\n");
            std::exit(2);
        }
        SetSeparateur(&csv.file, ",");

        // A value every 10 s on each memo; the logs: channel changes and call events.
        memo.resize(kMemoLines * 8);
        for (int i = 0; i < kMemoLines; ++i) {
            uint32_t time = kT0 + 10 * static_cast<uint32_t>(i);
            uint32_t value = static_cast<uint32_t>(2000 + (i * 7919) % 900);
            std::memcpy(&memo[static_cast<size_t>(i) * 8], &time, 4);
            std::memcpy(&memo[static_cast<size_t>(i) * 8 + 4], &value, 4);
        }
        station.resize(kLogLines * 12);
        comm.resize(kLogLines * 12);
        const uint16_t words[] = {14 << 8 | 1, 129 << 8 | 2, 13 << 8 | 1, 0 << 8 | 1, 128 << 8 | 2};
        const uint32_t params[] = {0, 0x0141'0000, 0x0000'0000, 0x0000'0200, 0};
        for (int i = 0; i < kLogLines; ++i) {
            uint32_t time = kT0 + 90 * static_cast<uint32_t>(i);
            uint16_t address = static_cast<uint16_t>(0x1600 + i % kMemos);
            uint32_t value = static_cast<uint32_t>(1000 + i % 500);
            unsigned char* s = &station[static_cast<size_t>(i) * 12];
            std::memcpy(s, &time, 4);
            std::memcpy(s + 4, &address, 2);
            std::memcpy(s + 8, &value, 4);
            unsigned char* c = &comm[static_cast<size_t>(i) * 12];
            std::memcpy(c, &time, 4);
            std::memcpy(c + 4, &words[i % 5], 2);
            std::memcpy(c + 8, &params[i % 5], 4);
        }
        reader.work = &work;
    }
    ~Station() {
        CsvChannelsClose(&csv);
        delete memories;
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // The three writers over every source once; the number of lines written.
    int ExportAll() {
        int lines = 0;
        TimeStampedSource source{};
        source.firstLine = 1;
        work.lineBuffer = memo.data();
        for (int c = 1; c <= kMemos; ++c) {
            source.identifier = static_cast<uint16_t>(0x1600 + c - 1);
            char path[96];
            std::snprintf(path, sizeof path, "%s/Debit pompe %d.%d.csv", key, c, c);
            lines += RafraichitVoie(&csv, path, &reader, &source, kMemoLines) * kMemoLines;
        }
        work.lineBuffer = station.data();
        source.identifier = 1;
        lines += RafraichitJournalStation(&csv, (std::string(key) + "/station.csv").c_str(),
                                          &reader, &source, kLogLines) *
                 kLogLines;
        work.lineBuffer = comm.data();
        source.identifier = 3;
        lines += RafraichitJournalComm(&csv, (std::string(key) + "/comm.csv").c_str(), &reader,
                                       &source, kLogLines) *
                 kLogLines;
        return lines;
    }
    void Empty() {
        for (const auto& entry : fs::directory_iterator(root + key)) {
            fs::remove(entry.path());
        }
    }

    std::string root;
    const char* key = "/tmp/usbkey/Station.1";
    ChanmgrMemories* memories = nullptr;
    std::vector<unsigned char> memo, station, comm;
    TimeStampedWork work;
    TimeStampedReader reader{};
    CsvWriter csv;
};

Station& TheStation() {
    static Station station;
    return station;
}

void BM_ExportFullStation(benchmark::State& state) {
    Station& s = TheStation();
    int lines = 0;
    for (auto _ : state) {
        state.PauseTiming();
        s.Empty();
        state.ResumeTiming();
        lines = s.ExportAll();
    }
    if (lines != kMemos * kMemoLines + 2 * kLogLines) {
        state.SkipWithError("a file was not written");
    }
    state.counters["lines"] = lines;
    state.counters["per_line"] = benchmark::Counter(
        static_cast<double>(lines),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ExportFullStation)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
