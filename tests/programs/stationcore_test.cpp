// The station core stand-in run as a program: memories and their layout, requests written by
// hand as bytes, the journal, the modmgr notices, and a clean stop.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/shm.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "sandbox.h"
#include "stationcore_fixture.h"

// Its own namespace: the program tests are compiled in batches.
namespace stationcore_test {

namespace {

using Bytes = std::vector<uint8_t>;

void Be16(Bytes& b, unsigned v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void Be32(Bytes& b, uint32_t v) {
    Be16(b, v >> 16);
    Be16(b, v & 0xFFFF);
}
uint32_t FloatBits(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

// Header and command byte, written from the byte layout of a request.
Bytes Head(uint8_t command, unsigned msgno = 7, unsigned pid = 0x1234) {
    Bytes b;
    Be32(b, 0xA55A5904u);
    Be16(b, msgno);
    Be16(b, pid);
    Be32(b, 1700000000u);
    Be32(b, 250000u);
    b.push_back(command);
    return b;
}
void ItemBool(Bytes& b, unsigned n, bool v) {
    Be16(b, n);
    b.push_back(1);
    b.push_back(v ? 0xFF : 0x00);
}
void ItemShort(Bytes& b, unsigned n, int16_t v) {
    Be16(b, n);
    b.push_back(2);
    Be16(b, static_cast<uint16_t>(v));
}
void ItemLong(Bytes& b, unsigned n, int32_t v) {
    Be16(b, n);
    b.push_back(3);
    Be32(b, static_cast<uint32_t>(v));
}
void ItemFloat(Bytes& b, unsigned n, float v) {
    Be16(b, n);
    b.push_back(4);
    Be32(b, FloatBits(v));
}
void End(Bytes& b) {
    b.insert(b.end(), {0x00, 0x00, 0x01, 0x00});
}

bool Send(int key, const Bytes& body, long type = 1) {
    int id = msgget(key, 0);
    if (id < 0) {
        ADD_FAILURE() << "no queue " << key;
        return false;
    }
    struct {
        long type;
        uint8_t body[1024];
    } message{};
    message.type = type;
    std::memcpy(message.body, body.data(), std::min(body.size(), sizeof message.body));
    return msgsnd(id, &message, body.size(), IPC_NOWAIT) == 0;
}

size_t SegmentSize(int key) {
    int id = shmget(key, 0, 0);
    shmid_ds ds{};
    return id >= 0 && shmctl(id, IPC_STAT, &ds) == 0 ? ds.shm_segsz : 0;
}

// Raw bytes of a whole memory.
Bytes Segment(int key) {
    int id = shmget(key, 0, 0);
    shmid_ds ds{};
    if (id < 0 || shmctl(id, IPC_STAT, &ds) != 0) {
        return {};
    }
    void* at = shmat(id, nullptr, SHM_RDONLY);
    if (at == reinterpret_cast<void*>(-1)) {
        return {};
    }
    Bytes copy(static_cast<uint8_t*>(at), static_cast<uint8_t*>(at) + ds.shm_segsz);
    shmdt(at);
    return copy;
}

template <typename T>
T At(const Bytes& b, size_t offset) {
    T v{};
    if (offset + sizeof v <= b.size()) {
        std::memcpy(&v, b.data() + offset, sizeof v);
    }
    return v;
}

std::string CString(const Bytes& b, size_t offset, size_t width) {
    std::string s;
    for (size_t i = offset; i < offset + width && i < b.size() && b[i] != 0; ++i) {
        s += static_cast<char>(b[i]);
    }
    return s;
}

const char* kLayoutSite = R"(
channels 64
text 7 "kWh"
channel 1 ETOR "Porte" state0="Fermee" state1="Ouverte" flags=synoptic,timestamped value=1
channel 2 EANA "Niveau" format="%.2f" unit="m" coef=0.5 offset=-2 value=10 indexes=ACP source=3 srcno=-4
channel 5 CPT "Index" unit="kWh" value=123456 flags=0x1801
channel 9 26 "Brut"
setpoint int 3 -7
setpoint real 64 1.25
frame 1 1 1 2
)";

TEST(StationCoreProgram, MemoriesHaveTheLayoutModulesRead) {
    Sandbox sandbox;
    StationCore core(sandbox, kLayoutSite);
    ASSERT_TRUE(core.Ready());
    const int n = 64;
    EXPECT_EQ(SegmentSize(22796), n * 80u + 2);
    EXPECT_EQ(SegmentSize(22799), 2100u);
    EXPECT_EQ(SegmentSize(22787), static_cast<size_t>(n));
    EXPECT_EQ(SegmentSize(22788), n * 2u);
    EXPECT_EQ(SegmentSize(22789), n * 8u);
    EXPECT_EQ(SegmentSize(22790), 256u);
    EXPECT_EQ(SegmentSize(22791), 256u);
    EXPECT_GE(msgget(22792, 0), 0);
    EXPECT_EQ(sandbox.ReadFile("/var/run/chanmgr.pid"), std::to_string(core.Pid()) + "\n");

    Bytes info = Segment(22796);
    Bytes texts = Segment(22799);
    auto text = [&](int t) { return t >= 1 ? CString(texts, (t - 1) * 21u, 21) : std::string(); };
    const size_t r1 = 0, r2 = 80, r5 = 4 * 80, r9 = 8 * 80;
    EXPECT_EQ(CString(info, r1, 31), "Porte");
    EXPECT_EQ(info[r1 + 52], 1);
    EXPECT_EQ(At<uint32_t>(info, r1 + 56), 0x49u);  // synoptic, timestamped, defined
    EXPECT_EQ(text(info[r1 + 60]), "Fermee");
    EXPECT_EQ(text(info[r1 + 61]), "Ouverte");

    EXPECT_EQ(CString(info, r2, 31), "Niveau");
    EXPECT_EQ(CString(info, r2 + 31, 21), "%.2f");
    EXPECT_EQ(info[r2 + 52], 2);
    EXPECT_EQ(text(info[r2 + 60]), "m");
    EXPECT_EQ(info[r2 + 61], 0);
    EXPECT_EQ(At<uint16_t>(info, r2 + 62), (1u << 0) | (1u << 2) | (1u << 15));
    EXPECT_EQ(At<float>(info, r2 + 64), 0.5f);
    EXPECT_EQ(At<float>(info, r2 + 68), -2.0f);
    EXPECT_EQ(At<int32_t>(info, r2 + 72), 3);
    EXPECT_EQ(At<int16_t>(info, r2 + 76), -4);

    EXPECT_EQ(info[r5 + 60], 7);  // shares the explicit text 7
    EXPECT_EQ(text(7), "kWh");
    EXPECT_EQ(At<uint32_t>(info, r5 + 56), 0x1801u);
    EXPECT_EQ(At<float>(info, r5 + 64), 1.0f);  // default coefficient
    EXPECT_EQ(info[r9 + 52], 26);               // raw type byte, read as type 0 by the modules
    EXPECT_EQ(At<uint16_t>(info, n * 80u), 9);  // last channel number

    EXPECT_TRUE(core.ReadBool(1));
    EXPECT_EQ(core.ReadShort(2), 10);
    EXPECT_EQ(core.ReadFloat(2), 3.0f);  // 10 x 0.5 - 2
    EXPECT_EQ(core.ReadLong(5), 123456);
    EXPECT_EQ(core.ReadIntSetpoint(3), -7);
    EXPECT_EQ(core.ReadRealSetpoint(64), 1.25f);

    EXPECT_NE(sandbox.ReadFile("/etc/orxapp.ini").find("CHANNEL_MAX_NB=64"), std::string::npos);
    EXPECT_NE(sandbox.ReadFile("/tmp/orxapp.ini").find("CHANNEL_MAX_NB=64"), std::string::npos);
}

TEST(StationCoreProgram, ChannelCountOfTheStationIniWins) {
    Sandbox sandbox;
    sandbox.WriteFile("/tmp/orxapp.ini", "[ENV]\nCHANNEL_MAX_NB=80\n");
    StationCore core(sandbox, "channels 60\nchannel 70 EANA \"Haut\"\n");
    ASSERT_TRUE(core.Ready());
    EXPECT_EQ(core.ChannelCount(), 80);
    EXPECT_NE(sandbox.ReadFile("/etc/orxapp.ini").find("CHANNEL_MAX_NB=80"), std::string::npos);
}

TEST(StationCoreProgram, ChannelWritesReachTheMemoriesAndTheJournalOnce) {
    Sandbox sandbox;
    StationCore core(sandbox);
    ASSERT_TRUE(core.Ready());

    // Writing -2 to channel 5 as a short: 26 bytes.
    Bytes body = Head(3, 41);
    ItemShort(body, 5, -2);
    End(body);
    ASSERT_EQ(body.size(), 26u);
    ASSERT_TRUE(Send(22792, body));
    JournalEntry entry = core.WaitForItem(3, 5, -2);
    ASSERT_EQ(entry.kind, "request") << core.Output();
    EXPECT_EQ(entry.msgno, 41);
    EXPECT_EQ(entry.pid, 0x1234);
    EXPECT_EQ(entry.size, 26);
    EXPECT_EQ(entry.sec, 1700000000);
    EXPECT_EQ(entry.usec, 250000);
    ASSERT_EQ(entry.items.size(), 1u);
    EXPECT_EQ(entry.items[0].kind, "short");
    EXPECT_TRUE(entry.items[0].applied);
    EXPECT_EQ(entry.items[0].target, 5);
    EXPECT_EQ(core.ReadShort(5), -2);

    // Each kind goes to its own memory; analogue channels also get raw x coef + offset.
    body = Head(3, 42);
    ItemBool(body, 1, true);
    ItemBool(body, 2, false);
    ItemShort(body, 3, 25);  // EANA coef 0.1
    ItemShort(body, 6, -1);  // unsigned EANA coef 0.01: 65535 x 0.01
    ItemLong(body, 8, -100000);
    ItemFloat(body, 7, 1.5f);
    ItemShort(body, 51, 9);  // beyond N = 50: noted, not applied
    End(body);
    ASSERT_TRUE(Send(22792, body));
    entry = core.WaitFor([](const JournalEntry& e) { return e.msgno == 42; });
    ASSERT_EQ(entry.items.size(), 7u) << entry.line;
    EXPECT_TRUE(core.ReadBool(1));
    EXPECT_FALSE(core.ReadBool(2));
    EXPECT_EQ(core.ReadShort(3), 25);
    EXPECT_FLOAT_EQ(core.ReadFloat(3), 2.5f);
    EXPECT_EQ(core.ReadShort(6), -1);
    EXPECT_FLOAT_EQ(core.ReadFloat(6), 655.35f);
    EXPECT_EQ(core.ReadLong(8), -100000);
    EXPECT_EQ(core.ReadFloat(7), 1.5f);
    EXPECT_FALSE(entry.items[6].applied);
    EXPECT_FALSE(entry.items[6].note.empty());
    EXPECT_EQ(entry.items[5].bits, "3FC00000");

    EXPECT_EQ(core.Count([](const JournalEntry& e) { return e.msgno == 41; }), 1);
    EXPECT_EQ(core.Count([](const JournalEntry& e) { return e.kind != "request"; }), 0);
}

TEST(StationCoreProgram, ABurstOfRequestsIsJournalledWholeAndInOrder) {
    Sandbox sandbox;
    StationCore core(sandbox);
    ASSERT_TRUE(core.Ready());
    const int count = 300;
    for (int i = 1; i <= count; ++i) {
        Bytes body = Head(3, static_cast<unsigned>(i));
        ItemLong(body, 5, i);
        End(body);
        // The queue holds a few hundred of these; wait for room rather than drop one.
        ASSERT_TRUE(WaitUntil([&] { return Send(22792, body); }, std::chrono::seconds(5)));
    }
    ASSERT_TRUE(WaitUntil([&] { return core.Journal().size() == static_cast<size_t>(count); }));
    std::vector<JournalEntry> journal = core.Journal();
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(journal[i].msgno, i + 1);
    }
    EXPECT_EQ(core.ReadLong(5), count);
}

TEST(StationCoreProgram, FrameValuesFollowTheFrameMap) {
    Sandbox sandbox;
    StationCore core(sandbox, R"(
channel 20 CPT "Index HC"
channel 21 CPT "Index HP"
channel 30 EANA "Puissance"
frame 1 1 1-2 20
frame 1 1 3 30
frame 2 1 1 21
)");
    ASSERT_TRUE(core.Ready());
    Bytes body = Head(10, 3);
    Be16(body, 1);  // communication
    Be16(body, 1);  // frame
    ItemLong(body, 1, 1000);
    ItemLong(body, 2, 2000);
    ItemFloat(body, 3, 2300.5f);
    ItemLong(body, 4, 7);  // no channel behind index 4
    End(body);
    ASSERT_TRUE(Send(22792, body));
    JournalEntry entry = core.WaitFor([](const JournalEntry& e) { return e.command == 10; });
    ASSERT_EQ(entry.kind, "request") << entry.line;
    EXPECT_EQ(entry.com, 1);
    EXPECT_EQ(entry.frame, 1);
    ASSERT_EQ(entry.items.size(), 4u);
    EXPECT_EQ(entry.items[0].target, 20);
    EXPECT_EQ(entry.items[1].target, 21);
    EXPECT_EQ(entry.items[2].target, 30);
    EXPECT_EQ(entry.items[3].target, 0);
    EXPECT_FALSE(entry.items[3].applied);
    EXPECT_EQ(core.ReadLong(20), 1000);
    EXPECT_EQ(core.ReadLong(21), 2000);
    EXPECT_EQ(core.ReadFloat(30), 2300.5f);
}

TEST(StationCoreProgram, SetpointsAndTimeSetting) {
    Sandbox sandbox;
    StationCore core(sandbox);
    ASSERT_TRUE(core.Ready());
    Bytes body = Head(12, 5);
    ItemShort(body, 128, -300);
    ItemFloat(body, 64, 0.25f);
    ItemShort(body, 129, 1);  // no such set-point
    ItemLong(body, 2, 1);     // set-points take short or float
    End(body);
    ASSERT_TRUE(Send(22792, body));
    JournalEntry entry = core.WaitFor([](const JournalEntry& e) { return e.command == 12; });
    ASSERT_EQ(entry.items.size(), 4u) << entry.line;
    EXPECT_TRUE(entry.items[0].applied);
    EXPECT_TRUE(entry.items[1].applied);
    EXPECT_FALSE(entry.items[2].applied);
    EXPECT_FALSE(entry.items[3].applied);
    EXPECT_EQ(core.ReadIntSetpoint(128), -300);
    EXPECT_EQ(core.ReadRealSetpoint(64), 0.25f);

    Bytes time = Head(54, 6);
    Be32(time, 1767225600u);
    ASSERT_TRUE(Send(22792, time));
    entry = core.WaitFor([](const JournalEntry& e) { return e.command == 54; });
    EXPECT_EQ(entry.kind, "request") << entry.line;
    EXPECT_EQ(entry.time, 1767225600);
}

TEST(StationCoreProgram, MalformedRequestsAreJournalledAsErrorsAndDropped) {
    Sandbox sandbox;
    StationCore core(sandbox);
    ASSERT_TRUE(core.Ready());

    auto good = [] {
        Bytes b = Head(3, 9);
        ItemShort(b, 3, 99);
        return b;
    };
    struct Case {
        const char* what;
        Bytes body;
        long type;
    };
    std::vector<Case> cases;
    Bytes b = Head(3, 9);
    b.resize(15);
    cases.push_back({"shorter than a header", b, 1});
    b = good();
    End(b);
    b[0] = 0xA5;
    b[3] = 0x05;
    cases.push_back({"wrong marker", b, 1});
    b = good();
    End(b);
    b[4] = b[5] = 0;
    cases.push_back({"message number 0", b, 1});
    cases.push_back({"no terminator", good(), 1});
    b = good();
    b.insert(b.end(), {0x00, 0x00});
    cases.push_back({"terminator cut short", b, 1});
    b = Head(3, 9);
    b.insert(b.end(), {0x00, 0x03, 0x02, 0x00});
    cases.push_back({"short item cut short", b, 1});
    b = Head(3, 9);
    b.insert(b.end(), {0x00, 0x03, 0x09, 0x00, 0x00, 0x01, 0x00});
    cases.push_back({"unknown kind", b, 1});
    b = good();
    End(b);
    b.push_back(0);
    cases.push_back({"byte after the terminator", b, 1});
    b = good();
    End(b);
    b[16] = 99;
    cases.push_back({"unknown command", b, 1});
    b = Head(10, 9);
    b.push_back(0);
    cases.push_back({"frame numbers cut short", b, 1});
    b = good();
    End(b);
    cases.push_back({"wrong message type", b, 2});
    b = Head(3, 9);
    for (int i = 0; i < 100; ++i) {
        ItemLong(b, 3, 99);
    }
    End(b);
    cases.push_back({"longer than 512 bytes", b, 1});

    for (const Case& c : cases) {
        ASSERT_TRUE(Send(22792, c.body, c.type)) << c.what;
    }
    ASSERT_TRUE(WaitUntil([&] {
        return core.Count([](const JournalEntry& e) { return e.kind == "error"; }) ==
               static_cast<int>(cases.size());
    })) << sandbox.ReadFile("/var/log/stationcore.journal");
    std::vector<JournalEntry> journal = core.Journal();
    ASSERT_EQ(journal.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(journal[i].kind, "error") << cases[i].what << ": " << journal[i].line;
        EXPECT_FALSE(journal[i].error.empty()) << cases[i].what;
        EXPECT_EQ(journal[i].size, static_cast<long>(cases[i].body.size())) << cases[i].what;
    }
    EXPECT_EQ(core.ReadShort(3), 0) << "nothing of a refused request is applied";

    // Still serving.
    b = good();
    End(b);
    ASSERT_TRUE(Send(22792, b));
    EXPECT_EQ(core.WaitForItem(3, 3, 99).kind, "request");
    EXPECT_EQ(core.ReadShort(3), 99);
}

TEST(StationCoreProgram, ModmgrNoticesAreJournalled) {
    Sandbox sandbox;
    StationCore core(sandbox);
    ASSERT_TRUE(core.Ready());
    Bytes notice = Head(40, 1, 0x0042);
    notice.resize(128, 0);  // the drivers send the whole 128-byte message
    ASSERT_TRUE(Send(47003, notice));
    JournalEntry entry = core.WaitFor([](const JournalEntry& e) { return e.queue == 47003; });
    EXPECT_EQ(entry.kind, "modmgr") << entry.line;
    EXPECT_EQ(entry.command, 40);
    EXPECT_EQ(entry.pid, 0x42);
    EXPECT_EQ(entry.size, 128);

    Bytes broken = Head(40, 2);
    broken.resize(10);
    ASSERT_TRUE(Send(47003, broken));
    entry =
        core.WaitFor([](const JournalEntry& e) { return e.queue == 47003 && e.kind == "error"; });
    EXPECT_EQ(entry.size, 10) << entry.line;
}

TEST(StationCoreProgram, CommunicationLogReportsAreJournalled) {
    Sandbox sandbox;
    StationCore core(sandbox);
    ASSERT_TRUE(core.Ready());
    // The time-setting report: kind 2, event 3 with data byte 1 = 5, the time in bytes 2-5.
    Bytes report;
    Be32(report, 0xA55A5904u);
    Be16(report, 9);
    Be16(report, 0x0777);
    Be32(report, 1700000000u);
    Be32(report, 0);
    report.push_back(2);
    Be16(report, 3 * 256 + 5);
    Be32(report, 1767225600u);
    report.resize(128, 0);
    ASSERT_TRUE(Send(22794, report));
    JournalEntry entry = core.WaitFor([](const JournalEntry& e) { return e.queue == 22794; });
    EXPECT_EQ(entry.kind, "commlog") << entry.line;
    EXPECT_EQ(entry.msgno, 9);
    EXPECT_EQ(entry.pid, 0x0777);
    EXPECT_EQ(entry.report, 2);
    EXPECT_EQ(entry.event, 3);
    EXPECT_EQ(entry.data1, 5);
    EXPECT_EQ(entry.data, 1767225600);

    report.resize(20);
    ASSERT_TRUE(Send(22794, report));
    entry =
        core.WaitFor([](const JournalEntry& e) { return e.queue == 22794 && e.kind == "error"; });
    EXPECT_NE(entry.error.find("shorter than a header and a report"), std::string::npos)
        << entry.line;
}

TEST(StationCoreProgram, SigtermRemovesEverythingItCreated) {
    Sandbox sandbox;
    auto launched = std::chrono::steady_clock::now();
    StationCore core(sandbox);
    ASSERT_TRUE(core.Ready());
    // Tests and the demo start a core each: it must be up at once.
    EXPECT_LT(std::chrono::steady_clock::now() - launched, std::chrono::seconds(1));
    // A message sent just before the stop is still journalled.
    Bytes body = Head(3, 77);
    ItemBool(body, 1, true);
    End(body);
    ASSERT_TRUE(Send(22792, body));
    auto start = std::chrono::steady_clock::now();
    ProgramResult result = core.Stop();
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(result.exited) << result.output;
    EXPECT_EQ(result.status, 0);
    EXPECT_LT(took, std::chrono::milliseconds(500));
    for (int key : {22796, 22799, 22787, 22788, 22789, 22790, 22791}) {
        EXPECT_LT(shmget(key, 0, 0), 0) << "memory " << key;
    }
    EXPECT_LT(msgget(22792, 0), 0);
    EXPECT_LT(msgget(47003, 0), 0);
    EXPECT_LT(msgget(22794, 0), 0);
    EXPECT_FALSE(sandbox.Exists("/var/run/chanmgr.pid"));
    EXPECT_EQ(core.Count([](const JournalEntry& e) { return e.msgno == 77; }), 1);
}

TEST(StationCoreProgram, InterruptAndHangupStopCleanlyToo) {
    for (int signal : {SIGINT, SIGHUP}) {
        Sandbox sandbox;
        StationCore core(sandbox);
        ASSERT_TRUE(core.Ready());
        ASSERT_EQ(kill(core.Pid(), signal), 0);
        ASSERT_TRUE(WaitUntil([&] { return !sandbox.Exists("/var/run/chanmgr.pid"); }))
            << "signal " << signal;
        ProgramResult result = core.Stop();
        EXPECT_TRUE(result.exited) << "signal " << signal;
        EXPECT_EQ(result.status, 0) << "signal " << signal;
        EXPECT_LT(shmget(22796, 0, 0), 0) << "signal " << signal;
        EXPECT_LT(msgget(22792, 0), 0) << "signal " << signal;
    }
}

TEST(StationCoreProgram, KeepsStationQueuesItFoundAndReplacesStaleObjects) {
    Sandbox sandbox;
    int modmgr = msgget(47003, IPC_CREAT | 0777);
    ASSERT_GE(modmgr, 0);
    int commlog = msgget(22794, IPC_CREAT | 0777);
    ASSERT_GE(commlog, 0);
    int stale = shmget(22787, 10, IPC_CREAT | 0666);  // too small for 50 channels
    ASSERT_GE(stale, 0);
    {
        StationCore core(sandbox);
        ASSERT_TRUE(core.Ready());
        EXPECT_EQ(SegmentSize(22787), 50u);
        EXPECT_EQ(core.Stop().status, 0);
    }
    EXPECT_EQ(msgget(47003, 0), modmgr);
    EXPECT_EQ(msgget(22794, 0), commlog);
    msgctl(modmgr, IPC_RMID, nullptr);
    msgctl(commlog, IPC_RMID, nullptr);
}

TEST(StationCoreProgram, RefusesABadSiteOrASecondCore) {
    Sandbox sandbox;
    sandbox.WriteFile("/sim/bad.site", "channel 1 ETOR \"A\"\nchannel 1 EANA \"B\"\nwhat 3\n");
    ProgramResult result =
        RunProgram(ProgramPath("stationcore"), {"Site=" + sandbox.Path("/sim/bad.site")});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("bad.site:2: channel 1 already declared on line 1"),
              std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("bad.site:3: unknown line \"what\""), std::string::npos);
    EXPECT_LT(shmget(22796, 0, 0), 0);

