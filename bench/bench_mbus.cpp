// Throughput of the M-Bus decoder on real meters' telegrams (tests/data/mbus): long frames
// searched and checked, and the records of their data areas decoded, with the record pauses
// dropped: the decoder's own cost with no trace wanted, and with the trace text formatted (then
// dropped). Allocations made by operator new are counted: there must be none.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "mbus.h"

namespace {
std::atomic<long> g_allocations{0};
}

void* operator new(size_t size) {
    ++g_allocations;
    void* p = malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
// The compiler cannot see that the new above is the one these deletes pair with.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
    free(p);
}
void operator delete(void* p, size_t) noexcept {
    free(p);
}
#pragma GCC diagnostic pop

namespace {

class DropOutput : public MbusOutput {
  public:
    void Record(const MbusRecord& record) override {
        benchmark::DoNotOptimize(record.value);
        ++records;
    }
    void Trace(const char* text, int) override { benchmark::DoNotOptimize(text); }
    void Log(int, const char*) override {}
    void RecordPause(int) override {}
    bool TraceWanted() override { return traced; }
    long records = 0;
    bool traced = false;
};

const char* const kTelegrams[] = {"heat-cooling-floats", "electricity-64bit", "gas-pulses",
                                  "water-storage",       "warm-water",        "gas-datetime"};

std::vector<std::vector<unsigned char>> LoadFrames() {
    std::vector<std::vector<unsigned char>> frames;
    for (const char* name : kTelegrams) {
        std::ifstream in(std::string(STATION_SOURCE_DIR "/tests/data/mbus/") + name + ".hex");
        std::vector<unsigned char> bytes;
        std::string pair;
        while (in >> pair) {
            bytes.push_back(static_cast<unsigned char>(strtol(pair.c_str(), nullptr, 16)));
        }
        if (!bytes.empty()) {
            frames.push_back(bytes);
        }
    }
    return frames;
}

void BM_DecodeRecords(benchmark::State& state) {
    std::vector<std::vector<unsigned char>> frames = LoadFrames();
    DropOutput out;
    out.traced = state.range(0) != 0;
    MbusDateCache dates;  // the driver's: a date's local time is converted once per zone
    long allocations = 0;
    for (auto _ : state) {
        long before = g_allocations;
        for (const std::vector<unsigned char>& f : frames) {
            MbusDecodeRecords(f.data() + 7, f[1] - 3, &out, nullptr, &dates);
        }
        allocations += g_allocations - before;
    }
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(out.records), benchmark::Counter::kIsRate);
    // Seconds per delivered record (records read past cost their share).
    state.counters["per_record"] =
        benchmark::Counter(static_cast<double>(out.records),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["allocations"] = static_cast<double>(allocations);
    if (frames.empty()) {
        state.SkipWithError("no telegrams found");
    }
}
BENCHMARK(BM_DecodeRecords)->ArgName("traced")->Arg(0)->Arg(1);

void BM_CheckLongFrame(benchmark::State& state) {
    std::vector<std::vector<unsigned char>> frames = LoadFrames();
    // Each frame after 16 bytes of noise, as a line may give it.
    size_t bytes = 0;
    for (std::vector<unsigned char>& f : frames) {
        f.insert(f.begin(), 16, 0xAA);
        bytes += f.size();
    }
    DropOutput out;
    long allocations = 0;
    for (auto _ : state) {
        long before = g_allocations;
        for (const std::vector<unsigned char>& f : frames) {
            int data = 0;
            benchmark::DoNotOptimize(
                MbusCheckLongFrame(f.data(), static_cast<int>(f.size()), &out, &data));
        }
        allocations += g_allocations - before;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["frames/s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * frames.size()), benchmark::Counter::kIsRate);
    state.counters["allocations"] = static_cast<double>(allocations);
}
BENCHMARK(BM_CheckLongFrame);

}  // namespace
