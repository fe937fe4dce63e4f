// The serial port layer against a pseudo-terminal (the test holds the master side), pipes for the
// paths a terminal never takes, and the fake clock for the retry and wait loops.
#include "serialcomm.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "fakeclock.h"
#include "logdebug.h"
#include "pty.h"
#include "sandbox.h"
#include "test_variant.h"

namespace {

// Control flag words of the attribute writes, as the layer logged them before writing.
std::vector<unsigned> LoggedCflags(const Sandbox& box) {
    std::vector<unsigned> words;
    for (const std::string& line : box.LogLines()) {
        size_t at = line.find("divers.lib : cflag=");
        unsigned cflag = 0;
        if (at != std::string::npos &&
            std::sscanf(line.c_str() + at, "divers.lib : cflag=%X", &cflag) == 1) {
            words.push_back(cflag);
        }
    }
    return words;
}

unsigned LastLoggedCflag(const Sandbox& box) {
    std::vector<unsigned> words = LoggedCflags(box);
    return words.empty() ? 0 : words.back();
}

size_t CountLog(const Sandbox& box, const std::string& text) {
    size_t count = 0;
    for (const std::string& line : box.LogLines()) {
        count += line.find(text) != std::string::npos ? 1 : 0;
    }
    return count;
}

bool Readable(int fd, int timeoutMs) {
    pollfd waiting{fd, POLLIN, 0};
    return poll(&waiting, 1, timeoutMs) == 1;
}

// A line at dev/ttyUSB0 opened by the layer at 9600 8N1.
struct OpenLine {
    Sandbox box;
    PtyLine pty;
    int fd = -1;
    OpenLine() {
        EXPECT_EQ(pty.Open(box.Path("/dev/ttyUSB0")), 0);
        fd = SerialOpen("/dev/ttyUSB0", 9600, 'N', 8, 1);
        EXPECT_GE(fd, 0);
    }
    ~OpenLine() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

// A clock whose sleeps record their delays and may run an action at the n-th sleep.
class ScriptedClock final : public StationClock {
  public:
    ScriptedClock() { SetClock(this); }
    ~ScriptedClock() override { SetClock(nullptr); }
    long Uptime() override { return 500 + static_cast<long>(elapsedMs / 1000); }
    timespec Monotonic() override {
        return {static_cast<time_t>(elapsedMs / 1000),
                static_cast<long>(elapsedMs % 1000) * 1000000};
    }
    timeval Now() override { return {1700000000, 0}; }
    int Sleep(const timespec& delay, timespec* remaining) override {
        long long ms = delay.tv_sec * 1000LL + delay.tv_nsec / 1000000;
        delays.push_back(ms);
        elapsedMs += ms;
        if (remaining != nullptr) {
            *remaining = {0, 0};
        }
        if (static_cast<int>(delays.size()) == actionAt && action) {
            action();
        }
        return 0;
    }
    long long elapsedMs = 0;
    std::vector<long long> delays;
    int actionAt = -1;
    std::function<void()> action;
};

}  // namespace

// Fills a non-blocking pipe until it refuses more: a line whose output never drains.
static void FillPipe(int fd) {
    std::string filler(4096, 'f');
    while (write(fd, filler.data(), filler.size()) > 0) {
    }
}

TEST(SerialPortTable, NamesAndNumbersOfBothBuilds) {
    struct Case {
        int port;
        const char* full;      // nullptr: no device
        const char* shortOne;  // plcbridge's table
    } cases[] = {
        {-2, nullptr, nullptr},
        {-1, "ETH0", "ETH0"},
        {0, "/dev/ttymxc0", "/dev/ttymxc0"},
        {1, "/dev/ttymxc1", "/dev/ttymxc1"},
        {2, "/dev/orxcom0", "/dev/orxcom0"},
        {5, "/dev/orxcom3", "/dev/orxcom3"},
        {6, "/dev/ttyUSB0", nullptr},
        {13, "/dev/ttyUSB7", nullptr},
        {14, nullptr, nullptr},
    };
    for (PortTable table : {PortTable::FULL, PortTable::SHORT}) {
        ScopedVariant variant(TraceVariant::PREFIXED, table);
        for (const Case& c : cases) {
            const char* expected = table == PortTable::FULL ? c.full : c.shortOne;
            const char* name = SerialPortName(c.port);
            if (expected == nullptr) {
                EXPECT_EQ(name, nullptr) << c.port;
                continue;
            }
            ASSERT_NE(name, nullptr) << c.port;
            EXPECT_STREQ(name, expected);
            EXPECT_EQ(SerialPortNumber(expected), c.port) << expected;
        }
        EXPECT_EQ(SerialPortNumber("/dev/ttymxc3"), -1);
        EXPECT_EQ(SerialPortNumber(nullptr), -1);
    }
    ScopedVariant shortTable(TraceVariant::PREFIXED, PortTable::SHORT);
    EXPECT_EQ(SerialPortNumber("/dev/ttyUSB0"), -1);
}

TEST(SerialOpen, OpensThroughTheStationPathAtTheAskedSpeed) {
    OpenLine line;
    EXPECT_EQ(line.pty.Baud(), 9600);
    termios attributes{};
    ASSERT_TRUE(line.pty.Attributes(&attributes));
    EXPECT_EQ(attributes.c_cc[VMIN], 0);
    EXPECT_EQ(attributes.c_cc[VTIME], 1);
    EXPECT_EQ(attributes.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_NE(fcntl(line.fd, F_GETFL) & O_NONBLOCK, 0);
    unsigned cflag = LastLoggedCflag(line.box);
    EXPECT_EQ(cflag & (CREAD | CLOCAL), static_cast<unsigned>(CREAD | CLOCAL));
    EXPECT_EQ(cflag & CSIZE, static_cast<unsigned>(CS8));
    EXPECT_EQ(cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
}

TEST(SerialOpen, MissingDeviceFailsWithItsPathAndErrno) {
    Sandbox box;
    EXPECT_EQ(SerialOpen("/dev/ttyUSB5", 9600, 'N', 8, 1), -1);
    EXPECT_TRUE(box.LogHas("divers.lib : erreur ouverture port serie /dev/ttyUSB5 : 2", "err"));
}

// A program started with its standard input closed gets descriptor 0 for its port: that is a
// good descriptor, not a failure (nor a leak).
TEST(SerialOpen, DescriptorZeroIsAPort) {
    Sandbox box;
    PtyLine pty;
    ASSERT_EQ(pty.Open(box.Path("/dev/ttymxc1")), 0);
    int savedInput = dup(0);
    ASSERT_GE(savedInput, 0);
    close(0);
    int fd = SerialOpen("/dev/ttymxc1", 19200, 'N', 8, 1);
    int baud = pty.Baud();
    if (fd >= 0) {
        close(fd);
    }
    dup2(savedInput, 0);
    close(savedInput);
    EXPECT_EQ(fd, 0);
    EXPECT_EQ(baud, 19200);
    EXPECT_EQ(CountLog(box, "erreur ouverture port serie"), 0u);
}

// A refused speed at open or set-up leaves the line at the speed it had: a cleared speed would
// be B0, which hangs the line up.
TEST(SerialOpen, RefusedSpeedKeepsTheLinesSpeed) {
    Sandbox box;
    PtyLine pty;
    ASSERT_EQ(pty.Open(box.Path("/dev/ttyUSB2")), 0);
    int fd = SerialOpen("/dev/ttyUSB2", 2400, 'N', 8, 1);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(pty.Baud(), 2400);

    fd = SerialOpen("/dev/ttyUSB2", 14400, 'N', 8, 1);
    ASSERT_GE(fd, 0) << "the line is still opened";
    close(fd);
    EXPECT_EQ(pty.Baud(), 2400);
    EXPECT_EQ(CountLog(box, "divers.lib : erreur baud"), 1u);

    FakeClock clock;
    SerialConfigure("/dev/ttyUSB2", 14400, 'N', 8, 1, 0);
    EXPECT_EQ(pty.Baud(), 2400);
    EXPECT_EQ(CountLog(box, "divers.lib : erreur baud"), 2u);
}

TEST(SerialSettings, SpeedsAcceptedAndRefused) {
    OpenLine line;
    for (int speed : {50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 19200, 38400,
                      57600, 115200, 230400, 9600}) {
        EXPECT_EQ(SerialSetBaud(line.fd, speed), 1) << speed;
        EXPECT_EQ(line.pty.Baud(), speed);
    }
    size_t writes = CountLog(line.box, "divers.lib : cflag=");
    for (int speed : {14400, 9601, -9600, 460800}) {
        EXPECT_EQ(SerialSetBaud(line.fd, speed), 0) << speed;
        EXPECT_EQ(line.pty.Baud(), 9600) << speed;
    }
    EXPECT_EQ(CountLog(line.box, "divers.lib : erreur baud"), 4u);
    EXPECT_TRUE(line.box.LogHas("divers.lib : erreur baud", "err"));
    EXPECT_EQ(CountLog(line.box, "divers.lib : cflag="), writes) << "a refused speed wrote";
}

// A pty keeps 8N1 whatever is asked, so the framing is read from the flag word the layer logged
// just before writing it.
TEST(SerialSettings, FramingAsWrittenToTheDriver) {
    OpenLine line;
    struct Case {
        const char* what;
        int (*set)(int fd, int value);
        int value;
        unsigned mask;
        unsigned expected;
    } cases[] = {
        {"data 5", SerialSetDataBits, 5, CSIZE, CS5},
        {"data 7", SerialSetDataBits, 7, CSIZE, CS7},
        {"data 9", SerialSetDataBits, 9, CSIZE, CS8},
        {"data 0", SerialSetDataBits, 0, CSIZE, CS8},
        {"stop 2", SerialSetStopBits, 2, CSTOPB, CSTOPB},
        {"stop 0", SerialSetStopBits, 0, CSTOPB, 0},
        {"stop 3", SerialSetStopBits, 3, CSTOPB, 0},
        {"parity E", [](int fd, int p) { return SerialSetParity(fd, static_cast<char>(p)); }, 'E',
         PARENB | PARODD, PARENB},
        {"parity O", [](int fd, int p) { return SerialSetParity(fd, static_cast<char>(p)); }, 'O',
         PARENB | PARODD, PARENB | PARODD},
        {"parity N", [](int fd, int p) { return SerialSetParity(fd, static_cast<char>(p)); }, 'N',
         PARENB | PARODD, 0},
    };
    // The pty may refuse a write whose only change it cannot make (EINVAL): what matters here is
    // the word asked of the driver.
    for (const Case& c : cases) {
        c.set(line.fd, c.value);
        EXPECT_EQ(LastLoggedCflag(line.box) & c.mask, c.expected) << c.what;
    }
    // ... and such a refusal is reported, not taken for success.
    SerialSetDataBits(line.fd, 8);
    SerialSetParity(line.fd, 'N');
    EXPECT_EQ(SerialSetParity(line.fd, 'E'), 0);
    EXPECT_TRUE(line.box.LogHas("divers.lib : erreur ecriture attributs port serie=22", "err"));

    size_t writes = CountLog(line.box, "divers.lib : cflag=");
    EXPECT_EQ(SerialSetParity(line.fd, 'e'), 0);
    EXPECT_TRUE(line.box.LogHas("divers.lib : parity error", "err"));
    EXPECT_EQ(CountLog(line.box, "divers.lib : cflag="), writes);
}

TEST(SerialSettings, SilenceInTenthsRoundedUp) {
    OpenLine line;
    struct Case {
        int ms;
        int tenths;
    } cases[] = {{100, 1}, {101, 2}, {0, 0}, {250, 3}, {-5, 0}, {25500, 255}, {60000, 255}};
    for (const Case& c : cases) {
        ASSERT_EQ(SerialSetSilence(line.fd, c.ms), 1);
        termios attributes{};
        ASSERT_TRUE(line.pty.Attributes(&attributes));
        EXPECT_EQ(attributes.c_cc[VTIME], c.tenths) << c.ms;
        EXPECT_EQ(attributes.c_cc[VMIN], 0);
        EXPECT_TRUE(line.box.LogHas(
            "divers.lib : temps de silence=" + std::to_string(c.tenths) + " 1/10s", "debug"));
    }
}

TEST(SerialSettings, FlowControlBlockingAndLocal) {
    OpenLine line;
    EXPECT_EQ(SerialGetFlowControl(line.fd), 0);
    EXPECT_EQ(SerialSetFlowControl(line.fd, 5), 1);
    EXPECT_EQ(SerialGetFlowControl(line.fd), 1);
    EXPECT_TRUE(line.box.LogHas("divers.lib : ctrl flux CTS/RTS=1", "debug"));
    EXPECT_EQ(SerialSetFlowControl(line.fd, 0), 1);
    EXPECT_EQ(SerialGetFlowControl(line.fd), 0);
    EXPECT_TRUE(line.box.LogHas("divers.lib : ctrl flux CTS/RTS=0", "debug"));

    EXPECT_EQ(SerialSetBlocking(line.fd, 1), 1);
    EXPECT_EQ(fcntl(line.fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_TRUE(line.box.LogHas("divers.lib : mode blocant=1", "debug"));
    EXPECT_EQ(SerialSetBlocking(line.fd, 0), 1);
    EXPECT_NE(fcntl(line.fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(SerialSetBlocking(-1, 1), 0);
    EXPECT_TRUE(line.box.LogHas("divers.lib: erreur ecriture mode blocant", "err"));

    termios attributes{};
    EXPECT_EQ(SerialSetLocal(line.fd, 0), 1);
    ASSERT_TRUE(line.pty.Attributes(&attributes));
    EXPECT_EQ(attributes.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(SerialSetLocal(line.fd, 1), 1);
    ASSERT_TRUE(line.pty.Attributes(&attributes));
    EXPECT_NE(attributes.c_cflag & CLOCAL, 0u);
    char expected[80];
    std::snprintf(expected, sizeof expected, "divers.lib changement CLOCAL (Old=%X,New=%X)",
                  static_cast<unsigned>(attributes.c_cflag & ~CLOCAL),
                  static_cast<unsigned>(attributes.c_cflag));
    EXPECT_TRUE(line.box.LogHas(expected, "debug")) << expected;

    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    EXPECT_EQ(SerialSetLocal(pipeFds[0], 1), 0);
    EXPECT_TRUE(line.box.LogHas("divers.lib : erreur dans lecture cflag :25", "err"));
    EXPECT_EQ(SerialSetBaud(pipeFds[0], 9600), 0);
    close(pipeFds[0]);
    close(pipeFds[1]);
}

// Each setter that writes attributes announces, at debug level, exactly the control word it
// hands to the driver (the pty then holds that word).
TEST(SerialSettings, EverySetterLogsTheFlagWordsItWrites) {
    OpenLine line;
    struct Case {
        const char* what;
        int (*set)(int fd);
    } cases[] = {
        {"baud", [](int fd) { return SerialSetBaud(fd, 19200); }},
        {"data bits", [](int fd) { return SerialSetDataBits(fd, 8); }},
        {"stop bits", [](int fd) { return SerialSetStopBits(fd, 1); }},
        {"parity", [](int fd) { return SerialSetParity(fd, 'N'); }},
        {"silence", [](int fd) { return SerialSetSilence(fd, 400); }},
        {"flow on", [](int fd) { return SerialSetFlowControl(fd, 1); }},
        {"flow off", [](int fd) { return SerialSetFlowControl(fd, 0); }},
        {"local off", [](int fd) { return SerialSetLocal(fd, 0); }},
        {"local on", [](int fd) { return SerialSetLocal(fd, 1); }},
        {"reconfigure", [](int fd) { return SerialReconfigure(fd, 4800, 'N', 8, 1); }},
    };
    for (const Case& c : cases) {
        size_t before = LoggedCflags(line.box).size();
        ASSERT_EQ(c.set(line.fd), 1) << c.what;
        std::vector<unsigned> words = LoggedCflags(line.box);
        ASSERT_EQ(words.size(), before + 1) << c.what;
        termios attributes{};
        ASSERT_TRUE(line.pty.Attributes(&attributes));
        EXPECT_EQ(words.back(), static_cast<unsigned>(attributes.c_cflag)) << c.what;
        const std::vector<std::string> lines = line.box.LogLines();
        auto last = std::find_if(lines.rbegin(), lines.rend(), [](const std::string& text) {
            return text.find("divers.lib : cflag=") != std::string::npos;
        });
        ASSERT_NE(last, lines.rend());
        EXPECT_EQ(last->rfind("debug ", 0), 0u) << *last;
    }
}

TEST(SerialReconfigure, RawProfileAgainOrNothingWhenRefused) {
    OpenLine line;
    SerialSetFlowControl(line.fd, 1);
    SerialSetSilence(line.fd, 500);
    EXPECT_EQ(SerialReconfigure(line.fd, 14400, 'N', 8, 1), 0);
    EXPECT_EQ(SerialReconfigure(line.fd, 19200, 'Z', 8, 1), 0);
    termios attributes{};
    ASSERT_TRUE(line.pty.Attributes(&attributes));
    EXPECT_EQ(line.pty.Baud(), 9600);
    EXPECT_EQ(attributes.c_cc[VTIME], 5);
    EXPECT_NE(attributes.c_cflag & CRTSCTS, 0u);

    EXPECT_EQ(SerialReconfigure(line.fd, 19200, 'O', 7, 2), 1);
    ASSERT_TRUE(line.pty.Attributes(&attributes));
    EXPECT_EQ(line.pty.Baud(), 19200);
    EXPECT_EQ(attributes.c_cc[VTIME], 1);
    EXPECT_EQ(attributes.c_cflag & CRTSCTS, 0u);
    unsigned cflag = LastLoggedCflag(line.box);
    EXPECT_EQ(cflag & (CSIZE | PARENB | PARODD | CSTOPB),
              static_cast<unsigned>(CS7 | PARENB | PARODD | CSTOPB));
}

TEST(SerialConfigure, SetsUpAndClosesTheLine) {
    Sandbox box;
    PtyLine pty;
    ASSERT_EQ(pty.Open(box.Path("/dev/orxcom1")), 0);
    FakeClock clock;
    SerialConfigure("/dev/orxcom1", 38400, 'E', 7, 2, 1);
    EXPECT_EQ(pty.Baud(), 38400);
    termios attributes{};
    ASSERT_TRUE(pty.Attributes(&attributes));
    EXPECT_NE(attributes.c_cflag & CRTSCTS, 0u);
    EXPECT_TRUE(box.LogHas("/dev/orxcom1 : Baud=38400 Data=7 Parity=E Stop=2 Flux=1", "debug"));
    EXPECT_EQ(clock.ElapsedMs(), 300);
    // The line word as asked (parity after the character size leaves the size alone), then the
    // flow-control write.
    std::vector<unsigned> words = LoggedCflags(box);
    ASSERT_EQ(words.size(), 2u);
    EXPECT_EQ(words[0] & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CREAD | CLOCAL),
              static_cast<unsigned>(CS7 | PARENB | CSTOPB | CREAD | CLOCAL));
    EXPECT_NE(words[1] & CRTSCTS, 0u);
    // Closed again: no descriptor of this process still points at the slave.
    std::string slave = pty.SlavePath();
    int stillOpen = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        char link[64];
        char target[256] = {};
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        if (readlink(link, target, sizeof target - 1) > 0 && slave == target) {
            ++stillOpen;
        }
    }
    EXPECT_EQ(stillOpen, 1) << "only the helper's own slave descriptor";
}

// The line's descriptor is closed once: a descriptor that reuses its number during the last
// pause (another unit opening a file) stays open.
TEST(SerialConfigure, ClosesItsDescriptorOnlyOnce) {
    Sandbox box;
    PtyLine pty;
    ASSERT_EQ(pty.Open(box.Path("/dev/orxcom0")), 0);
    ScriptedClock clock;
    int reused = -1;
    clock.actionAt = 3;
    clock.action = [&] { reused = open("/dev/null", O_RDONLY | O_CLOEXEC); };
    SerialConfigure("/dev/orxcom0", 9600, 'N', 8, 1, 0);
    ASSERT_EQ(clock.delays, (std::vector<long long>{100, 100, 100}));
    ASSERT_GE(reused, 0);
    EXPECT_NE(fcntl(reused, F_GETFD), -1) << "descriptor " << reused << " closed behind its back";
    close(reused);
}

TEST(SerialConfigureDeathTest, MissingDeviceIsFatal) {
    GTEST_FLAG_SET(death_test_style, "fast");
    Sandbox box;
    EXPECT_DEATH(SerialConfigure("/dev/ttyUSB3", 9600, 'N', 8, 1, 0), "");
    EXPECT_NE(box.Log().find("crit "), std::string::npos);
    EXPECT_NE(box.Log().find("serial port open  a la ligne No "), std::string::npos);
}

TEST(SerialWrite, BytesReachTheOtherEnd) {
    OpenLine line;
    const std::string frame = "\x10\x02hello\x00\xff" + std::string(3000, 'x');
    ASSERT_EQ(SerialWrite(line.fd, frame.data(), static_cast<int>(frame.size())), 0);
    EXPECT_EQ(line.pty.Read(frame.size(), 5000), frame);
    EXPECT_EQ(SerialWrite(line.fd, "", 0), 0);
    EXPECT_EQ(SerialWrite(line.fd, nullptr, 4), -1);
}

TEST(SerialWrite, GivesUpOnThe51stTryAgain) {
    Sandbox box;
    FakeClock clock;
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_NONBLOCK), 0);
    FillPipe(pipeFds[1]);
    ASSERT_EQ(SerialWrite(pipeFds[1], "x", 1), -1);
    EXPECT_EQ(clock.Sleeps(), 50);
    EXPECT_EQ(clock.ElapsedMs(), 5000);
    EXPECT_TRUE(box.LogHas("divers.lib : SerialWrite depassement Temps", "err"));
    EXPECT_EQ(CountLog(box, "SerialWrite error"), 0u);
    close(pipeFds[0]);
    close(pipeFds[1]);
}

TEST(SerialWrite, VerboseLinesAndPlcbridgesTryAgainLine) {
    Sandbox box;
    box.WriteFile("/var/run/serialtest.debug", "1\n");
    ASSERT_EQ(IsDebug("serialtest"), 1);
    FakeClock clock;
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_NONBLOCK), 0);
    EXPECT_EQ(SerialWrite(pipeFds[1], "abc", 3), 0);
    EXPECT_TRUE(box.LogHas("Emis=3 Lng=3", "debug"));
    FillPipe(pipeFds[1]);
    for (PortTable table : {PortTable::FULL, PortTable::SHORT}) {
        ScopedVariant variant(TraceVariant::PREFIXED, table);
        unlink(box.Path("/var/log/messages").c_str());
        EXPECT_EQ(SerialWrite(pipeFds[1], "x", 1), -1);
        EXPECT_EQ(CountLog(box, "Emis=-1 Lng=1"), 51u);
        EXPECT_EQ(CountLog(box, "divers.lib : SerialWrite interrupted by EAGAIN"),
                  table == PortTable::SHORT ? 50u : 0u);
    }
    unlink(box.Path("/var/run/serialtest.debug").c_str());
    EXPECT_EQ(IsDebug("serialtest"), 0);
    close(pipeFds[0]);
    close(pipeFds[1]);
}

// A blocking line that never drains, with a timer signal cutting each write short: every
// interruption is said, and the line is still given up on the 51st.
TEST(SerialWrite, InterruptedWritesAreBoundedToo) {
    Sandbox box;
    FakeClock clock;
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_NONBLOCK), 0);
    FillPipe(pipeFds[1]);
    ASSERT_EQ(fcntl(pipeFds[1], F_SETFL, 0), 0);
    struct sigaction tick {};
    tick.sa_handler = [](int) {};
    sigemptyset(&tick.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGALRM, &tick, &previous), 0);  // no SA_RESTART: the write returns EINTR
    itimerval every{{0, 5000}, {0, 5000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every, nullptr), 0);
    int result = SerialWrite(pipeFds[1], "x", 1);
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(CountLog(box, "divers.lib : SerialWrite interrupted by signal"), 50u);
    EXPECT_TRUE(box.LogHas("divers.lib : SerialWrite interrupted by signal", "debug"));
    EXPECT_TRUE(box.LogHas("divers.lib : SerialWrite depassement Temps", "err"));
    EXPECT_EQ(clock.Sleeps(), 50);
    close(pipeFds[0]);
    close(pipeFds[1]);
}

