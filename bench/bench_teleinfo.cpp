// Throughput of the Teleinfo decoder on realistic frames: bytes and groups per second of the
// receive state machine with the usual labels configured, writes going to a sink that drops them.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "teleinfo.h"

namespace {

class DropOutput : public TeleinfoOutput {
  public:
    void Begin(int, int) override {}
    void WriteBool(int, bool value) override { benchmark::DoNotOptimize(value); }
    void WriteLong(int, int32_t value) override { benchmark::DoNotOptimize(value); }
    void WriteFloat(int, float value) override { benchmark::DoNotOptimize(value); }
    void Terminate() override {}
    void WriteChannelBool(int, bool) override {}
    void Trace(const char* text, int) override { benchmark::DoNotOptimize(text); }
    void TraceTimestamp() override {}
    void Log(int, const char*) override {}
    bool Verbose() const override { return false; }
};

std::string Group(const std::string& label, const std::string& value) {
    unsigned sum = 0x20;
    for (unsigned char c : label + value) {
        sum += c;
    }
    return "\n" + label + " " + value + " " + static_cast<char>((sum & 0x3F) + 0x20) + "\r";
}

// A single-phase meter on the two-period tariff: 11 groups, as it sends them over and over.
std::string HistoricFrame(int groups_out[1]) {
    const char* const groups[][2] = {
        {"ADCO", "524563565245"}, {"OPTARIF", "HC.."},    {"ISOUSC", "45"},
        {"HCHC", "041941587"},    {"HCHP", "052870210"},  {"PTEC", "HP.."},
        {"IINST", "012"},         {"IMAX", "060"},        {"PAPP", "02810"},
        {"HHPHC", "A"},           {"MOTDETAT", "000000"},
    };
    std::string frame = "\x02";
    for (const auto& g : groups) {
        frame += Group(g[0], g[1]);
    }
    groups_out[0] = static_cast<int>(sizeof groups / sizeof groups[0]);
    return frame + "\x03";
}

struct Setup {
    std::vector<TeleinfoDefinition> definitions;
    TeleinfoDecoder decoder;
    DropOutput out;

    explicit Setup(const std::vector<const char*>& labels) {
        int frame = 1;
        for (const char* label : labels) {
            TeleinfoDefinition def;
            TeleinfoDefinitionInit(&def, label);
            def.frame = frame++;
            strcpy(def.val, "HP..");
            def.timeout = 10;
            definitions.push_back(def);
        }
        decoder.com = 1;
        decoder.etat = 50;
        decoder.definitions = definitions.data();
        decoder.definitionCount = static_cast<int>(definitions.size());
        decoder.out = &out;
    }
};

void BM_HistoricFrames(benchmark::State& state) {
    int groups = 0;
    std::string frame = HistoricFrame(&groups);
    Setup setup({"ISOUSC", "HCHC", "HCHP", "PTEC", "IINST", "IMAX", "PAPP"});
    for (auto _ : state) {
        for (unsigned char c : frame) {
            if (TeleinfoReceiveChar(&setup.decoder, c) == teleinfo::kStopped) {
                TeleinfoBeginScan(&setup.decoder);
            }
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * frame.size());
    state.counters["groups/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * groups, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_HistoricFrames);

void BM_CompositeValues(benchmark::State& state) {
    Setup setup({"JAUNE", "DATECOUR", "PPOT", "ENERG"});
    const char* values[] = {"08:30:15:06:12:DP:0120:00", "15/06/23 08/30/45", "0E",
                            "000123:000456"};
    for (auto _ : state) {
        for (int i = 0; i < 4; ++i) {
            TeleinfoApply(&setup.decoder, &setup.definitions[i], values[i]);
        }
    }
    state.counters["values/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * 4,
                                                    benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CompositeValues);

}  // namespace
