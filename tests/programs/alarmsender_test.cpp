// alarmsender against real TCP peers in the test's own network namespace: a server that records
// what it receives, one that accepts and never reads, a refused port, a name that does not
// resolve. The text on the wire, the exit statuses, the trace and the log.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "sandbox.h"
#include "serialdebug.h"
#include "stationcore_fixture.h"

// Its own namespace: the program tests are compiled in batches.
namespace alarmsender_test {

namespace {

constexpr int kTracePort = 5;

// A TCP server on 127.0.0.1:port. Reading: it takes each connection's bytes until the sender
// closes, one text per connection. Not reading: it accepts and holds the connections, reading
// nothing until ReadHeld().
class TestAlarmServer {
  public:
    TestAlarmServer(int port, bool reads) : reads_(reads) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << port;
        EXPECT_EQ(listen(fd_, 8), 0);
        thread_ = std::thread([this] { Serve(); });
    }
    ~TestAlarmServer() {
        stop_ = true;
        thread_.join();
        for (int fd : held_) {
            close(fd);
        }
        close(fd_);
    }

    // The texts of the connections closed so far, waiting up to 5 s for `count` of them.
    std::vector<std::string> Texts(size_t count) {
        WaitForCount(texts_, count);
        std::lock_guard<std::mutex> lock(mutex_);
        return texts_;
    }
    // What the held connections had waiting, read to their end, once `count` of them were
    // accepted (the server accepts on its own time: the sender may be done before), 5 s at most.
    std::vector<std::string> ReadHeld(size_t count) {
        WaitForCount(held_, count);
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> texts;
        for (int fd : held_) {
            texts.push_back(ReadToEnd(fd));
        }
        return texts;
    }

  private:
    // Waits up to 5 s for the server's thread to have put `count` items in `items`.
    template <class Items>
    void WaitForCount(const Items& items, size_t count) {
        WaitUntil(
            [&] {
                std::lock_guard<std::mutex> lock(mutex_);
                return items.size() >= count;
            },
            std::chrono::seconds(5));
    }
    static std::string ReadToEnd(int fd) {
        std::string text;
        char block[4096];
        pollfd wait{fd, POLLIN, 0};
        while (poll(&wait, 1, 5000) == 1) {
            ssize_t n = read(fd, block, sizeof block);
            if (n <= 0) {
                break;
            }
            text.append(block, static_cast<size_t>(n));
        }
        return text;
    }
    void Serve() {
        pollfd wait{fd_, POLLIN, 0};
        while (!stop_) {
            if (poll(&wait, 1, 20) != 1) {
                continue;
            }
            int connection = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) {
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            if (reads_) {
                texts_.push_back(ReadToEnd(connection));
                close(connection);
            } else {
                held_.push_back(connection);
            }
        }
    }

    bool reads_;
    int fd_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> texts_;
    std::vector<int> held_;
};

// The trace of the run, created before it so that what it writes can be read after.
struct TraceReader {
    SerialDebug trace;
    TraceReader() { EXPECT_EQ(CreateSerialDebug(&trace, kTracePort), 0); }
    ~TraceReader() { CloseSerialDebug(&trace); }
    std::string Read() {
        char text[16384];
        ReadStrFromSerialDebug(&trace, text, sizeof text - 1);
        return text;
    }
};

struct AlarmRun {
    ProgramResult result;
    std::string trace;
};

AlarmRun RunAlarm(const std::vector<std::string>& args) {
    TraceReader reader;
    AlarmRun run;
    run.result = RunProgram(ProgramPath("alarmsender"), args, std::chrono::seconds(10));
    run.trace = reader.Read();
    return run;
}

// The text as the trace shows it: unprintable bytes as "[$0A]".
std::string WithHex(const std::string& text) {
    std::string shown;
    for (unsigned char c : text) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "[$%02X]", c);
        shown += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : hex;
    }
    return shown;
}

std::string LocalDate(time_t time) {
    char text[32];
    struct tm date {};
    localtime_r(&time, &date);
    strftime(text, sizeof text, "%d/%m/%Y %H:%M:%S", &date);
    return text;
}

const char* const kIdentity =
    "[ENV]\nCHANNEL_MAX_NB=60\n[IDENT]\nNAME=Station des Essarts\nID=4711\n";

