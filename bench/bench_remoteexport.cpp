// CPU per line handed to the FTP upload, for a full station: 15 memos of 3600 lines (54 000), a
// station log and a communication log of 4000 lines each, through remoteexport's read functions
// into a 64 KB upload buffer (libcurl's), in the CSV layout and in the text layout. No server:
// what is measured is the making of the lines, the communication sentences from the text file
// included. Everything runs in a private IPC namespace (run as root): chanmgr's memories are the
// bench's.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "chanmgr_memories.h"
#include "csvrecord.h"
#include "remoteexport.h"
#include "test_variant.h"

namespace fs = std::filesystem;

namespace {

constexpr int kMemos = 15;
constexpr int kMemoLines = 3600;
constexpr int kLogLines = 4000;
constexpr uint32_t kT0 = 1700000000;
constexpr size_t kUploadBuffer = 65536;

struct Station {
    Station() {
        setlogmask(LOG_UPTO(LOG_INFO));
        if (unshare(CLONE_NEWIPC) != 0) {
            std::perror("unshare (run as root)");
            std::exit(2);
        }
        char pattern[] = "/dev/shm/bench-remote-XXXXXX";
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
        fs::create_directories(root + "/usr/bin/velun");
        fs::copy_file(std::string(STATION_SOURCE_DIR) + "/common/station/commlog_msg_fr.ini",
                      root + "/usr/bin/velun/commlog_msg_fr.ini");
        std::ofstream(root + "/tmp/orxapp.ini") << "[ENV]\nCHANNEL_MAX_NB=60\n";
        g_testVariant.commlog = CommLogTexts::FILE;

        memories = new ChanmgrMemories(60);
        memories->SetText(1, "m3/h");
        for (int c = 1; c <= kMemos; ++c) {
            char name[32];
            std::snprintf(name, sizeof name, "Debit pompe %d", c);
            memories->SetRecord(c,
                                {name, "%.1f", 2, kFlagTimeStamped | kFlagDefined, 1, 0, 0, 0.1f});
        }
        memories->SetLastChannel(60);
        ChannelReadOpen(&cursor.values);
        if (ChannelInfoOpen(&cursor.info) != 0) {
            std::fprintf(stderr, "channel information not opened\n");
            std::exit(2);
        }

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
        cursor.reader = &reader;
        upload.resize(kUploadBuffer);
    }
    ~Station() {
        ChannelInfoClose(&cursor.info);
        ChannelReadClose(&cursor.values);
        delete memories;
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // One source's lines through its read function, as libcurl would ask for them.
    size_t Upload(size_t (*read)(char*, size_t, size_t, void*), int lines) {
        cursor.nextLine = 1;
        cursor.linesLeft = lines;
        cursor.bytes = 0;
        size_t total = 0;
        for (size_t got; (got = read(upload.data(), 1, upload.size(), &cursor)) > 0;) {
            total += got;
        }
        return total;
    }
    // Every source once; the number of lines handed over.
    int ExportAll(const char* from, size_t* bytes) {
        int stationLog = 0;
        int commLog = 0;
        RemoteApplyFrom(from, &cursor, &stationLog, &commLog);
        const int before = cursor.NbLignes;
        *bytes = 0;
        work.lineBuffer = memo.data();
        for (int c = 1; c <= kMemos; ++c) {
            cursor.channel = c;
            *bytes += Upload(FonctionLectureDonneeVoie, kMemoLines);
        }
        cursor.channel = -1;
        work.lineBuffer = station.data();
        *bytes += Upload(FonctionLectureDonneeStation, kLogLines);
        work.lineBuffer = comm.data();
        *bytes += Upload(FonctionLectureDonneeComm, kLogLines);
        return cursor.NbLignes - before;
    }

    std::string root;
    ChanmgrMemories* memories = nullptr;
    std::vector<unsigned char> memo, station, comm;
    std::vector<char> upload;
    TimeStampedWork work;
    TimeStampedReader reader{};
    ExportCursor cursor;
};

Station& TheStation() {
    static Station station;
    return station;
}

void Export(benchmark::State& state, const char* from) {
    Station& s = TheStation();
    int lines = 0;
    size_t bytes = 0;
    for (auto _ : state) {
        lines = s.ExportAll(from, &bytes);
    }
    if (lines != kMemos * kMemoLines + 2 * kLogLines) {
        state.SkipWithError("lines lost");
    }
    state.counters["lines"] = lines;
    state.counters["bytes"] = static_cast<double>(bytes);
    state.counters["per_line"] = benchmark::Counter(
        static_cast<double>(lines),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_ReadFullStationCsv(benchmark::State& state) {
    Export(state, "011,");
}
void BM_ReadFullStationText(benchmark::State& state) {
    Export(state, "");
}
BENCHMARK(BM_ReadFullStationCsv)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ReadFullStationText)->Unit(benchmark::kMillisecond)->Iterations(5);

// One kind of source alone (CSV layout): where a line's cost lies.
void Kind(benchmark::State& state, int kind) {
    Station& s = TheStation();
    int stationLog = 0;
    int commLog = 0;
    RemoteApplyFrom("011,", &s.cursor, &stationLog, &commLog);
    int lines = 0;
    for (auto _ : state) {
        const int before = s.cursor.NbLignes;
        if (kind == 0) {
            s.work.lineBuffer = s.memo.data();
            s.cursor.channel = 1;
            s.Upload(FonctionLectureDonneeVoie, kMemoLines);
        } else if (kind == 1) {
            s.work.lineBuffer = s.station.data();
            s.cursor.channel = -1;
            s.Upload(FonctionLectureDonneeStation, kLogLines);
        } else {
            s.work.lineBuffer = s.comm.data();
            s.cursor.channel = -1;
            s.Upload(FonctionLectureDonneeComm, kLogLines);
        }
        lines = s.cursor.NbLignes - before;
    }
    state.counters["per_line"] = benchmark::Counter(
        static_cast<double>(lines),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
void BM_MemoLines(benchmark::State& state) {
    Kind(state, 0);
}
void BM_StationLines(benchmark::State& state) {
    Kind(state, 1);
}
void BM_CommLines(benchmark::State& state) {
    Kind(state, 2);
}
BENCHMARK(BM_MemoLines)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_StationLines)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_CommLines)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace
