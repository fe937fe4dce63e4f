// The timestamped-data client against the stand-in's tsd half run in this process: the server
// answers whenever the client sleeps on the fake clock, so that a 10 s silence takes no time.
#include "timestampedutil.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "conf.h"
#include "fakeclock.h"
#include "logdebug.h"
#include "sandbox.h"
#include "tsdcore.h"

namespace {

constexpr uint16_t kMemo = 0x1602;       // a memo of 10 lines
constexpr uint16_t kSmallMemo = 0x3004;  // a memo of 3 lines
constexpr uint16_t kNoMemo = 0x1234;

uint32_t Word32(const unsigned char* at) {
    uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

uint16_t Word16(const unsigned char* at) {
    uint16_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

int SemaphoreValue() {
    return semctl(semget(47001, 1, 0), 0, GETVAL);
}

class TimestampedClient : public ::testing::Test {
  protected:
    void SetUp() override {
        tsdsim::Layout layout;
        layout.memos = {{kMemo, 10}, {kSmallMemo, 3}};
        std::string error;
        ASSERT_EQ(server.Open(layout, error), 0) << error;
        clock.OnSleep([this] { server.Poll(clock.ElapsedMs(), nullptr); });
        ASSERT_EQ(TimeStampedDataInit(&work, buffer, sizeof buffer, sizeof work), 0);
    }
    void TearDown() override { TimeStampedDataFree(&work); }

    void Cue(const std::string& cue) {
        std::string error;
        ASSERT_EQ(tsdsim::ApplyCue(cue, server.cues(), error), 0) << error;
    }

    Sandbox sandbox;
    FakeClock clock;
    tsdsim::Server server;
    TimeStampedWork work{};
    unsigned char buffer[10 * 12];
};

TEST_F(TimestampedClient, HeaderReadTellsValidLinesOrWhyNone) {
    struct Case {
        const char* what;
        const char* cue;  // "" for none
        int id;
        int result;
        const char* log;
        long long minElapsedMs;
    };
    const Case cases[] = {
        {"station log", "", 1, 4, "filemsg.lib : header Valid=4, Current=4, Tab=200", 0},
        {"memo", "", kMemo, 2, "filemsg.lib : header Valid=2, Current=2, Tab=10", 0},
        {"no memo", "", kNoMemo, 0, "filemsg.lib : pas de memo pour voie 1234", 0},
        {"empty log", "", 3, 0, "filemsg.lib : header Valid=0, Current=0, Tab=200", 0},
        {"valid above tab", "badvalid", 1, 0, "filemsg.lib : error on valid lines(201>200)", 0},
        {"current above tab", "badcurrent", kMemo, 0,
         "filemsg.lib : error on current position(11>10)", 0},
        {"silence", "silent", 1, -1,
         "filemsg.lib : pas de reponse de tsd a la demande d'info pour 1", 10000},
    };
    for (int i = 0; i < 4; ++i) {
        server.AppendStation(1700000000 + i, 0x1000, i);
    }
    server.AppendMemo(kMemo, 1700000000, 5);
    server.AppendMemo(kMemo, 1700000001, 6);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.cue[0] != 0) {
            Cue(c.cue);
        }
        long long before = clock.ElapsedMs();
        EXPECT_EQ(TimeStampedDataHeaderRead(&work, c.id), c.result);
        EXPECT_TRUE(sandbox.LogHas(c.log)) << sandbox.Log();
        EXPECT_GE(clock.ElapsedMs() - before, c.minElapsedMs);
        EXPECT_EQ(work.journalId, c.id);
    }
    // The silence is a timeout after 100 looks, with the error of the last one.
    EXPECT_TRUE(sandbox.LogHas("filemsg.lib : timeout of receive msg (42)", "err"));
    // After an impossible current position the next read starts from position 1.
    Cue("badcurrent");
    EXPECT_EQ(TimeStampedDataHeaderRead(&work, kMemo), 0);
    EXPECT_EQ(work.lastCurrent, 1);
    EXPECT_EQ(work.lastValid, 0);
}

TEST_F(TimestampedClient, ReadCopiesValidLinesOldestFirstAfterTheTableWrapped) {
    for (uint32_t i = 1; i <= 13; ++i) {
        server.AppendMemo(kMemo, 1700000000 + i, 100 + i);
    }
    for (uint32_t i = 1; i <= 2; ++i) {
        server.AppendStation(1700000100 + i, static_cast<uint16_t>(0x1600 + i), 0xFFFFFFF0u + i);
    }
    ASSERT_EQ(TimeStampedDataRead(&work, kMemo), 10);
    EXPECT_EQ(work.lastTab, 10);
    EXPECT_EQ(work.lastCurrent, 3);
    EXPECT_EQ(work.bytesCopied, 80);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(Word32(GetTimeStampedData(&work, i)), 1700000004u + i);
        EXPECT_EQ(Word32(GetTimeStampedData(&work, i) + 4), 104u + i);
    }
    ASSERT_EQ(TimeStampedDataRead(&work, 1), 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(Word32(GetTimeStampedEvt(&work, i)), 1700000101u + i);
        EXPECT_EQ(Word16(GetTimeStampedEvt(&work, i) + 4), 0x1601 + i);
        EXPECT_EQ(Word32(GetTimeStampedEvt(&work, i) + 8), 0xFFFFFFF1u + i);
    }
    EXPECT_TRUE(sandbox.LogHas(
        "filemsg.lib :semaphor for 1 Modbus=0 (Lines=2 Current=2 Tab=200 Size=24) Time=10 ms"));
    EXPECT_EQ(SemaphoreValue(), 1);
}