TEST(SerialWrite, OtherErrorsEndAtOnce) {
    Sandbox box;
    FakeClock clock;
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    close(pipeFds[0]);
    signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(SerialWrite(pipeFds[1], "abc", 3), -1);
    EXPECT_TRUE(box.LogHas("divers.lib : SerialWrite error=32", "err"));
    EXPECT_EQ(clock.Sleeps(), 0);
    close(pipeFds[1]);
    EXPECT_EQ(SerialWrite(pipeFds[1], "abc", 3), -1);
    EXPECT_TRUE(box.LogHas("divers.lib : SerialWrite error=9", "err"));
}

TEST(SerialWriteRts, PtyRefusesTheModemLinesButTheFrameGoesOut) {
    OpenLine line;
    FakeClock clock;
    ASSERT_EQ(SerialWriteRts(line.fd, "RTS", 3), 0);
    EXPECT_EQ(line.pty.Read(3, 2000), "RTS");
    EXPECT_TRUE(line.box.LogHas("divers.lib : erreur dans commande rts=25", "err"));
    EXPECT_TRUE(line.box.LogHas("divers.lib : ioctl error=25", "err"));
}

TEST(SerialReadChar, BytesAndSilence) {
    OpenLine line;
    FakeClock clock;
    EXPECT_EQ(SerialReadChar(line.fd), -1);
    EXPECT_EQ(clock.ElapsedMs(), 100);
    ASSERT_TRUE(line.pty.Write(std::string("A\xff\x00", 3)));
    std::vector<int> got;
    ASSERT_TRUE(WaitUntil([&] {
        int c = SerialReadChar(line.fd);
        if (c != -1) {
            got.push_back(c);
        }
        return got.size() == 3;
    }));
    EXPECT_EQ(got, (std::vector<int>{'A', 0xFF, 0}));
}

