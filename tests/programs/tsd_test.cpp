// Timestamped data end to end: this test process is the module. Channel writes and reports go
// to the running station core stand-in, whose tsd half logs them; the client reads them back
// in order. Readers in child processes share the semaphore: the second waits for the first,
// and one killed while holding it does not block the next.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "conf.h"
#include "plcutilities.h"
#include "sandbox.h"
#include "stationcore_fixture.h"
#include "timestampedutil.h"

// Its own namespace: the program tests are compiled in batches.
namespace tsd_test {

namespace {

constexpr uint16_t kDoorAddress = 0x1000;   // channel 1, ETOR
constexpr uint16_t kLevelAddress = 0x1602;  // channel 3, EANA
constexpr uint16_t kIndexAddress = 0x3008;  // channel 5, CPT

const char* kSite = R"(
channel 1 ETOR "Porte" flags=timestamped memo=4
channel 3 EANA "Niveau" flags=timestamped memo=5
channel 5 CPT "Index" flags=timestamped
channel 7 EANA "Libre"
line memo 3 1600000000 40
line station 1599999999 5 9 repeat=2
line comm 1599999998 0x0102 77
)";

struct EventLine {
    uint32_t time;
    uint16_t word;
    uint32_t value;
};

EventLine Event(TimeStampedWork& work, int i) {
    const unsigned char* at = GetTimeStampedEvt(&work, i);
    EventLine line{};
    std::memcpy(&line.time, at, 4);
    std::memcpy(&line.word, at + 4, 2);
    std::memcpy(&line.value, at + 8, 4);
    return line;
}

uint32_t MemoValue(TimeStampedWork& work, int i) {
    uint32_t value;
    std::memcpy(&value, GetTimeStampedData(&work, i) + 4, 4);
    return value;
}

// A communication-log report as the station sends it on queue 22794.
void Report(uint8_t code, uint8_t data1, uint32_t data) {
    struct {
        long type;
        uint8_t body[64];
    } m{};
    m.type = 1;
    const uint8_t head[] = {0xA5,
                            0x5A,
                            0x59,
                            0x04,
                            0,
                            9,
                            0x12,
                            0x34,
                            0x65,
                            0x53,
                            0xF1,
                            0x00,
                            0,
                            0,
                            0,
                            0,
                            'C',
                            code,
                            data1,
                            static_cast<uint8_t>(data >> 24),
                            static_cast<uint8_t>(data >> 16),
                            static_cast<uint8_t>(data >> 8),
                            static_cast<uint8_t>(data)};
    std::memcpy(m.body, head, sizeof head);
    ASSERT_EQ(msgsnd(msgget(22794, 0), &m, sizeof head, IPC_NOWAIT), 0);
}

// Waits for a child within a bound, killing it after; its exit status, or -1.
int WaitChild(pid_t pid, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    int status = 0;
    bool ended = WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, bound);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Reads one byte from a pipe within 5 s.
bool Await(int fd) {
    pollfd p{fd, POLLIN, 0};
    char c;
    return poll(&p, 1, 5000) == 1 && read(fd, &c, 1) == 1;
}

// A child that takes the semaphore, says so on `taken`, and gives it back when told on `go`
// (or never, if it is killed first).
pid_t Holder(int taken, int go) {
    pid_t pid = fork();
    if (pid == 0) {
        int rc = getSemaphore();
        char c = rc == 0 ? 'T' : 'F';
        (void)!write(taken, &c, 1);
        (void)!read(go, &c, 1);
        _exit(releaseSemaphore() == 0 ? 0 : 1);
    }
    return pid;
}

// A child that reads a table and ends with the number of lines (or 200 + the failure).
pid_t Reader(uint16_t id) {
    pid_t pid = fork();
    if (pid == 0) {
        TimeStampedWork work{};
        static unsigned char buffer[4096];
        if (TimeStampedDataInit(&work, buffer, sizeof buffer, sizeof work) != 0) {
            _exit(201);
        }
        int n = TimeStampedDataRead(&work, id);
        _exit(n >= 0 ? n : 200 - n);
    }
    return pid;
}

int Semaphore(int command) {
    return semctl(semget(47001, 1, 0), 0, command);
}

TEST(TsdStandIn, LinesOfWritesAndReportsComeBackInOrder) {
    Sandbox sandbox;
    StationCore core(sandbox, kSite);
    ASSERT_TRUE(core.Ready());
    // The core wrote the memo sizes it keeps; the modules read the same.
    EXPECT_EQ(GetMemoSize(kDoorAddress), 4);
    EXPECT_EQ(GetMemoSize(kLevelAddress), 5);
    EXPECT_EQ(GetMemoSize(kIndexAddress), 3600);
    EXPECT_EQ(GetMemoNb(), 3);

    PlcInitMsg();
    for (int v = 41; v <= 47; ++v) {
        PlcWriteShort(3, v);
    }
    PlcWriteShort(7, 5);  // not time-stamped: logs nothing
    PlcWriteBool(1, 1);
    PlcWriteBool(1, 1);  // no change: a memo line only
    PlcWriteLong(5, 123456);
    Report(0x21, 0x05, 0xCAFE);
    ASSERT_TRUE(WaitUntil([&] {
        return core.Count([](const JournalEntry& e) { return e.kind == "request"; }) == 11 &&
               core.Count([](const JournalEntry& e) { return e.kind == "commlog"; }) == 1;
    }));
    PlcCloseMsg();

    TimeStampedWork work{};
    unsigned char buffer[3600 * 8];
    ASSERT_EQ(TimeStampedDataInit(&work, buffer, sizeof buffer, sizeof work), 0);

    ASSERT_EQ(TimeStampedDataRead(&work, kLevelAddress), 5);
    EXPECT_EQ(work.lastTab, 5);
    EXPECT_EQ(work.lastCurrent, 3);  // 8 lines into 5 slots
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(MemoValue(work, i), 43u + i);
    }
    ASSERT_EQ(TimeStampedDataRead(&work, kDoorAddress), 2);
    ASSERT_EQ(TimeStampedDataRead(&work, kIndexAddress), 1);
    EXPECT_EQ(MemoValue(work, 0), 123456u);