    StationCore core(sandbox);
    ASSERT_TRUE(core.Ready());
    result = RunProgram(ProgramPath("stationcore"), {"Site=" + core.SitePath()});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("another station core is running"), std::string::npos);
    EXPECT_EQ(SegmentSize(22796), 50 * 80u + 2) << "the running core keeps its memories";

    EXPECT_EQ(RunProgram(ProgramPath("stationcore"), {"Bogus=1"}).status, 2);
}

TEST(StationCoreProgram, StartsInAnEmptyStationRootAndSaysWhyItCannotStart) {
    Sandbox sandbox;
    for (const char* dir : {"/var", "/tmp", "/etc"}) {
        std::filesystem::remove_all(sandbox.Path(dir));
    }
    {
        StationCore core(sandbox);
        ASSERT_TRUE(core.Ready()) << core.Output();
        EXPECT_TRUE(sandbox.Exists("/var/log/stationcore.journal"));
        EXPECT_NE(sandbox.ReadFile("/tmp/orxapp.ini").find("CHANNEL_MAX_NB=50"), std::string::npos);
        EXPECT_NE(sandbox.ReadFile("/etc/orxapp.ini").find("CHANNEL_MAX_NB=50"), std::string::npos);
    }

    // A journal that cannot be made: the person who started the core is told why.
    sandbox.WriteFile("/sim/plain", "a file, not a folder\n");
    sandbox.WriteFile("/sim/ok.site", "channel 1 ETOR \"A\"\n");
    ProgramResult result = RunProgram(
        ProgramPath("stationcore"),
        {"Site=" + sandbox.Path("/sim/ok.site"), "Journal=" + sandbox.Path("/sim/plain/journal")});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("stationcore: cannot open journal"), std::string::npos)
        << result.output;
    EXPECT_LT(shmget(22796, 0, 0), 0) << "nothing is left behind";
    EXPECT_LT(msgget(22792, 0), 0);
}