TEST(SerialReadChar, BlockingReadWaitsForTheSilence) {
    OpenLine line;
    ASSERT_EQ(SerialSetBlocking(line.fd, 1), 1);
    ASSERT_EQ(SerialSetSilence(line.fd, 300), 1);
    FakeClock clock;  // only the layer's own pause is fake; the line's time-out is the kernel's
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SerialReadChar(line.fd), -1);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::milliseconds(3000));

    ASSERT_TRUE(line.pty.Write("Z"));
    ASSERT_TRUE(Readable(line.fd, 2000));
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(SerialReadChar(line.fd), 'Z');
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
}

TEST(SerialFlush, TerminalDiscardsPendingInput) {
    OpenLine line;
    FakeClock clock;
    ASSERT_TRUE(line.pty.Write("stale"));
    ASSERT_TRUE(Readable(line.fd, 2000));
    EXPECT_EQ(SerialFlush(line.fd), 0);
    EXPECT_FALSE(Readable(line.fd, 0));
    EXPECT_EQ(CountLog(line.box, "flush"), 0u);
}

TEST(SerialFlush, NonTerminalIsDrainedByHandUpTo256Bytes) {
    Sandbox box;
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    ASSERT_EQ(write(pipeFds[1], "0123456789", 10), 10);
    EXPECT_EQ(SerialFlush(pipeFds[0]), 0);
    EXPECT_TRUE(box.LogHas("divers.lib: flush receive : 10 byte", "err"));
    EXPECT_FALSE(Readable(pipeFds[0], 0));

    std::string many(300, 'm');
    ASSERT_EQ(write(pipeFds[1], many.data(), many.size()), 300);
    EXPECT_EQ(SerialFlush(pipeFds[0]), -1);
    EXPECT_TRUE(box.LogHas("divers.lib : too many byte received before flush", "err"));
    EXPECT_TRUE(box.LogHas("divers.lib: flush receive : 256 byte", "err"));
    char rest[64];
    EXPECT_EQ(read(pipeFds[0], rest, sizeof rest), 44);

    EXPECT_EQ(SerialFlush(pipeFds[0]), 0) << "an empty pipe never blocks the flush";
    close(pipeFds[0]);
    close(pipeFds[1]);
}

