// The CSV records: names made file names, the bounded write to a key that takes no data, and
// remoteexport's read functions in both layouts, line by line into upload buffers of any size.
#include "csvrecord.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "chanmgr_memories.h"
#include "clock.h"
#include "conf.h"
#include "sandbox.h"
#include "test_variant.h"

TEST(NettoieNomFichier, MakesANameAFileName) {
    struct Case {
        std::string name;
        std::string expected;
    } cases[] = {
        {"Temp/ext:1", "Temp_ext_1"},
        {"a*b?c<d>e", "a_b_c_d_e"},
        {"Pompe \"P1\" \\ |", "Pompe _P1_ _ _"},  // refused by a vfat key as well
        {"tab\there\x7F", "tab_here_"},
        {"Niveau bache", "Niveau bache"},
        {std::string(120, 'x'), std::string(99, 'x')},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(NettoieNomFichier(c.name.c_str()), c.expected) << c.name;
    }
    EXPECT_STREQ(NettoieNomFichier(nullptr), "");
}

// A key that takes nothing for a while is waited for (poll), within the bound; then the file is
// given up and its descriptor closed.
TEST(EcritBuffer, WaitsForADescriptorThatTakesNothing) {
    Sandbox box;
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK | O_CLOEXEC), 0);
    std::string full(1 << 16, 'x');
    while (write(p[1], full.data(), full.size()) > 0) {
    }
    std::thread drain([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        char block[4096];
        for (int i = 0; i < 40; ++i) {
            (void)!read(p[0], block, sizeof block);
        }
    });
    const std::string line = "2023-11-14 22:13:20,12.5\r\n";
    const long long start = MonotonicMs();
    EXPECT_EQ(EcritBufferWithin(p[1], line.data(), static_cast<int>(line.size()), 5000), 1);
    EXPECT_GE(MonotonicMs() - start, 90);
    drain.join();

    // Nobody reads: given up after the bound, the descriptor closed.
    while (write(p[1], full.data(), full.size()) > 0) {
    }
    EXPECT_EQ(EcritBufferWithin(p[1], line.data(), static_cast<int>(line.size()), 150), 0);
    EXPECT_EQ(fcntl(p[1], F_GETFD), -1);
    EXPECT_TRUE(box.LogHas("too long to write of " + std::to_string(p[1]), "err"));
    close(p[0]);

    int full_ = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full_, 0);
    EXPECT_EQ(EcritBuffer(full_, line.data(), static_cast<int>(line.size())), 0);
    EXPECT_TRUE(
        box.LogHas("write of " + std::to_string(full_) + " : No space left on device", "err"));
    EXPECT_EQ(fcntl(full_, F_GETFD), -1);
}

namespace {

void Put32(unsigned char* at, uint32_t v) {
    std::memcpy(at, &v, 4);
}

class ReadFunctions : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC0", 1);
        tzset();
        ResetChannelMaxNb();
        ResetModbusAddr();
        box.WriteFile("/tmp/orxapp.ini", "[ENV]\nCHANNEL_MAX_NB=50\n");
        memories.SetRecord(3, {"Niveau", "%.1f", 2, kFlagDefined, 0, 0, 0, 0.1f});
        memories.SetRecord(5, {"Index", "", 5, kFlagDefined});
        memories.SetLastChannel(50);
        ASSERT_EQ(ChannelInfoOpen(&cursor.info), 0);
        work.lineBuffer = lines;
        work.lineBufferSize = sizeof lines;
        reader.work = &work;
        cursor.reader = &reader;
    }
    void TearDown() override {
        ChannelInfoClose(&cursor.info);
        unsetenv("TZ");
        tzset();
    }
    void Event(int i, uint32_t time, uint16_t word, uint32_t value) {
        unsigned char* at = lines + 12 * i;
        Put32(at, time);
        std::memcpy(at + 4, &word, 2);
        Put32(at + 8, value);
    }
    void Memo(int i, uint32_t time, uint32_t value) {
        Put32(lines + 8 * i, time);
        Put32(lines + 8 * i + 4, value);
    }
    void Options(const char* separator, int comma) {
        std::snprintf(cursor.separator, sizeof cursor.separator, "%s", separator);
        cursor.decimalComma = static_cast<uint8_t>(comma);
        cursor.csv = std::string(separator) == "," && comma == 0 ? 1 : 0;
        cursor.dateForm = cursor.csv;
    }
    // Hands over lines first..first+count-1 through calls of `size` bytes; what the server gets.
    std::string Upload(size_t (*read)(char*, size_t, size_t, void*), int first, int count,
                       size_t size, int* calls = nullptr) {
        cursor.nextLine = first;
        cursor.linesLeft = count;
        cursor.bytes = 0;
        std::string sent;
        std::vector<char> buffer(size);
        int n = 0;
        for (size_t got; (got = read(buffer.data(), 1, size, &cursor)) > 0; ++n) {
            EXPECT_LE(got, size);
            if (got > size) {
                break;
            }
            sent.append(buffer.data(), got);
        }
        if (calls != nullptr) {
            *calls = n;
        }
        EXPECT_EQ(cursor.bytes, static_cast<int>(sent.size()));
        return sent;
    }

    Sandbox box;
    ChanmgrMemories memories;
    unsigned char lines[12 * 400] = {};
    TimeStampedWork work;
    TimeStampedReader reader{};
    ExportCursor cursor;
};

}  // namespace