TEST_F(TimestampedClient, ReadsThatFindNothingOrFailLeaveTheSemaphoreFree) {
    struct Case {
        const char* what;
        const char* cue;
        int id;
        int result;
        const char* log;
        bool held = false;  // by a tsd that died holding it (no undo): never given back
    };
    const Case cases[] = {
        {"no memo", "", kNoMemo, 0, "filemsg.lib : no lines"},
        {"empty table", "", 3, 0,
         "filemsg.lib :semaphor for 3 Modbus=0 (Lines=0 Current=0 Tab=200 Size=0) Time=10 ms"},
        {"silence", "silent", kMemo, -1, "filesmg.lib : no answer of tsd for 1602"},
        // 4 memo lines fit the buffer of 120 bytes; the log's 11 lines (132 bytes) do not, and
        // the module carries on.
        {"larger than the buffer", "", 1, -1,
         "filemsg.lib : overflow size of buffer 132>120 (NbValidLines=11)"},
        {"memo after the overflow", "", kSmallMemo, 3,
         "filemsg.lib :semaphor for 3004 Modbus=0 (Lines=3 Current=2 Tab=3 Size=24) Time=10 ms"},
        {"semaphore never given back", "", kSmallMemo, -1,
         "filemsg.lib : semaphore still taken after 60000 ms", true},
    };
    for (int i = 0; i < 11; ++i) {
        server.AppendStation(1700000000 + i, 0x1000, i);
    }
    for (int i = 0; i < 5; ++i) {
        server.AppendMemo(kSmallMemo, 1700000000 + i, i);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.cue[0] != 0) {
            Cue(c.cue);
        }
        std::memset(buffer, 0xAA, sizeof buffer);
        const long long start = clock.ElapsedMs();
        semctl(semget(47001, 1, 0), 0, SETVAL, c.held ? 0 : 1);
        EXPECT_EQ(TimeStampedDataRead(&work, c.id), c.result);
        EXPECT_TRUE(sandbox.LogHas(c.log)) << sandbox.Log();
        EXPECT_EQ(SemaphoreValue(), c.held ? 0 : 1);
        EXPECT_LE(clock.ElapsedMs() - start, 61000) << "bounded";
        if (c.result <= 0) {
            EXPECT_EQ(buffer[0], 0xAA) << "nothing copied";
        }
    }
}

TEST_F(TimestampedClient, LateAnswerIsCleanedAndLoggedAtTheNextExchange) {
    server.AppendMemo(kMemo, 1700000000, 7);
    Cue("late 11000");
    EXPECT_EQ(TimeStampedDataHeaderRead(&work, 1), -1);
    // The answer arrives after the client gave up: it must not pass for the next one's.
    clock.AdvanceMs(2000);
    server.Poll(clock.ElapsedMs(), nullptr);
    EXPECT_EQ(TimeStampedDataHeaderRead(&work, kMemo), 1);
    EXPECT_EQ(work.lastTab, 10);
    EXPECT_TRUE(sandbox.LogHas("filemsg.lib : cleaning of on message of 32 byte", "err"));
}