TEST(SerialModemLines, PtyRefusalsTakeTheErrorPaths) {
    OpenLine line;
    EXPECT_EQ(SerialGetCD(line.fd), 0);
    EXPECT_TRUE(line.box.LogHas("divers.lib : erreur lecture CD=25", "err"));
    EXPECT_EQ(SerialGetRI(line.fd), 0);
    EXPECT_EQ(SerialSetDTR(line.fd, 1), 0);
    EXPECT_TRUE(line.box.LogHas("divers.lib : erreur dans commande dtr=25", "err"));
}

TEST(SerialPortAvailable, OpensAndClosesOrSaysWhy) {
    Sandbox box;
    PtyLine pty;
    ASSERT_EQ(pty.Open(box.Path("/dev/ttyUSB0")), 0);
    EXPECT_EQ(SerialPortAvailable(6), 1);
    EXPECT_EQ(SerialPortAvailable(7), 0);
    EXPECT_TRUE(box.LogHas("error open /dev/ttyUSB1 (7)=No such file or directory", "err"));
    EXPECT_EQ(SerialPortAvailable(14), 0);
    EXPECT_TRUE(box.LogHas("no peripherique for 14", "err"));

    // -1 is the Ethernet link: its name "ETH0" is no path, even where a file of that name lies.
    box.WriteFile("/ETH0", "");
    char* previous = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(box.Root().c_str()), 0);
    int ethernet = SerialPortAvailable(-1);
    ASSERT_EQ(chdir(previous), 0);
    free(previous);
    EXPECT_EQ(ethernet, 0);
    EXPECT_TRUE(box.LogHas("no peripherique for -1", "err"));
}