TEST_F(ReadFunctions, LinesInBothLayouts) {
    ScopedCommLogTexts texts(CommLogTexts::BUILTIN);
    Event(0, 1700000000, 0x1602, 125);
    Event(1, 1700000001, 0x3008, 1000000);
    Event(2, 1700000002, 14 << 8 | 2, 0);
    Memo(10, 1700000004, 0xFFFF);  // past the three event lines

    struct Case {
        const char* separator;
        int comma;
        std::string station, comm, memo;
    } cases[] = {
        {",", 0, "2023-11-14 22:13:20,3,Niveau,12.5\r\n2023-11-14 22:13:21,5,Index,1e+06\r\n",
         "2023-11-14 22:13:22,---> Cycle 2 : Debut de cycle.\r\n", "2023-11-14 22:13:24,-0.1\r\n"},
        {" ", 1, "14/11/2023 22:13:20 5634 12,5\n14/11/2023 22:13:21 12296 1e+06\n",
         "14/11/2023 22:13:22 ---> Cycle 2 : Debut de cycle.\n", "14/11/2023 22:13:24 -0,1\n"},
        // Not exactly "," without the comma: the text layout, even without the comma.
        {";", 0, "14/11/2023 22:13:20;5634;12.5\n14/11/2023 22:13:21;12296;1e+06\n",
         "14/11/2023 22:13:22;---> Cycle 2 : Debut de cycle.\n", "14/11/2023 22:13:24;-0.1\n"},
        {",", 1, "14/11/2023 22:13:20,5634,12,5\n14/11/2023 22:13:21,12296,1e+06\n",
         "14/11/2023 22:13:22,---> Cycle 2 : Debut de cycle.\n", "14/11/2023 22:13:24,-0,1\n"},
    };
    for (const Case& c : cases) {
        Options(c.separator, c.comma);
        const int before = cursor.NbLignes;
        EXPECT_EQ(Upload(FonctionLectureDonneeStation, 1, 2, 16384), c.station) << c.separator;
        EXPECT_EQ(Upload(FonctionLectureDonneeComm, 3, 1, 16384), c.comm) << c.separator;
        cursor.channel = 3;
        EXPECT_EQ(Upload(FonctionLectureDonneeVoie, 11, 1, 16384), c.memo) << c.separator;
        cursor.channel = -1;
        EXPECT_EQ(cursor.NbLignes - before, 4);
    }
}

// Whatever the size of the upload buffer, lines are whole and none is lost or repeated; the
// margin below the buffer's size leaves room for the last line started.
TEST_F(ReadFunctions, LinesAreNeverSplitBetweenCalls) {
    for (int i = 0; i < 300; ++i) {
        Memo(i, 1700000000 + static_cast<uint32_t>(i), static_cast<uint32_t>(i * 37));
    }
    Options(",", 0);
    cursor.channel = 3;
    const std::string whole = Upload(FonctionLectureDonneeVoie, 1, 300, 1 << 20);
    EXPECT_EQ(std::count(whole.begin(), whole.end(), '\n'), 300);
    for (size_t size : {123u, 150u, 500u, 4096u, 16384u}) {
        int calls = 0;
        EXPECT_EQ(Upload(FonctionLectureDonneeVoie, 1, 300, size, &calls), whole) << size;
        EXPECT_GE(calls, static_cast<int>(whole.size() / size)) << size;
    }
    // No room for a line beside the margin: the upload is aborted, the lines still to send.
    cursor.nextLine = 1;
    cursor.linesLeft = 3;
    char small[100];
    EXPECT_EQ(FonctionLectureDonneeVoie(small, 1, sizeof small, &cursor), 0x10000000u);
    EXPECT_EQ(cursor.linesLeft, 3);
}

// The key's dates are local times; the hour's text is kept between lines of the same hour. Across
// the changes of time, backwards in time and over the years, each date is still the one the
// system's local time gives.
TEST(EcritDate, LocalTimesAcrossChangesOfTime) {
    Sandbox box;
    struct Zone {
        const char* tz;
        std::vector<time_t> changes;
        int step = 37;  // seconds between two lines; below 0, each source's lines newest first
    } zones[] = {
        {"Europe/Paris", {1711846800L, 1729990800L}},  // 2024-03-31 and 2024-10-27, 01:00 UTC
        {"America/St_Johns", {1268537460L}},           // 2010-03-14 at 00:01 local: not on the hour
        {"Australia/Lord_Howe", {1696089600L}},        // 2023-10-01: half an hour forward
        // After a change off the hour, the hour's start lies before the change.
        {"Australia/Lord_Howe", {1696089600L, 1712415600L}, -37},  // and 2024-04-07: back
        {"Asia/Kathmandu", {504901800L}, -37},  // 1986-01-01: from +05:30 to +05:45
    };
    static EcritFichier file;
    file.fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    SetSeparateur(&file, ";");
    for (const Zone& zone : zones) {
        setenv("TZ", zone.tz, 1);
        tzset();
        std::vector<time_t> times;
        for (time_t around : zone.changes) {
            for (int i = 0; i < 6 * 3600 / 37; ++i) {
                times.push_back(zone.step > 0 ? around - 3 * 3600 + i * zone.step
                                              : around + 3 * 3600 + i * zone.step);
            }
            times.push_back(around - 1);
            times.push_back(around);
        }
        // 2147483647: the last second the board's 32-bit time_t holds (its hour ends past it).
        times.insert(times.end(), {0, 1700000000, 1699999999, 2147483647, 951782400, 1700003600});
        if constexpr (sizeof(time_t) > 4) {
            times.push_back(static_cast<time_t>(4294967295LL));
        }
        for (time_t t : times) {
            file.used = 0;
            ASSERT_EQ(EcritDate(&file, t), 1);
            struct tm date {};
            localtime_r(&t, &date);
            char expected[64];
            std::strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S;", &date);
            ASSERT_EQ(std::string(file.buffer, file.used), expected) << zone.tz << " " << t;
        }
    }
    close(file.fd);
    unsetenv("TZ");
    tzset();
}