TEST_F(TimestampedClient, FloodOfStaleAnswersFailsOneExchangeAndIsGoneAfter) {
    Cue("flood 300");
    EXPECT_EQ(TimeStampedDataHeaderRead(&work, 1), 0);
    EXPECT_EQ(TimeStampedDataHeaderRead(&work, kMemo), -1);
    EXPECT_TRUE(sandbox.LogHas("filemsg.lib : too many message of tsd to clean", "err"));
    // 257 were taken; the 43 left go at the next exchange, which then gets its answer.
    EXPECT_EQ(TimeStampedDataHeaderRead(&work, kMemo), 0);
    EXPECT_EQ(work.lastTab, 10);
    msqid_ds ds{};
    ASSERT_EQ(msgctl(work.msgId, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.msg_qnum, 0u);
}

TEST_F(TimestampedClient, EraseSelectorsNameTheirTables) {
    struct Case {
        int selector;
        std::vector<uint16_t> emptied;
        const char* log;
    };
    const Case cases[] = {
        {0, {1}, "Snd TimeStampedData clear(6,1,0)=34"},
        {1, {1}, "Snd TimeStampedData clear(6,1,0)=34"},
        {2, {3}, "Snd TimeStampedData clear(6,2,0)=34"},
        {3, {3}, "Snd TimeStampedData clear(6,2,0)=34"},
        {kMemo, {kMemo}, "Snd TimeStampedData clear(6,0,5634)=34"},
        {-1, {1, 3, kMemo, kSmallMemo}, "Snd TimeStampedData clear(6,4,0)=34"},
    };
    const uint16_t tables[] = {1, 3, kMemo, kSmallMemo};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.selector);
        server.AppendStation(1700000000, 0x1000, 1);
        server.AppendComm(1700000000, 0x0102, 3);
        server.AppendMemo(kMemo, 1700000000, 1);
        server.AppendMemo(kSmallMemo, 1700000000, 1);
        EXPECT_EQ(TimeStampedDataErase(&work, c.selector), 0);
        EXPECT_TRUE(sandbox.LogHas(c.log)) << sandbox.Log();
        server.Poll(clock.ElapsedMs(), nullptr);
        for (uint16_t id : tables) {
            bool emptied = std::find(c.emptied.begin(), c.emptied.end(), id) != c.emptied.end();
            EXPECT_EQ(server.Find(id)->Valid() == 0, emptied) << std::hex << id;
        }
        // No answer comes for an erase.
        msqid_ds ds{};
        ASSERT_EQ(msgctl(work.msgId, IPC_STAT, &ds), 0);
        EXPECT_EQ(ds.msg_qnum, 0u);
    }
}

TEST_F(TimestampedClient, SemaphoreIsTakenOnceAndGivenBackOnce) {
    EXPECT_EQ(getSemaphore(), 0);
    EXPECT_EQ(getSemaphore(), 1);
    EXPECT_TRUE(sandbox.LogHas("filemsg.lib : Semaphore in use", "err"));
    EXPECT_EQ(SemaphoreValue(), 0) << "taken once only";
    EXPECT_EQ(releaseSemaphore(), 0);
    EXPECT_EQ(SemaphoreValue(), 1);
    EXPECT_EQ(releaseSemaphore(), 1);
    EXPECT_EQ(SemaphoreValue(), 1);
}