class AlarmSenderProgram : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(EnterNetworkNamespace());
        setenv("TZ", "UTC0", 1);
        box_.WriteFile("/tmp/orxapp.ini", kIdentity);
        box_.WriteFile("/etc/orxapp.ini", kIdentity);
    }
    void TearDown() override { unsetenv("TZ"); }
    Sandbox box_;
};

}  // namespace

TEST_F(AlarmSenderProgram, DeliversTheExpandedTemplateToPort8000) {
    struct Case {
        const char* message;
        std::string text;
    } cases[] = {
        // The alarm channel's name, the alarm date, the alarm value as text with its unit.
        {"Message=Alarme %v le %d : %e", "Alarme Porte armoire le 14/11/2023 22:13:20 : Ouverte"},
        // Current values: with the unit, without it (%F), for a channel that does not exist.
        {"Message=%E0010|%F0010 %n|%E0001|%E0012|[%E0099][%V0099]",
         "2.15 m|2.15 -10|Fermee|80.00 %|[* * *][]"},
        // A group, lines ending in LF.
        {"Message=B:\n%XB.",
         "B:\nV0001 Porte armoire                    Fermee\n"
         "V0010 Niveau bache                     2.15 m\n."},
        {"Message=%s (%i) code %c", "Station des Essarts (4711) code -1"},
        // %n: the number of the last %E, %F or %V, 0 before any; 4 characters after the letter
        // are the number, fewer at the end of the template.
        {"Message=%n %V0010 %n %V0099 %n|%V12", "0 Niveau bache 10  99|Consigne vitesse"},
        // No directive: both characters go; a lone % at the end goes too.
        {"Message=a%qb%%c 100%", "abc 100"},
    };
    StationCore core(box_, std::string("channels 60\n") +
                               "channel 1 ETOR \"Porte armoire\" state0=\"Fermee\" "
                               "state1=\"Ouverte\" indexes=AB\n"
                               "channel 10 EANA \"Niveau bache\" unit=\"m\" format=\"%.2f\" "
                               "coef=0.01 value=215 indexes=B\n"
                               "channel 12 SANA \"Consigne vitesse\" unit=\"%\" value=80\n");
    ASSERT_TRUE(core.Ready()) << core.Output();
    TestAlarmServer server(8000, true);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        AlarmRun run = RunAlarm(
            {"Port=5", "Voie=1", "Code=127.0.0.1", "Valeur=1", c.message, "Date=1700000000"});
        EXPECT_EQ(run.result.status, 8) << c.message << run.trace;
        std::vector<std::string> texts = server.Texts(i + 1);
        ASSERT_EQ(texts.size(), i + 1) << c.message;
        EXPECT_EQ(texts[i], c.text) << c.message;
        std::string expected =
            "sending alarm messages to a tcp server 127.0.0.1 :8000 \n"
            "Connect : Ok\nSnd(" +
            std::to_string(c.text.size()) + ") : " + WithHex(c.text) + "\nIt's Ok : Acknowledge\n";
        EXPECT_NE(run.trace.find(expected), std::string::npos) << run.trace;
    }
    EXPECT_TRUE(box_.LogHas("Acquitte", "debug"));
    EXPECT_FALSE(box_.LogHas("no message"));
    EXPECT_FALSE(box_.LogHas("no timestamp"));
}

TEST_F(AlarmSenderProgram, DefaultMessageAndTime) {
    StationCore core(box_);
    ASSERT_TRUE(core.Ready());
    TestAlarmServer server(8000, true);
    AlarmRun run = RunAlarm({"Port=5", "Voie=1", "Code=127.0.0.1:8000"});
    EXPECT_EQ(run.result.status, 8);
    time_t before = time(nullptr);
    AlarmRun dated = RunAlarm({"Port=5", "Voie=1", "Code=127.0.0.1", "Message=%d", "Date=0"});
    time_t after = time(nullptr);
    EXPECT_EQ(dated.result.status, 8);
    std::vector<std::string> texts = server.Texts(2);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "empty message from Station des Essarts (4711)");
    EXPECT_TRUE(texts[1] == LocalDate(before) || texts[1] == LocalDate(after)) << texts[1];
    EXPECT_TRUE(box_.LogHas("no message", "err"));
    EXPECT_TRUE(box_.LogHas("no timestamp", "err"));
}

