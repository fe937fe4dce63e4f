// The line transport: receives with deadlines, gathering, end bytes and silences on the in-memory
// line (fake clock), the peer's scripted answers and hang-up; the tty backend on a pty: settings,
// both directions, flush, hang-up, RS485 direction and the errors a driver sees.
#include "linetransport.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "clock.h"
#include "fakeclock.h"
#include "memoryline.h"
#include "pty.h"
#include "sandbox.h"

namespace {

using namespace std::chrono_literals;

// One receive as a test sees it: the result, the bytes, and when it returned (fake ms).
struct Got {
    int result;
    std::string bytes;
    long long atMs;
    bool operator==(const Got&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Got& g) {
    return out << "{" << g.result << ", \"" << g.bytes << "\", " << g.atMs << "}";
}

class MemoryLineTest : public testing::Test {
  protected:
    void Open(int gatherMs = 0) {
        MemoryLineAttach(&line, &peer);
        LineProfile profile;
        profile.device = "/dev/ttyUSB0";
        profile.gatherMs = gatherMs;
        ASSERT_EQ(LineOpen(&line, profile), 0);
    }
    Got Receive(int size, int withinMs) {
        char buffer[512] = {};
        int n = LineReceive(&line, buffer, size, LineDeadline(withinMs));
        return {n, n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "", MonotonicMs()};
    }
    Got ReceiveUntil(int size, int withinMs, int silenceMs, int end) {
        char buffer[512] = {};
        int n = LineReceiveUntil(&line, buffer, size, LineDeadline(withinMs), silenceMs, end);
        return {n, n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "", MonotonicMs()};
    }

