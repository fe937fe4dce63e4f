// The scan engine's own cost per cycle: a frame table as a small site has it (read frames with
// and without data items, write frames from channels and set-points, a change-only frame that
// stays unchanged, state channels), exchanged with the test driver's PLC memory in no time, so
// that what is measured is the engine: the decisions, the fills, the messages built and put on
// chanmgr's queue (drained by the benchmark, as chanmgr would), the state writes and the trace.
// Runs in a private IPC namespace with chanmgr's memories made here (as root, or where user
// namespaces are allowed). Counts the allocations made in the steady state.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>

#include "chanmgr_memories.h"
#include "conf.h"
#include "plctestdriver.h"
#include "plcutilities.h"
#include "refreshplc.h"
#include "serialdebug.h"
#include "xmlplc.h"

namespace {
std::atomic<long> g_allocations{0};
}

// Counting replacements of the global allocation functions (kept out of line: inlined into the
// benchmark library's static initialisers they would look mismatched to the compiler).
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

const char* kConfiguration = R"(<STATION><AUTOMATE>
<COM Type="plctest" Port="-1" No="1" Etat="1" TrameOk="2" Timeout="1000" NbDef="2">
<TRAME No="1" Type="RW" Adr="0" Lng="30" Etat="3"/>
<TRAME No="2" Type="RW" Adr="100" Lng="10" Etat="4">
  <ANA No="1" Adr="1"/><ANA No="2" Adr="2"/><CPT No="3" Adr="3"/><CPT No="4" Adr="5"/>
  <BIT No="5" Adr="7,1"/><BIT No="6" Adr="7,2"/><BIT No="7" Adr="7,3"/><BIT No="8" Adr="7,16"/>
</TRAME>
<TRAME No="3" Type="RB" Adr="200" Lng="64" Etat="5"/>
<TRAME No="4" Type="WW" Adr="300" Lng="10" Voie="20" Etat="6"/>
<TRAME No="5" Type="WW" Adr="400" Lng="4" ConsigneE="1" Etat="7" TrameOk="8"/>
<TRAME No="6" Type="WB" Adr="500" Lng="16" Modification="1" Etat="9"/>
</COM></AUTOMATE>
<VOIES><VOIE No="40"><DST Automate="1,6,1"/></VOIE><VOIE No="41"><DST Automate="1,6,2"/></VOIE>
<VOIE No="42"><DST Automate="1,4,3"/></VOIE></VOIES></STATION>
)";

constexpr int kFrames = 6;

struct Station {
    std::string root;
    ChanmgrMemories* memories = nullptr;
    ChanmgrQueue* queue = nullptr;
    ScriptedPlc plc;
    PlcConfig config;
    PlcScanContext context;
    bool ready = false;
};

Station& TheStation() {
    static Station s;
    if (s.ready) {
        return s;
    }
    if (unshare(CLONE_NEWIPC) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWIPC) != 0) {
        std::perror("unshare");
        std::exit(1);
    }
    char pattern[] = "/dev/shm/bench-plcscan-XXXXXX";
    s.root = mkdtemp(pattern);
    for (const char* dir : {"/var/parameters", "/var/log", "/tmp", "/etc"}) {
        std::filesystem::create_directories(s.root + dir);
    }
    std::ofstream(s.root + "/var/parameters/configuration.xml") << kConfiguration;
    setenv("STATION_ROOT", s.root.c_str(), 1);
    ResetChannelMaxNb();
    s.memories = new ChanmgrMemories(50);
    for (int n = 1; n <= 50; ++n) {
        ChannelRecordFields fields;
        fields.type = 2;
        s.memories->SetRecord(n, fields);
        s.memories->SetShort(n, static_cast<int16_t>(n * 3));
        s.memories->SetBool(n, n % 3 == 0);
    }
    s.memories->SetLastChannel(50);
    s.queue = new ChanmgrQueue;
    for (int i = 0; i < ScriptedPlc::kWords; ++i) {
        s.plc.words[i] = static_cast<uint16_t>(i * 37);
    }
    s.plc.withTrace = true;
    if (PlcConfigRead(&s.config, plctest::kDriverName, -1, PlcTestHook, nullptr) != 0 ||
        PlcTestRefreshInit(&s.context, &s.config, &s.plc) != 0) {
        std::fprintf(stderr, "the frame table was refused\n");
        std::exit(1);
    }
    PlcInitMsg();
    std::atexit([] { std::filesystem::remove_all(TheStation().root); });
    s.ready = true;
    return s;
}

// chanmgr's part: takes what the cycle sent. The count of requests.
int Drain(ChanmgrQueue* queue) {
    struct {
        long type;
        char body[600];
    } message;
    int n = 0;
    while (msgrcv(queue->Id(), &message, sizeof message.body, 0, IPC_NOWAIT) >= 0) {
        ++n;
    }
    return n;
}

void BM_ScanCycle(benchmark::State& state) {
    Station& s = TheStation();
    PlcRefreshCycle(&s.context);  // the change-only frame is sent once, then stays unchanged
    Drain(s.queue);
    long requests = 0;
    long allocations = g_allocations.load();
    for (auto _ : state) {
        PlcRefreshCycle(&s.context);
        requests += Drain(s.queue);
    }
    allocations = g_allocations.load() - allocations;
    long cycles = static_cast<long>(state.iterations());
    state.counters["frames/cycle"] = kFrames;
    state.counters["requests/cycle"] = static_cast<double>(requests) / static_cast<double>(cycles);
    state.counters["allocations"] = static_cast<double>(allocations);
    state.counters["us/frame"] = benchmark::Counter(
        static_cast<double>(cycles) * kFrames,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::kIs1000);
}
BENCHMARK(BM_ScanCycle)->Unit(benchmark::kMicrosecond);

// What one single channel write costs through the queue (send and chanmgr's receive): the share
// of a cycle that is the system's, not the engine's.
void BM_ChannelWriteRoundTrip(benchmark::State& state) {
    Station& s = TheStation();
    for (auto _ : state) {
        PlcWriteBool(9, 1);
        Drain(s.queue);
    }
}
BENCHMARK(BM_ChannelWriteRoundTrip)->Unit(benchmark::kMicrosecond);

}  // namespace