TEST_F(AlarmSenderProgram, AServerThatNeverReadsStillGetsTheWholeText) {
    // The text fits in the connection's buffers: written whole, it is the server's to read.
    StationCore core(box_);
    ASSERT_TRUE(core.Ready());
    TestAlarmServer server(8000, false);
    std::string message = "Message=" + std::string(1000, 'x') + "%V0001";
    AlarmRun run = RunAlarm({"Port=5", "Voie=1", "Code=127.0.0.1", message});
    EXPECT_EQ(run.result.status, 8) << run.trace;
    std::vector<std::string> held = server.ReadHeld(1);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_TRUE(held[0] == std::string(1000, 'x') + "Entree 1") << held[0].substr(1000);
}

TEST_F(AlarmSenderProgram, Failures) {
    int refusedPort = 0;
    {
        // A port that was just free again: nothing listens there.
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(fd, reinterpret_cast<sockaddr*>(&address), size);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        refusedPort = ntohs(address.sin_port);
        close(fd);
    }
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* log;
        const char* trace;  // ends the trace
    } cases[] = {
        {{"Port=5", "Voie=1"}, 1, "not enough of arguments", ""},
        {{"Port=5", "Voie=1", "Valeur=3"}, 101, "erreur dans analyse de code", ""},
        {{"Port=5", "Voie=1", "Code=:8000"}, 101, "erreur dans analyse de code", ""},
        {{"Port=5", "Voie=1", "Code=127.0.0.1:99999"}, 101, "erreur dans analyse de code", ""},
        {{"Port=5", "Voie=1", "Code=no-such-host.invalid:8000"},
         102,
         "no answer of dns server",
         " no answer of dns server\nerror : no acknowledge\n"},
        {{"Port=5", "Voie=1", "Code=127.0.0.1:" + std::to_string(refusedPort)},
         103,
         "error in connect : Connection refused",
         " error in connect : Connection refused\nerror : no acknowledge\n"},
    };
    StationCore core(box_);
    ASSERT_TRUE(core.Ready());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log);
        AlarmRun run = RunAlarm(c.args);
        EXPECT_EQ(run.result.status, c.status) << run.result.output;
        EXPECT_TRUE(box_.LogHas(c.log, "err")) << box_.Log();
        std::string end = c.trace;
        EXPECT_TRUE(run.trace.size() >= end.size() &&
                    run.trace.compare(run.trace.size() - end.size(), end.size(), end) == 0)
            << run.trace;
    }
}

TEST_F(AlarmSenderProgram, AGroupTooLongIsCutAfterItsLastWholeLine) {
    // 100 channels in group A, 47 characters a line: after "Groupe A:" 65 lines fit in 3071
    // characters, the 66th does not, and the expansion ends there.
    const char* identity = "[ENV]\nCHANNEL_MAX_NB=100\n[IDENT]\nNAME=Essarts\nID=4711\n";
    box_.WriteFile("/tmp/orxapp.ini", identity);
    box_.WriteFile("/etc/orxapp.ini", identity);
    std::string site = "channels 100\n";
    std::string expected = "Groupe A:";
    for (int n = 1; n <= 100; ++n) {
        char line[128];
        std::snprintf(line, sizeof line,
                      "channel %d ETOR \"Capteur porte %03d\" state0=\"Fermee\" indexes=A\n", n, n);
        site += line;
        if (n <= 65) {
            std::snprintf(line, sizeof line, "V%04d %-32s Fermee\r\n", n,
                          ("Capteur porte " + std::to_string(1000 + n).substr(1)).c_str());
            expected += line;
        }
    }
    StationCore core(box_, site);
    ASSERT_TRUE(core.Ready()) << core.Output();
    TestAlarmServer server(8000, true);
    AlarmRun run = RunAlarm({"Port=5", "Voie=1", "Code=127.0.0.1", "Message=Groupe A:%IA fin"});
    EXPECT_EQ(run.result.status, 8) << run.trace;
    std::vector<std::string> texts = server.Texts(1);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].size(), 3064u);
    EXPECT_EQ(texts[0], expected);
    EXPECT_TRUE(box_.LogHas("Parsing: buffer too short to expand all informations.", "debug"));
}

}  // namespace alarmsender_test