TEST(TimestampedCodec, AnswerIsTakenWholeOrNotAtAll) {
    unsigned char body[64];
    WorkingMsg msg;
    InitWorkingMsg(&msg, body, sizeof body, 20101);
    const JournalAnswer sent{4000, 17, 3999, -1};
    ASSERT_EQ(SetJournalAnswer(&msg, &sent), 1);
    ASSERT_EQ(msg.position, 32);
    JournalAnswer got;
    ASSERT_EQ(GetJournalAnswer(&msg, 32, &got), 1);
    EXPECT_EQ(got.tab, 4000);
    EXPECT_EQ(got.current, 17);
    EXPECT_EQ(got.valid, 3999);
    EXPECT_EQ(got.fourth, -1);

    struct Case {
        const char* what;
        int size;
        int corrupt;  // byte set to 0, -1 for none
    };
    const Case refused[] = {
        {"cut in the last word", 31, -1}, {"header only", 16, -1},
        {"longer than a body", 65, -1},   {"wrong marker", 32, 0},
        {"message number 0", 32, 5},
    };
    Sandbox sandbox;
    for (const Case& c : refused) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(SetJournalAnswer(&msg, &sent), 1);
        if (c.corrupt >= 0) {
            body[c.corrupt] = 0;
            body[4] = c.corrupt == 5 ? 0 : body[4];
        }
        JournalAnswer kept{1, 2, 3, 4};
        EXPECT_EQ(GetJournalAnswer(&msg, c.size, &kept), 0);
        EXPECT_EQ(kept.tab, 1);
        EXPECT_EQ(kept.valid, 3);
    }

    JournalRequest request;
    JournalDataMemoGetModbus(&request, 0xBEEF, 5, 6);
    ASSERT_EQ(SetJournalRequest(&msg, &request), 1);
    EXPECT_EQ(msg.position, 34);
    tsdsim::Request decoded;
    ASSERT_EQ(tsdsim::DecodeRequest(body, 34, decoded), 0) << decoded.error;
    EXPECT_EQ(decoded.kind, 0u);
    EXPECT_EQ(decoded.operation, 2u);
    EXPECT_EQ(decoded.channel, 0xBEEF);
    EXPECT_EQ(decoded.first, 5u);
    EXPECT_EQ(decoded.count, 6u);
    EXPECT_EQ(decoded.header.pid, static_cast<uint16_t>(getpid()));
    JournalRequest back;
    ASSERT_EQ(GetJournalRequest(&msg, 34, &back), 1);
    EXPECT_EQ(back.channel, 0xBEEF);
    EXPECT_EQ(back.lineCount, 6);
    // The Info builders leave first line and line count as they were.
    JournalStationGetInfo(&back);
    EXPECT_EQ(back.kind, 1);
    EXPECT_EQ(back.operation, 0);
    EXPECT_EQ(back.firstLine, 5);
}

TEST(TimestampedInit, WithoutTheQueueGivesUpAfterFiftyLooksAndSendsNothing) {
    Sandbox sandbox;
    FakeClock clock;
    TimeStampedWork work{};
    EXPECT_EQ(TimeStampedDataInit(&work, nullptr, 0, sizeof work), 1);
    EXPECT_EQ(clock.Sleeps(), 50);
    EXPECT_GE(clock.ElapsedMs(), 50000);
    EXPECT_TRUE(sandbox.LogHas("filemsg.lib : msgget error timestampedutil =2", "err"));
    // A module that does not check goes on: its requests go nowhere, not to another queue.
    int other = msgget(IPC_PRIVATE, 0600);
    ASSERT_GE(other, 0);
    EXPECT_EQ(TimeStampedDataHeaderRead(&work, 1), -1);
    EXPECT_EQ(TimeStampedDataRead(&work, 1), -1);
    EXPECT_EQ(TimeStampedDataErase(&work, -1), 1);
    msqid_ds ds{};
    ASSERT_EQ(msgctl(other, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.msg_qnum, 0u);
    msgctl(other, IPC_RMID, nullptr);
}

TEST(TimestampedInit, LineBufferSizedForTheLargestTableTheStationAllows) {
    Sandbox sandbox;
    ResetChannelMaxNb();
    sandbox.WriteFile("/tmp/orxapp.ini",
                      "[ENV]\nSTATION_LOG_MAX=4000\nCOMM_LOG_MAX=300\nMEMO_MAX_BY_CHANNEL=5000\n");
    tsdsim::Server server;
    std::string error;
    ASSERT_EQ(server.Open(tsdsim::Layout{}, error), 0) << error;
    TimeStampedWork work{};
    ASSERT_EQ(TimeStampedDataInit(&work, nullptr, 0, sizeof work), 0);
    EXPECT_EQ(work.lineBufferSize, 48000);  // 4000 event lines beat 5000 memo lines
    EXPECT_TRUE(sandbox.LogHas("filemsg.lib : alloc buf(48000)", "debug"));
    // A second init keeps the queue and takes the caller's buffer instead.
    unsigned char mine[16];
    EXPECT_EQ(TimeStampedDataInit(&work, mine, sizeof mine, sizeof work), 0);
    EXPECT_TRUE(sandbox.LogHas("filemsg.lib : timestampedutil is already initialised", "err"));
    EXPECT_EQ(work.lineBuffer, mine);
    EXPECT_EQ(work.lineBufferSize, 16);
    TimeStampedDataFree(&work);
    EXPECT_EQ(work.msg, nullptr);
}

}  // namespace