    FakeClock clock;
    MemoryLine peer;
    Line line;
};

TEST_F(MemoryLineTest, ReceiveWaitsOnTheClockForBytesOrTheDeadline) {
    Open();
    peer.Arrive("now");
    peer.Arrive("later", 300);  // after 300 ms of silence
    peer.Arrive("!", 50);
    peer.HangUp(1000);
    std::vector<Got> got;
    for (int i = 0; i < 6; ++i) {
        got.push_back(Receive(4, 200));
    }
    EXPECT_EQ(got, (std::vector<Got>{{3, "now", 0},
                                     {0, "", 200},  // nothing within 200 ms
                                     {4, "late", 300},
                                     {1, "r", 300},
                                     {1, "!", 350},
                                     {0, "", 550}}));
    // the hang-up 1 s after the last byte ends the next wait early, and stays
    EXPECT_EQ(Receive(4, 5000), (Got{-1, "", 1350}));
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(Receive(4, 5000), (Got{-1, "", 1350}));
    EXPECT_EQ(LineSend(&line, "x", 1), -1);
    EXPECT_EQ(errno, EIO);
}

TEST_F(MemoryLineTest, GatheringWakesOncePerGatherTimeAndHoldsNoByteLonger) {
    Open(/*gatherMs=*/50);
    peer.SetPace(8334);  // 1200 baud, 10 bits a character
    std::string stream(120, 'x');
    peer.Arrive(stream);
    std::vector<long long> arrival;
    for (size_t i = 0; i < stream.size(); ++i) {
        arrival.push_back(static_cast<long long>(i) * 8334 / 1000);
    }
    size_t received = 0;
    int wakes = 0;
    long long worstMs = 0;
    for (;;) {
        Got g = Receive(128, 100);
        if (g.result <= 0) {
            break;
        }
        ++wakes;
        for (int i = 0; i < g.result; ++i, ++received) {
            worstMs = std::max(worstMs, g.atMs - arrival[received]);
        }
    }
    EXPECT_EQ(received, stream.size());
    EXPECT_LE(worstMs, 51);
    // one second of line: about 20 wakes instead of 120
    EXPECT_LE(wakes, 22);
    EXPECT_GE(wakes, 18);
}

TEST_F(MemoryLineTest, FullBufferIsFollowedByAReceiveThatDoesNotWait) {
    Open(/*gatherMs=*/50);
    peer.Arrive(std::string(100, 'x'));
    EXPECT_EQ(Receive(40, 1000), (Got{40, std::string(40, 'x'), 50}));
    EXPECT_EQ(Receive(40, 1000), (Got{40, std::string(40, 'x'), 50}));
    EXPECT_EQ(Receive(40, 1000), (Got{20, std::string(20, 'x'), 50}));
}

TEST_F(MemoryLineTest, PeerAnswersWhatItReceives) {
    Open();
    peer.Answer("@00RD", "@00RD00*\r", 20);               // once
    peer.Answer("\x10\x05\x06", "\x06", 1, /*times=*/0);  // every time
    ASSERT_EQ(LineSend(&line, "xx@00RD0010", 11), 0);
    EXPECT_EQ(ReceiveUntil(64, 1000, 0, '\r'), (Got{9, "@00RD00*\r", 20}));
    ASSERT_EQ(LineSend(&line, "@00RD", 5), 0);
    EXPECT_EQ(Receive(64, 100), (Got{0, "", 120}));
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(LineSend(&line, "\x10\x05\x06", 3), 0);
        EXPECT_EQ(Receive(64, 100).bytes, "\x06");
    }
    EXPECT_EQ(peer.Sent(), "xx@00RD0010@00RD\x10\x05\x06\x10\x05\x06");
}

TEST_F(MemoryLineTest, ReceiveUntilEndByteSilenceSizeOrDeadline) {
    struct Case {
        const char* name;
        std::string bytes;
        int size, withinMs, silenceMs, end;
        std::vector<Got> got;  // successive receives (the same arguments)
    } cases[] = {
        {"end byte; what follows is kept",
         "a\rbc\rd",
         64,
         100,
         0,
         '\r',
         {{2, "a\r", 0}, {3, "bc\r", 0}, {1, "d", 100}}},
        {"silence after the last byte ends it", "frame", 64, 1000, 30, -1, {{5, "frame", 30}}},
        {"size", "abcdef", 4, 100, 0, -1, {{4, "abcd", 0}, {2, "ef", 100}}},
        {"nothing before the deadline", "", 64, 100, 30, '\r', {{0, "", 100}}},
    };
    for (const Case& c : cases) {
        FakeClock caseClock;
        MemoryLine casePeer;
        Line caseLine;
        MemoryLineAttach(&caseLine, &casePeer);
        LineProfile profile;
        profile.device = "/dev/ttyUSB0";
        ASSERT_EQ(LineOpen(&caseLine, profile), 0);
        casePeer.Arrive(c.bytes);
        std::vector<Got> got;
        for (size_t i = 0; i < c.got.size(); ++i) {
            char buffer[64] = {};
            int n = LineReceiveUntil(&caseLine, buffer, c.size, LineDeadline(c.withinMs),
                                     c.silenceMs, c.end);
            got.push_back(
                {n, n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "", MonotonicMs()});
        }
        EXPECT_EQ(got, c.got) << c.name;
    }
}

TEST_F(MemoryLineTest, SilenceIsCountedFromTheLastByteOfAPacedFrame) {
    Open();
    peer.SetPace(1000);
    peer.Arrive("\x68\x03\x03\x68\x08\x01\x72\x7B\x16");  // 9 bytes, one a millisecond
    peer.Arrive("\xE5", 200);
    EXPECT_EQ(ReceiveUntil(260, 1000, 50, -1).atMs, 8 + 50);
    EXPECT_EQ(ReceiveUntil(260, 1000, 50, -1), (Got{1, "\xE5", 9 + 200 + 50}));
}

TEST_F(MemoryLineTest, FlushDiscardsOnlyWhatHasCome) {
    Open();
    peer.Arrive("stale");
    peer.Arrive("fresh", 10);
    ASSERT_EQ(LineFlush(&line), 0);
    EXPECT_EQ(peer.Discarded(), 5);
    EXPECT_EQ(Receive(64, 100), (Got{5, "fresh", 10}));
}

TEST_F(MemoryLineTest, OperationsRefuseAClosedLineAndBadArguments) {
    char buffer[4];
    LineProfile none;
    struct Case {
        const char* name;
        std::function<int()> call;
        int error;
    } cases[] = {
        {"send on a closed line", [&] { return LineSend(&line, "x", 1); }, EBADF},
        {"receive on a closed line", [&] { return LineReceive(&line, buffer, 4, 0); }, EBADF},
        {"flush on a closed line", [&] { return LineFlush(&line); }, EBADF},
        {"open without a device", [&] { return LineOpen(&line, none); }, EINVAL},
        {"open twice",
         [&] {
             Open();
             return LineOpen(&line, peer.Profile());
         },
         EBUSY},
        {"receive into nothing", [&] { return LineReceive(&line, buffer, 0, 0); }, EINVAL},
        {"send nothing from nowhere", [&] { return LineSend(&line, nullptr, 1); }, EINVAL},
    };
    MemoryLineAttach(&line, &peer);
    for (const Case& c : cases) {
        errno = 0;
        EXPECT_EQ(c.call(), -1) << c.name;
        EXPECT_EQ(errno, c.error) << c.name;
    }
    EXPECT_EQ(peer.Profile().device, std::string("/dev/ttyUSB0"));
    LineClose(&line);
    EXPECT_FALSE(peer.IsOpen());
}

// ---- tty backend on a pty --------------------------------------------------------------------

class TtyLineTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(pty.Open(box.Path("/dev/ttyUSB0")), 0); }
    LineProfile Profile(int gatherMs = 0) {
        LineProfile profile;
        profile.device = "/dev/ttyUSB0";
        profile.speed = 1200;
        profile.parity = 'E';
        profile.dataBits = 7;
        profile.gatherMs = gatherMs;
        return profile;
    }
    int Waiting() {
        int count = 0;
        ioctl(line.fd, FIONREAD, &count);
        return count;
    }

    Sandbox box;
    PtyLine pty;
    Line line;
};

