// tracecat: following a port's trace live, and dumping its ring.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/shm.h>

#include <string>
#include <vector>

#include "process.h"
#include "sandbox.h"
#include "serialdebug.h"

// Its own namespace: the program tests are compiled in batches.
namespace tracecat_test {

namespace {

struct Writer {
    SerialDebug trace;
    explicit Writer(int port) { EXPECT_EQ(CreateSerialDebug(&trace, port), 0); }
    ~Writer() { CloseSerialDebug(&trace); }
};

// Writes a dot every few milliseconds until tracecat shows one: from then on it is following
// (it may have attached without having read the write index yet), then a bar to close the
// preamble. Returns what tracecat has shown so far, the dots and the bar.
std::string Synchronise(Process& tracecat, SerialDebug* trace) {
    bool following = WaitUntil([&] {
        WriteStrToSerialDebug(trace, ".");
        return !tracecat.Output().empty();
    });
    EXPECT_TRUE(following) << "tracecat shows nothing";
    WriteStrToSerialDebug(trace, "|");
    std::string shown;
    EXPECT_TRUE(WaitUntil([&] {
        shown = tracecat.Output();
        return !shown.empty() && shown.back() == '|';
    }));
    return shown;
}

}  // namespace

TEST(Tracecat, FollowsWhatIsWrittenFromNowOn) {
    Sandbox box;
    Writer writer(3);
    WriteStrToSerialDebug(&writer.trace, "written before\n");
    Process tracecat(ProgramPath("tracecat"), {"Port=3"});
    std::string preamble = Synchronise(tracecat, &writer.trace);
    EXPECT_EQ(preamble.find("written before"), std::string::npos);

    WriteStrToSerialDebug(&writer.trace, "Permanent Link\n");
    ASSERT_TRUE(WaitUntil([&] { return tracecat.Output() == preamble + "Permanent Link\n"; }))
        << tracecat.Output();
    // Text crossing the end of the ring comes out whole and in order.
    std::string fill(16371 - *writer.trace.writeIndex - 3, '-');
    WriteStrToSerialDebug(&writer.trace, fill.c_str());
    WriteStrToSerialDebug(&writer.trace, "across\n");
    ASSERT_TRUE(WaitUntil(
        [&] { return tracecat.Output() == preamble + "Permanent Link\n" + fill + "across\n"; }));
    EXPECT_EQ(*writer.trace.writeIndex, 4);

    ASSERT_TRUE(tracecat.Signal(SIGTERM));
    ProgramResult result = tracecat.Wait();
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 0);
}

TEST(Tracecat, StopsOnInterrupt) {
    Sandbox box;
    Writer writer(-1);
    Process tracecat(ProgramPath("tracecat"), {"Port=-1"});
    Synchronise(tracecat, &writer.trace);
    ASSERT_TRUE(tracecat.Signal(SIGINT));
    ProgramResult result = tracecat.Wait();
    EXPECT_TRUE(result.exited) << result.signal;
    EXPECT_EQ(result.status, 0);
}

TEST(Tracecat, WaitsForATraceNotMadeYetAndFollowsOneMadeAnew) {
    Sandbox box;
    Process tracecat(ProgramPath("tracecat"), {"Port=5"});
    ASSERT_TRUE(WaitUntil([&] {
        return tracecat.Output().find("waiting for the trace of port 5") != std::string::npos;
    }));
    ASSERT_TRUE(tracecat.Running());
    {
        Writer writer(5);
        ASSERT_TRUE(WaitUntil([&] {
            WriteStrToSerialDebug(&writer.trace, "first life\n");
            return tracecat.Output().find("first life\n") != std::string::npos;
        }));
        // The station restarts: its trace is removed and made anew.
        ASSERT_EQ(shmctl(writer.trace.segmentId, IPC_RMID, nullptr), 0);
    }
    ASSERT_TRUE(WaitUntil([&] {
        return tracecat.Output().find("the trace of port 5 was removed") != std::string::npos;
    }));
    Writer again(5);
    WriteStrToSerialDebug(&again.trace, "second life\n");
    ASSERT_TRUE(WaitUntil([&] {
        return tracecat.Output().find("second life\n") != std::string::npos;
    })) << tracecat.Output();
    ASSERT_TRUE(tracecat.Signal(SIGINT));
    ProgramResult result = tracecat.Wait();
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 0);
}

TEST(Tracecat, DumpsTheRingOldestFirst) {
    Sandbox box;
    Writer writer(4);
    WriteStrToSerialDebug(&writer.trace, "first\n");
    WriteStrToSerialDebug(&writer.trace, "second\n");
    ProgramResult result = RunProgram(ProgramPath("tracecat"), {"Port=4", "Dump=1"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "first\nsecond\n");  // the never-written rest of the ring is skipped

    // Once the ring has wrapped, the dump is the last ring-full of text, in order.
    std::string text;
    for (int i = 0; text.size() < 20000; ++i) {
        text += "line " + std::to_string(i) + "\n";
    }
    WriteStrToSerialDebug(&writer.trace, text.c_str());
    int32_t index = *writer.trace.writeIndex;
    std::string ring(reinterpret_cast<char*>(writer.trace.ring), 16371);
    result = RunProgram(ProgramPath("tracecat"), {"Port=4", "Dump=1"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, text.substr(text.size() - 16371));
    // The dump changed nothing.
    EXPECT_EQ(*writer.trace.writeIndex, index);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(writer.trace.ring), 16371), ring);
}

TEST(Tracecat, RefusesWhatItCannotRead) {
    Sandbox box;
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* logged;
    } cases[] = {
        {{}, 2, nullptr},
        {{"Dump=1"}, 2, nullptr},
        {{"Port=16"}, 2, "no trace for port 16 (ports -1 to 15)"},
        {{"Port=9", "Dump=1"}, 1, "no trace segment for port 9"},  // a dump does not wait
    };
    for (const Case& c : cases) {
        ProgramResult result = RunProgram(ProgramPath("tracecat"), c.args);
        EXPECT_TRUE(result.exited);
        EXPECT_EQ(result.status, c.status) << result.output;
        if (c.logged != nullptr) {
            EXPECT_TRUE(box.LogHas(c.logged, "err")) << box.Log();
        }
    }
}

}  // namespace tracecat_test