TEST(SerialWaitPort, GrowingPausesUntilTheLimit) {
    Sandbox box;
    ScriptedClock clock;
    EXPECT_EQ(SerialWaitPort(7, 2), 0);
    EXPECT_EQ(clock.delays, (std::vector<long long>{50, 150, 250, 350, 450, 550, 650, 750}));

    ScriptedClock longer;
    EXPECT_EQ(SerialWaitPort(7, 20), 0);
    ASSERT_GT(longer.delays.size(), 14u);
    EXPECT_EQ(longer.delays[9], 950);
    EXPECT_EQ(longer.delays[10], 1050);
    EXPECT_EQ(longer.delays.back(), 1050);
}

TEST(SerialWaitPort, SucceedsOnceTheDeviceAppears) {
    Sandbox box;
    PtyLine pty;
    ScriptedClock clock;
    clock.actionAt = 3;
    clock.action = [&] { ASSERT_EQ(pty.Open(box.Path("/dev/ttyUSB1")), 0); };
    EXPECT_EQ(SerialWaitPort(7, 60), 1);
    EXPECT_EQ(clock.delays, (std::vector<long long>{50, 150, 250}));
}

TEST(SerialRs485AutoRts, KernelReleaseDecides) {
    Sandbox box;
    struct Case {
        const char* release;  // nullptr: no file
        int automatic;
        const char* logged;
        const char* priority;
    } cases[] = {
        {"2.6.35-70\n", 1, "Gestion RTS du RS485 automatique", "debug"},
        {"2.6.35-68", 0, "Gestion RTS du RS485 manuel", "debug"},
        {"3.0.1-80\n", 0, "Gestion RTS du RS485 manuel", "debug"},
        {"2.6.30-70", 0, "Gestion RTS du RS485 manuel", "debug"},
        {"1.6.35-70", 0, "Gestion RTS du RS485 manuel", "debug"},
        {"2.5.35-70", 0, "Gestion RTS du RS485 manuel", "debug"},
        {"2.6.35-70-rt\n", 1, "Gestion RTS du RS485 automatique", "debug"},
        {"6.18.44-fc-v1300\n", 0, "Gestion RTS du RS485 manuel", "debug"},
        {"2.6.35\n", 0, "Kernel Extraversion not available", "err"},
        {"2.6\n", 0, "Kernel Sublevel not available", "err"},
        {"2\n", 0, "Kernel PatchLevel not available", "err"},
        {"\n", 0, "Kernel Version not available", "err"},
        {"", 0, "erreur lecture /proc/version = 0", "err"},
        {nullptr, 0, "erreur ouverture /proc/sys/kernel/osrelease = 2", "err"},
    };
    for (const Case& c : cases) {
        const char* what = c.release != nullptr ? c.release : "(no file)";
        unlink(box.Path("/proc/sys/kernel/osrelease").c_str());
        if (c.release != nullptr) {
            box.WriteFile("/proc/sys/kernel/osrelease", c.release);
        }
        unlink(box.Path("/var/log/messages").c_str());
        EXPECT_EQ(SerialRs485AutoRts(), c.automatic) << what;
        EXPECT_TRUE(box.LogHas(c.logged, c.priority)) << what << "\n" << box.Log();
        if (std::string(c.priority) == "err") {
            EXPECT_EQ(CountLog(box, "Gestion RTS"), 0u) << what;
        }
    }
    EXPECT_TRUE(box.LogHas("erreur ouverture /proc/sys/kernel/osrelease = 2", "err"));
    box.WriteFile("/proc/sys/kernel/osrelease", "2.6.35-70\n");
    SerialRs485AutoRts();
    EXPECT_TRUE(box.LogHas("Verification du support du RS485 dans le noyau 2.6.35-70", "debug"));
    EXPECT_TRUE(box.LogHas("Gestion RTS du RS485 automatique", "debug"));
}