TEST_F(TtyLineTest, BytesBothWaysFlushAndHangUp) {
    ASSERT_EQ(LineOpen(&line, Profile()), 0);
    EXPECT_EQ(pty.Baud(), 1200);
    ASSERT_EQ(LineSend(&line, "ping", 4), 0);
    EXPECT_EQ(pty.Read(4, 2000), "ping");

    char buffer[16] = {};
    EXPECT_EQ(LineReceive(&line, buffer, sizeof buffer, LineDeadline(20)), 0);
    ASSERT_TRUE(pty.Write("stale"));
    ASSERT_TRUE(WaitUntil([&] { return Waiting() == 5; }, 2s));
    ASSERT_EQ(LineFlush(&line), 0);
    ASSERT_TRUE(pty.Write("abc\rdef"));
    int n = LineReceiveUntil(&line, buffer, sizeof buffer, LineDeadline(2000), 0, '\r');
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(n > 0 ? n : 0)), "abc\r");
    n = LineReceive(&line, buffer, sizeof buffer, LineDeadline(2000));
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(n > 0 ? n : 0)), "def");

    pty.Close();
    EXPECT_EQ(LineReceive(&line, buffer, sizeof buffer, LineDeadline(2000)), -1);
    EXPECT_EQ(errno, EIO);
    LineClose(&line);
    EXPECT_EQ(line.fd, -1);
}

TEST_F(TtyLineTest, GatheringReturnsWhatAccumulatedWithinTheGatherTime) {
    ASSERT_EQ(LineOpen(&line, Profile(/*gatherMs=*/30)), 0);
    ASSERT_TRUE(pty.Write("abc"));
    char buffer[16] = {};
    auto start = std::chrono::steady_clock::now();
    int n = LineReceive(&line, buffer, sizeof buffer, LineDeadline(5000));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(n > 0 ? n : 0)), "abc");
    EXPECT_LT(took, 2s);  // the gather time, not the deadline
    // a line that went quiet: 0 at the deadline
    EXPECT_EQ(LineReceive(&line, buffer, sizeof buffer, LineDeadline(40)), 0);
}

int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) {
            ++count;
        }
        closedir(dir);
    }
    return count;
}

// A silent line: each receive ends at its own deadline, whether that is nearer or farther than
// the terminal's timer (100 ms) that the longer waits use, and closing the line leaves no
// descriptor behind. The quickest of three tries is held to the bound, so that one late
// wake-up of a loaded machine does not count as a wait on the wrong timer.
TEST_F(TtyLineTest, ASilentReceiveEndsAtItsDeadlineWhateverTheTerminalTimer) {
    struct Case {
        int deadlineMs;
        std::chrono::milliseconds atMost;
    } cases[] = {{20, 90ms}, {100, 2000ms}, {350, 2000ms}};
    int before = OpenDescriptors();
    ASSERT_EQ(LineOpen(&line, Profile()), 0);
    for (const Case& c : cases) {
        auto quickest = std::chrono::steady_clock::duration::max();
        for (int attempt = 0; attempt < 3; ++attempt) {
            char buffer[16] = {};
            auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(LineReceive(&line, buffer, sizeof buffer, LineDeadline(c.deadlineMs)), 0)
                << c.deadlineMs;
            auto took = std::chrono::steady_clock::now() - start;
            EXPECT_GE(took, std::chrono::milliseconds(c.deadlineMs - 1)) << c.deadlineMs;
            quickest = std::min(quickest, took);
        }
        EXPECT_LT(quickest, c.atMost) << c.deadlineMs;
    }
    LineClose(&line);
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(TtyLineTest, Rs485DirectionIsResolvedAtOpenAndSendsStillGoOut) {
    // A pty refuses both the RS485 mode and the modem lines: the line still works, and says why.
    struct Case {
        const char* release;
        LineRs485 mode;
        int error;
    } cases[] = {
        {"2.6.35-70\n", LineRs485::kKernel, ENOTTY},
        {"3.0.1-80\n", LineRs485::kNone, ENOTTY},  // no modem lines: no RTS framing
    };
    for (const Case& c : cases) {
        box.WriteFile("/proc/sys/kernel/osrelease", c.release);
        LineProfile profile = Profile();
        profile.rs485 = true;
        ASSERT_EQ(LineOpen(&line, profile), 0) << c.release;
        EXPECT_EQ(line.rs485, c.mode) << c.release;
        EXPECT_EQ(line.rs485Error, c.error) << c.release;
        EXPECT_EQ(LineSend(&line, "\x10\x02", 2), 0) << c.release;
        EXPECT_EQ(pty.Read(2, 2000), "\x10\x02") << c.release;
        LineClose(&line);
    }
}

TEST_F(TtyLineTest, DeviceThatCannotBeOpened) {
    LineProfile profile = Profile();
    profile.device = "/dev/ttyUSB5";
    EXPECT_EQ(LineOpen(&line, profile), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(box.LogHas("divers.lib : erreur ouverture port serie /dev/ttyUSB5 : 2", "err"));
    EXPECT_FALSE(line.open);
}

}  // namespace
