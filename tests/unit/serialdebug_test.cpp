// The per-port debug trace: ring layout, readers, the two builds' messages.
#include "serialdebug.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "fakeclock.h"
#include "sandbox.h"
#include "test_variant.h"

namespace {

std::string ReadAll(SerialDebug* reader) {
    std::string text;
    for (int c = ReadCharFromSerialDebug(reader); c >= 0; c = ReadCharFromSerialDebug(reader)) {
        text.push_back(static_cast<char>(c));
    }
    return text;
}

// The header words of the segment of a key, as an outside reader sees them.
struct RawSegment {
    int id = -1;
    int32_t* words = nullptr;
    explicit RawSegment(int key, size_t size = 0, int flags = 0) {
        id = shmget(key, size, flags);
        if (id >= 0) {
            void* address = shmat(id, nullptr, 0);
            words =
                address == reinterpret_cast<void*>(-1) ? nullptr : static_cast<int32_t*>(address);
        }
    }
    ~RawSegment() {
        if (words != nullptr) {
            shmdt(words);
        }
    }
    long Size() const {
        shmid_ds info{};
        return shmctl(id, IPC_STAT, &info) == 0 ? static_cast<long>(info.shm_segsz) : -1;
    }
};

// A trace created for a port and a reader opened on it, closed at the end.
struct Trace {
    SerialDebug writer;
    SerialDebug reader;
    explicit Trace(int port) {
        EXPECT_EQ(CreateSerialDebug(&writer, port), 0);
        EXPECT_EQ(OpenSerialDebug(&reader, port), 0);
    }
    ~Trace() {
        CloseSerialDebug(&reader);
        CloseSerialDebug(&writer);
    }
};

// Local times of the trace are read in UTC for the length of a test.
struct UtcZone {
    std::string saved;
    bool had;
    UtcZone() : had(std::getenv("TZ") != nullptr) {
        if (had) {
            saved = std::getenv("TZ");
        }
        setenv("TZ", "UTC", 1);
        tzset();
    }
    ~UtcZone() {
        if (had) {
            setenv("TZ", saved.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
};

}  // namespace

TEST(SerialDebug, CreatedSegmentLayout) {
    Sandbox box;
    struct Case {
        int port;
        int key;
    } cases[] = {{-1, 22716}, {0, 22700}, {13, 22713}, {15, 22715}};
    for (const Case& c : cases) {
        SerialDebug trace;
        ASSERT_EQ(CreateSerialDebug(&trace, c.port), 0) << c.port;
        RawSegment raw(c.key);
        ASSERT_NE(raw.words, nullptr) << c.key;
        EXPECT_EQ(raw.Size(), 16384);
        EXPECT_EQ(raw.words[0], 16371);
        EXPECT_EQ(raw.words[1], 0);
        EXPECT_EQ(static_cast<uint32_t>(raw.words[2]), 0xA55A5900u + (c.key - 22700));
        WriteStrToSerialDebug(&trace, "abc");
        EXPECT_EQ(raw.words[1], 3);
        EXPECT_EQ(std::memcmp(reinterpret_cast<char*>(raw.words) + 12, "abc", 3), 0);
        CloseSerialDebug(&trace);
        EXPECT_EQ(trace.segment, nullptr);
    }
    EXPECT_TRUE(box.LogHas("shared memory detached", "info"));
}

TEST(SerialDebug, PortsOutsideTheRangeAreRefused) {
    struct Case {
        TraceVariant build;
        const char* text;
    } cases[] = {{TraceVariant::PREFIXED, "filemsg.lib : erreur No liaison serie 16"},
                 {TraceVariant::DETAILED, "erreur No liaison serie 16"}};
    for (const Case& c : cases) {
        Sandbox box;
        ScopedVariant variant(c.build);
        SerialDebug trace;
        EXPECT_EQ(OpenSerialDebug(&trace, 16), 1);
        EXPECT_EQ(CreateSerialDebug(&trace, -2), 1);
        EXPECT_EQ(trace.segment, nullptr);
        EXPECT_TRUE(box.LogHas(c.text, "err")) << box.Log();
    }
}

TEST(SerialDebug, OpenNeedsAnExistingTrace) {
    Sandbox box;
    SerialDebug trace;
    EXPECT_EQ(OpenSerialDebug(&trace, 4), 1);
    EXPECT_EQ(trace.segment, nullptr);
}

TEST(SerialDebug, AReaderSeesOnlyWhatIsWrittenAfterItOpened) {
    Sandbox box;
    SerialDebug writer;
    ASSERT_EQ(CreateSerialDebug(&writer, 2), 0);
    WriteStrToSerialDebug(&writer, "before\n");
    SerialDebug reader;
    ASSERT_EQ(OpenSerialDebug(&reader, 2), 0);
    EXPECT_EQ(ReadCharFromSerialDebug(&reader), -1);
    WriteStrToSerialDebug(&writer, "after\n");
    EXPECT_EQ(ReadAll(&reader), "after\n");
    EXPECT_EQ(ReadCharFromSerialDebug(&reader), -1);
    CloseSerialDebug(&reader);
    CloseSerialDebug(&writer);
}

TEST(SerialDebug, TheRingWraps) {
    Sandbox box;
    Trace trace(1);
    std::string full(16371, 'x');
    WriteBytesToSerialDebug(&trace.writer, full.data(), static_cast<int>(full.size()));
    EXPECT_EQ(*trace.writer.writeIndex, 0);
    // A reader a whole ring behind sees nothing: the text it missed is lost, silently.
    EXPECT_EQ(ReadCharFromSerialDebug(&trace.reader), -1);

    WriteStrToSerialDebug(&trace.writer, std::string(16369, 'y').c_str());
    ASSERT_EQ(ReadAll(&trace.reader).size(), 16369u);
    WriteStrToSerialDebug(&trace.writer, "12345");  // crosses the end of the ring
    EXPECT_EQ(*trace.writer.writeIndex, 3);
    EXPECT_EQ(ReadAll(&trace.reader), "12345");
}

TEST(SerialDebug, ReadStrStopsAtLength) {
    Sandbox box;
    Trace trace(5);
    WriteStrToSerialDebug(&trace.writer, "abcdefgh");
    char buffer[8];
    EXPECT_EQ(ReadStrFromSerialDebug(&trace.reader, buffer, 5), 0);
    EXPECT_STREQ(buffer, "abcde");
    EXPECT_EQ(ReadStrFromSerialDebug(&trace.reader, buffer, 3), 1);  // exactly what was left
    EXPECT_STREQ(buffer, "fgh");
    EXPECT_EQ(ReadStrFromSerialDebug(&trace.reader, buffer, 7), 1);
    EXPECT_STREQ(buffer, "");
    WriteStrToSerialDebug(&trace.writer, "z");
    EXPECT_EQ(ReadStrFromSerialDebug(&trace.reader, buffer, 0), 1);
    EXPECT_EQ(ReadStrFromSerialDebug(&trace.reader, buffer, -3), 1);
    EXPECT_EQ(ReadStrFromSerialDebug(&trace.reader, buffer, 7), 1);
    EXPECT_STREQ(buffer, "z");
}

TEST(SerialDebug, BytesWithHex) {
    Sandbox box;
    Trace trace(6);
    struct Case {
        unsigned char byte;
        const char* text;
    } cases[] = {{0x0D, "[$0D]"}, {'A', "A"}, {0x00, "[$00]"}, {0xFF, "[$FF]"},
                 {' ', " "},      {'~', "~"}, {0x7F, "[$7F]"}, {0x0A, "[$0A]"}};
    for (const Case& c : cases) {
        WriteCharWithHex(&trace.writer, c.byte);
        EXPECT_EQ(ReadAll(&trace.reader), c.text) << int{c.byte};
    }
    WriteStrToSerialDebugWithHex(&trace.writer, "OK\r\n");
    EXPECT_EQ(ReadAll(&trace.reader), "OK[$0D][$0A]");
}

TEST(SerialDebug, TimeStampsAndFrames) {
    Sandbox box;
    UtcZone utc;
    FakeClock clock;
    clock.SetWallTime(1600000000);  // 13/09/2020 12:26:40 UTC
    Trace trace(7);
    const unsigned char frame[] = {0x10, 0xAB, 'A', 0x0D};

    TimeStampSerialDebug(&trace.writer);
    EXPECT_EQ(ReadAll(&trace.reader), "13/09 12:26:40 ");
    DateToSerialDebug(&trace.writer, 86400 * 365);
    EXPECT_EQ(ReadAll(&trace.reader), "01/01/71 00:00:00 ");
    FramePrintf(&trace.writer, "Tx", frame, 4);
    EXPECT_EQ(ReadAll(&trace.reader), "13/09 12:26:40 Tx : 10 AB 41 0D \n");
    FramePrintfWithHex(&trace.writer, "Rx", frame, 4);
    EXPECT_EQ(ReadAll(&trace.reader), "13/09 12:26:40 Rx : [$10][$AB]A[$0D]\n");
    FramePrintf(&trace.writer, "Nul", frame, 0);
    EXPECT_EQ(ReadAll(&trace.reader), "13/09 12:26:40 Nul : \n");

    // The stamps follow the clock and the zone, however many lines came in the same second.
    struct Step {
        time_t wall;
        long long thenMs;  // into that second
        const char* zone;  // nullptr: unchanged
        const char* stamp;
    } steps[] = {
        {1600000000, 999, nullptr, "13/09 12:26:40 "},
        {1600000001, 0, nullptr, "13/09 12:26:41 "},
        {1600000001, 500, "CET-1CEST,M3.5.0,M10.5.0/3", "13/09 14:26:41 "},
        {1600000001, 0, "UTC", "13/09 12:26:41 "},
        {1600000000, 0, nullptr, "13/09 12:26:40 "},
    };
    for (const Step& step : steps) {
        clock.SetWallTime(step.wall);
        clock.AdvanceMs(step.thenMs);
        if (step.zone != nullptr) {
            setenv("TZ", step.zone, 1);
            tzset();
        }
        TimeStampSerialDebug(&trace.writer);
        EXPECT_EQ(ReadAll(&trace.reader), step.stamp) << step.stamp;
    }
    DateToSerialDebug(&trace.writer, 86400 * 365);
    EXPECT_EQ(ReadAll(&trace.reader), "01/01/71 00:00:00 ");
}

TEST(SerialDebug, PrintfIsCutAt511Characters) {
    Sandbox box;
    Trace trace(8);
    PrintfSerialDebug(&trace.writer, "Port %d %s\n", 8, "ok");
    EXPECT_EQ(ReadAll(&trace.reader), "Port 8 ok\n");
    PrintfSerialDebug(&trace.writer, "%s", std::string(600, 'p').c_str());
    EXPECT_EQ(ReadAll(&trace.reader), std::string(511, 'p'));
}

TEST(SerialDebug, NullAndClosedHandlesWriteNothing) {
    struct Case {
        TraceVariant build;
        bool logsClosed;
    } cases[] = {{TraceVariant::PREFIXED, false}, {TraceVariant::DETAILED, true}};
    for (const Case& c : cases) {
        Sandbox box;
        ScopedVariant variant(c.build);
        Trace trace(9);
        SerialDebug closed;
        const unsigned char byte = 1;
        WriteStrToSerialDebug(nullptr, "x");
        FramePrintf(nullptr, "x", &byte, 1);
        WriteStrToSerialDebug(&closed, "x");
        PrintfSerialDebug(&closed, "x");
        FramePrintfWithHex(&closed, "x", &byte, 1);
        EXPECT_EQ(ReadAll(&trace.reader), "");
        EXPECT_EQ(ReadCharFromSerialDebug(nullptr), -1);
        EXPECT_EQ(ReadCharFromSerialDebug(&closed), -1);
        EXPECT_EQ(box.LogHas("shared memory closed", "err"), c.logsClosed);
    }
}

TEST(SerialDebug, CreateKeepsAnExistingTrace) {
    struct Case {
        TraceVariant build;
        bool logsExisting;
    } cases[] = {{TraceVariant::PREFIXED, false}, {TraceVariant::DETAILED, true}};
    for (const Case& c : cases) {
        Sandbox box;
        ScopedVariant variant(c.build);
        SerialDebug first;
        ASSERT_EQ(CreateSerialDebug(&first, 10), 0);
        WriteStrToSerialDebug(&first, "kept");
        SerialDebug second;
        ASSERT_EQ(CreateSerialDebug(&second, 10), 0);
        EXPECT_EQ(*second.writeIndex, 4);
        EXPECT_EQ(std::memcmp(second.ring, "kept", 4), 0);
        EXPECT_EQ(box.LogHas("mem clef pour port No 10 deja existante", "info"), c.logsExisting);
        CloseSerialDebug(&second);
        CloseSerialDebug(&first);
        shmctl(shmget(22710, 0, 0), IPC_RMID, nullptr);  // the next case starts afresh
    }
}

TEST(SerialDebug, ForeignSegmentIsRefusedByOpenAndReinitialisedByCreate) {
    struct Case {
        TraceVariant build;
        const char* text;
    } cases[] = {
        {TraceVariant::PREFIXED, "filemsg.lib : clef invalide (DEADBEEF) dans mem. serial debug"},
        {TraceVariant::DETAILED, "clef invalide (DEADBEEF) dans mem. serial debug"}};
    for (const Case& c : cases) {
        Sandbox box;
        ScopedVariant variant(c.build);
        {
            RawSegment raw(22711, 16384, IPC_CREAT | 0600);
            ASSERT_NE(raw.words, nullptr);
            raw.words[0] = 100;
            raw.words[1] = 7;
            raw.words[2] = static_cast<int32_t>(0xDEADBEEFu);
        }
        SerialDebug trace;
        EXPECT_EQ(OpenSerialDebug(&trace, 11), 1);
        EXPECT_TRUE(box.LogHas(c.text, "err")) << box.Log();
        ASSERT_EQ(CreateSerialDebug(&trace, 11), 0);
        EXPECT_EQ(trace.ringSize, 16371);
        EXPECT_EQ(*trace.writeIndex, 0);
        CloseSerialDebug(&trace);
        shmctl(shmget(22711, 0, 0), IPC_RMID, nullptr);
    }
}

TEST(SerialDebug, AHeaderLargerThanItsSegmentIsNotTrusted) {
    Sandbox box;
    {
        RawSegment raw(22712, 4096, IPC_CREAT | 0600);
        ASSERT_NE(raw.words, nullptr);
        raw.words[0] = 100000;  // a ring far beyond the segment
        raw.words[1] = 0;
        raw.words[2] = static_cast<int32_t>(0xA55A590Cu);
    }
    SerialDebug trace;
    EXPECT_EQ(OpenSerialDebug(&trace, 12), 1);
    EXPECT_EQ(trace.segment, nullptr);
}

TEST(SerialDebug, AnOutOfRangeWriteIndexIsNotFollowed) {
    Sandbox box;
    Trace trace(13);
    *trace.writer.writeIndex = 99999;  // as a faulty writer elsewhere could leave it
    EXPECT_EQ(ReadCharFromSerialDebug(&trace.reader), -1);
    WriteStrToSerialDebug(&trace.writer, "ab");
    EXPECT_EQ(*trace.writer.writeIndex, 2);
    EXPECT_EQ(std::memcmp(trace.writer.ring, "ab", 2), 0);
}