    ASSERT_EQ(TimeStampedDataRead(&work, timestamped::kStationLog), 2 + 7 + 1 + 1);
    EXPECT_EQ(Event(work, 0).time, 1599999999u);
    EXPECT_EQ(Event(work, 1).time, 1600000000u);
    EXPECT_EQ(Event(work, 1).word, kIndexAddress);
    EXPECT_EQ(Event(work, 1).value, 10u);
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(Event(work, 2 + i).word, kLevelAddress);
        EXPECT_EQ(Event(work, 2 + i).value, 41u + i);
        EXPECT_GE(Event(work, 2 + i).time, Event(work, 1 + i).time);
    }
    EXPECT_EQ(Event(work, 9).word, kDoorAddress);
    EXPECT_EQ(Event(work, 9).value, 1u);
    EXPECT_EQ(Event(work, 10).word, kIndexAddress);

    ASSERT_EQ(TimeStampedDataRead(&work, timestamped::kCommLog), 2);
    EXPECT_EQ(Event(work, 0).word, 0x0102);
    EXPECT_EQ(Event(work, 0).value, 77u);
    EXPECT_EQ(Event(work, 1).time, 0x6553F100u);
    EXPECT_EQ(Event(work, 1).word, 0x2105);
    EXPECT_EQ(Event(work, 1).value, 0xCAFEu);

    // Every request journalled, answered to this process's own pid.
    JournalEntry read = core.WaitFor([](const JournalEntry& e) {
        return e.kind == "tsd" && e.journal == 2 && e.operation == 1;
    });
    EXPECT_EQ(read.to, getpid());
    EXPECT_EQ(read.tab, 200);
    EXPECT_EQ(read.valid, 2);
    TimeStampedDataFree(&work);
}