TEST(StationCoreProgram, PrintsChannelsForAPerson) {
    Sandbox sandbox;
    StationCore core(sandbox, R"(
channel 1 ETOR "Porte armoire" state0="Fermee" state1="Ouverte"
channel 3 EANA "Niveau" unit="m" format="%.2f" coef=0.01 value=215
channel 4 CPT "Index" unit="kWh" format="%.0f" value=42
channel 5 EANA "Mauvais format" format="%s%n"
)");
    ASSERT_TRUE(core.Ready());
    Bytes body = Head(3, 1);
    ItemBool(body, 1, true);
    End(body);
    ASSERT_TRUE(Send(22792, body));
    ASSERT_EQ(core.WaitForItem(3, 1, 1).kind, "request");

    ProgramResult live = RunProgram(ProgramPath("stationcore"), {"Print=1"});
    EXPECT_EQ(live.status, 0) << live.output;
    EXPECT_NE(live.output.find("Porte armoire"), std::string::npos) << live.output;
    EXPECT_NE(live.output.find("ETOR     1 Ouverte"), std::string::npos) << live.output;
    EXPECT_NE(live.output.find("EANA     2.15 m"), std::string::npos) << live.output;
    EXPECT_NE(live.output.find("CPT      42 kWh"), std::string::npos) << live.output;
    EXPECT_NE(live.output.find("Mauvais format                  EANA     0.00"), std::string::npos)
        << live.output;

    ProgramResult fromSite =
        RunProgram(ProgramPath("stationcore"), {"Site=" + core.SitePath(), "Print=1"});
    EXPECT_EQ(fromSite.status, 0);
    EXPECT_NE(fromSite.output.find("ETOR     0 Fermee"), std::string::npos) << fromSite.output;
}

TEST(StationCoreProgram, SampleSiteStarts) {
    Sandbox sandbox;
    std::ifstream in(SourcePath("sim/sites/sample.site"));
    std::stringstream site;
    site << in.rdbuf();
    ASSERT_FALSE(site.str().empty());
    StationCore core(sandbox, site.str());
    ASSERT_TRUE(core.Ready());
    EXPECT_EQ(core.ChannelCount(), 100);
}

}  // namespace

}  // namespace stationcore_test
