// alarmsender's server argument and its two bounded waits on a real loopback connection: a
// connection the server never completes and a text the server never reads. The clock's uptime
// runs sixty times faster here, so the 60 s bounds are reached in a second or two, and the CPU
// the waits cost is measured.
#include "alarmsender.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "clock.h"
#include "sandbox.h"

using namespace alarmsender;

namespace {

// The system clock, but for an uptime that runs `factor` times faster.
class FastUptimeClock final : public StationClock {
  public:
    explicit FastUptimeClock(long factor) : factor_(factor) {
        SetClock(nullptr);
        base_ = Clock().Uptime();
        startMs_ = MonotonicMs();
        SetClock(this);
    }
    ~FastUptimeClock() override { SetClock(nullptr); }
    long Uptime() override { return base_ + (RealMs() - startMs_) * factor_ / 1000; }
    timespec Monotonic() override {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return now;
    }
    timeval Now() override {
        timeval now{};
        gettimeofday(&now, nullptr);
        return now;
    }
    int Sleep(const timespec& delay, timespec* remaining) override {
        return nanosleep(&delay, remaining);
    }

  private:
    long long RealMs() {
        timespec now = Monotonic();
        return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
    }
    long factor_;
    long base_ = 0;
    long long startMs_ = 0;
};

double ThreadCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A listening socket on 127.0.0.1 (a port of the kernel's choosing) that never accepts.
struct Listener {
    int fd = -1;
    sockaddr_in address{};
    explicit Listener(int backlog) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(listen(fd, backlog), 0);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    }
    ~Listener() { close(fd); }
};

int NonBlockingSocket() {
    return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

class AlarmServerWaits : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(EnterNetworkNamespace()); }
    Sandbox box_;  // the log copy

    int LogCount(const std::string& text) {
        int count = 0;
        for (const std::string& line : box_.LogLines()) {
            count += line.size() >= text.size() &&
                     line.compare(line.size() - text.size(), text.size(), text) == 0;
        }
        return count;
    }
};

}  // namespace

TEST(AlarmCode, HostAndPort) {
    struct Case {
        const char* code;
        int result;
        const char* host;
        int port;
    } cases[] = {
        {"10.0.0.5:9100", 0, "10.0.0.5", 9100},
        {"10.0.0.5", 0, "10.0.0.5", 8000},
        {"10.0.0.5:", 0, "10.0.0.5", 8000},
        {"alarms.site.example:1\n", 0, "alarms.site.example", 1},  // from an argument file
        {"alarms\r\n", 0, "alarms", 8000},
        {"123456789012345678901234567890123456789:7", 0, "123456789012345678901234567890123456789",
         7},
        {"1234567890123456789012345678901234567890:7", -1, "", 0},  // 40 characters
        {":8000", -1, "", 0},
        {"", -1, "", 0},
        {"10.0.0.5:0", -1, "", 0},
        {"10.0.0.5:65536", -1, "", 0},
        {"10.0.0.5:80a", -1, "", 0},
        {"10.0.0.5:-1", -1, "", 0},
        {"10.0.0.5:0000080", -1, "", 0},
    };
    for (const Case& c : cases) {
        AlarmServer server{};
        ASSERT_EQ(ParseAlarmCode(c.code, &server), c.result) << c.code;
        if (c.result == 0) {
            EXPECT_STREQ(server.host, c.host) << c.code;
            EXPECT_EQ(server.port, c.port) << c.code;
        }
    }
}

TEST_F(AlarmServerWaits, AConnectionNeverMadeIsGivenUpAfterTheBound) {
    // The server's queue of connections is full: the next one stays in progress.
    Listener server(0);
    std::vector<int> fillers;
    for (int i = 0; i < 2; ++i) {
        fillers.push_back(NonBlockingSocket());
        connect(fillers.back(), reinterpret_cast<sockaddr*>(&server.address),
                sizeof server.address);
    }
    int fd = NonBlockingSocket();
    FastUptimeClock clock(60);
    auto start = std::chrono::steady_clock::now();
    double cpu = ThreadCpuSeconds();
    EXPECT_EQ(ConnectAlarmServer(fd, &server.address), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpu = ThreadCpuSeconds() - cpu;
    EXPECT_GE(seconds, 0.95);  // 60 s of the fast uptime
    EXPECT_LT(seconds, 3.5);
    EXPECT_LT(cpu, 0.2);
    close(fd);
    for (int f : fillers) {
        close(f);
    }
}

TEST_F(AlarmServerWaits, ARefusedConnectionEndsAtOnce) {
    sockaddr_in closed{};
    {
        Listener gone(1);
        closed = gone.address;
    }
    int fd = NonBlockingSocket();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ConnectAlarmServer(fd, &closed), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    close(fd);
}

TEST_F(AlarmServerWaits, AServerThatNeverReadsIsGivenUpAfterTheBound) {
    Listener server(1);  // the connection is made by the kernel and never read
    int fd = NonBlockingSocket();
    ASSERT_EQ(ConnectAlarmServer(fd, &server.address), 0);
    // More than the two sockets' buffers hold.
    std::string text(16 << 20, 'A');
    FastUptimeClock clock(60);
    auto start = std::chrono::steady_clock::now();
    double cpu = ThreadCpuSeconds();
    EXPECT_EQ(SendAlarmText(fd, text.data(), text.size()), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpu = ThreadCpuSeconds() - cpu;
    EXPECT_GE(seconds, 0.95);
    EXPECT_LT(seconds, 3.5);
    EXPECT_LT(cpu, 0.5);  // most of it copying the text into the buffers
    // One wait a second at most, not a spin.
    int waits = LogCount("socket send interrupted by EAGAIN");
    EXPECT_GE(waits, 1);
    EXPECT_LE(waits, 5);
    close(fd);
}

TEST_F(AlarmServerWaits, AServerThatClosesEndsTheWriteWithoutASignal) {
    Listener server(1);
    int fd = NonBlockingSocket();
    ASSERT_EQ(ConnectAlarmServer(fd, &server.address), 0);
    int accepted = accept(server.fd, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    // Closed with data unread: the peer resets the connection.
    ASSERT_EQ(send(fd, "x", 1, 0), 1);
    close(accepted);
    std::string text(1 << 20, 'A');
    EXPECT_EQ(SendAlarmText(fd, text.data(), text.size()), -1);  // no SIGPIPE: still here
    EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << errno;
    close(fd);
}

TEST(AlarmTemplate, APieceThatWouldTakeTheTerminatorsByteEndsTheExpansion) {
    AlarmExpansion alarm;
    alarm.code = 12345;
    const struct {
        int size;
        int placed;
        const char* text;
    } cases[] = {{6, 5, "12345"}, {5, 0, ""}, {1, 0, ""}};
    for (const auto& c : cases) {
        char output[8];
        std::memset(output, '#', sizeof output);
        EXPECT_EQ(ExpandTemplate(&alarm, "%c", output, c.size), c.placed) << c.size;
        EXPECT_STREQ(output, c.text) << c.size;
        EXPECT_EQ(output[c.size], '#') << "written past the output's " << c.size << " bytes";
    }
}