TEST(TsdStandIn, SecondReaderWaitsWhileTheFirstHoldsTheSemaphore) {
    Sandbox sandbox;
    StationCore core(sandbox, kSite);
    ASSERT_TRUE(core.Ready());
    int taken[2], go[2];
    ASSERT_EQ(pipe(taken), 0);
    ASSERT_EQ(pipe(go), 0);
    pid_t first = Holder(taken[1], go[0]);
    ASSERT_TRUE(Await(taken[0]));
    pid_t second = Reader(kLevelAddress);
    // The second reader waits for the semaphore, and has asked tsd nothing yet.
    EXPECT_TRUE(WaitUntil([&] { return sandbox.LogHas("filemsg.lib : semaphore taken, waiting"); },
                          std::chrono::seconds(5)));
    EXPECT_EQ(core.Count([](const JournalEntry& e) { return e.kind == "tsd"; }), 0);
    ASSERT_EQ(write(go[1], "g", 1), 1);
    EXPECT_EQ(WaitChild(first), 0);
    EXPECT_EQ(WaitChild(second), 1) << "the preloaded memo line";
    EXPECT_EQ(core.Count([](const JournalEntry& e) { return e.kind == "tsd"; }), 1);
    EXPECT_EQ(Semaphore(GETVAL), 1);
}

TEST(TsdStandIn, ReaderKilledHoldingTheSemaphoreDoesNotBlockTheNext) {
    Sandbox sandbox;
    StationCore core(sandbox, kSite);
    ASSERT_TRUE(core.Ready());
    int taken[2], go[2];
    ASSERT_EQ(pipe(taken), 0);
    ASSERT_EQ(pipe(go), 0);
    pid_t holder = Holder(taken[1], go[0]);
    ASSERT_TRUE(Await(taken[0]));
    EXPECT_EQ(Semaphore(GETVAL), 0);
    kill(holder, SIGKILL);
    EXPECT_EQ(WaitChild(holder), -1);
    EXPECT_EQ(Semaphore(GETVAL), 1) << "given back by the kernel";
    EXPECT_EQ(WaitChild(Reader(timestamped::kStationLog)), 2);
}

TEST(TsdStandIn, MisbehavesOnCueFromCommandLineSiteAndFifo) {
    Sandbox sandbox;
    std::string fifo = sandbox.Path("/sim/tsd.control");
    StationCore core(sandbox, std::string(kSite) + "cue badcurrent\n",
                     {"Cue=badvalid", "Control=" + fifo});
    ASSERT_TRUE(core.Ready());
    struct stat st {};
    ASSERT_EQ(stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    TimeStampedWork work{};
    unsigned char buffer[256];
    ASSERT_EQ(TimeStampedDataInit(&work, buffer, sizeof buffer, sizeof work), 0);
    EXPECT_EQ(TimeStampedDataHeaderRead(&work, kLevelAddress), 0);
    EXPECT_TRUE(sandbox.LogHas("filemsg.lib : error on valid lines(6>5)", "err"));
    EXPECT_EQ(TimeStampedDataHeaderRead(&work, kLevelAddress), 1);

    {
        int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        const char cue[] = "badcurrent\n";
        ASSERT_EQ(write(fd, cue, sizeof cue - 1), static_cast<ssize_t>(sizeof cue - 1));
        close(fd);
    }
    ASSERT_TRUE(WaitUntil([&] { return sandbox.LogHas("cue badcurrent", "info"); }));
    EXPECT_EQ(TimeStampedDataHeaderRead(&work, kDoorAddress), 0);
    EXPECT_TRUE(sandbox.LogHas("filemsg.lib : error on current position(5>4)", "err"));

    std::vector<JournalEntry> tsd;
    for (const JournalEntry& e : core.Journal()) {
        if (e.kind == "tsd") {
            tsd.push_back(e);
        }
    }
    ASSERT_EQ(tsd.size(), 3u);
    EXPECT_EQ(tsd[0].cue, "badvalid,badcurrent");
    EXPECT_EQ(tsd[1].cue, "");
    EXPECT_EQ(tsd[2].cue, "badcurrent");
    TimeStampedDataFree(&work);
}

TEST(TsdStandIn, RefusesASiteLineForAChannelWithoutMemo) {
    Sandbox sandbox;
    sandbox.WriteFile("/sim/stationcore.site", std::string(kSite) + "line memo 7 1600000000 1\n");
    ProgramResult result =
        RunProgram(ProgramPath("stationcore"), {"Site=" + sandbox.Path("/sim/stationcore.site")},
                   std::chrono::seconds(5));
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find(":9: channel 7 has no memo"), std::string::npos) << result.output;
    EXPECT_FALSE(sandbox.Exists("/tmp/memo.size"));
}

}  // namespace

}  // namespace tsd_test
