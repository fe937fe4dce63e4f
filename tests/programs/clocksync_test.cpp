// clocksync against a real time server (chronyd) and against a test server that answers on cue,
// each in the test's own network namespace so that port 123 is free: the legal time asked of
// chanmgr, the communication-log report, the exit statuses, the trace and the log.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "sandbox.h"
#include "serialdebug.h"
#include "stationcore_fixture.h"

namespace fs = std::filesystem;

// Its own namespace: the program tests are compiled in batches.
namespace clocksync_test {

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kUnixToNtp = 2208988800u;  // written out: the test does not borrow the code's
constexpr time_t kJuly2024 = 1721044800;      // Monday 15 July 2024 12:00:00 UTC
constexpr time_t kJanuary2024 = 1705320000;   // Monday 15 January 2024 12:00:00 UTC

// A server answer: leap 0, version 3, the mode asked, the transmit seconds of `unixTime`.
Bytes Answer(int64_t unixTime, int mode = 4, size_t length = 48) {
    Bytes bytes(48, 0);
    bytes[0] = static_cast<uint8_t>((3 << 3) | mode);
    bytes[1] = 2;  // stratum
    uint32_t seconds = unixTime == 0 ? 0 : static_cast<uint32_t>(unixTime) + kUnixToNtp;
    for (int i = 0; i < 4; ++i) {
        bytes[40 + i] = static_cast<uint8_t>(seconds >> (24 - 8 * i));
    }
    bytes.resize(length);
    return bytes;
}

sockaddr_in Address(const std::string& host, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    return address;
}

int BoundSocket(const std::string& host, int port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Address(host, port);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A time server that answers each request with what the test scripted for the address asked
// (127.0.0.1, 127.0.0.2, ... all port 123): any number of datagrams, each from the server's own
// socket or from another host or port, or nothing at all.
class TestTimeServer {
  public:
    struct Reply {
        Reply(Bytes b, std::string host = "", int port = 123)
            : bytes(std::move(b)), fromHost(std::move(host)), fromPort(port) {}
        Bytes bytes;
        std::string fromHost;  // empty: from the address asked
        int fromPort;
    };

    ~TestTimeServer() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        for (const Listener& l : listeners_) {
            close(l.fd);
        }
    }

    // Call before Start().
    void Script(const std::string& host, std::vector<Reply> replies) {
        int fd = BoundSocket(host, 123);
        ASSERT_GE(fd, 0) << host << " " << errno;
        listeners_.push_back({host, fd, std::move(replies)});
    }
    void Start() {
        thread_ = std::thread([this] { Serve(); });
    }
    // Requests received so far, by the address asked.
    std::vector<Bytes> Requests(const std::string& host) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Bytes> found;
        for (const Request& r : requests_) {
            if (r.host == host) {
                found.push_back(r.bytes);
            }
        }
        return found;
    }
    // Seconds from the first request to the address asked until `end`, or -1 without one.
    double SecondsSinceRequest(const std::string& host, Clock::time_point end) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Request& r : requests_) {
            if (r.host == host) {
                return std::chrono::duration<double>(end - r.when).count();
            }
        }
        return -1;
    }

  private:
    struct Listener {
        std::string host;
        int fd;
        std::vector<Reply> replies;
    };
    struct Request {
        std::string host;
        Bytes bytes;
        Clock::time_point when;
    };

    void Serve() {
        std::vector<pollfd> waits;
        for (const Listener& l : listeners_) {
            waits.push_back({l.fd, POLLIN, 0});
        }
        while (!stop_) {
            if (poll(waits.data(), waits.size(), 20) <= 0) {
                continue;
            }
            for (size_t i = 0; i < waits.size(); ++i) {
                if ((waits[i].revents & POLLIN) != 0) {
                    Answer(listeners_[i]);
                }
            }
        }
    }

    void Answer(const Listener& l) {
        uint8_t request[512];
        sockaddr_in client{};
        socklen_t size = sizeof client;
        ssize_t length =
            recvfrom(l.fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&client), &size);
        if (length < 0) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back({l.host, Bytes(request, request + length), Clock::now()});
        }
        for (const Reply& reply : l.replies) {
            int fd = reply.fromHost.empty() ? l.fd : BoundSocket(reply.fromHost, reply.fromPort);
            sendto(fd, reply.bytes.data(), reply.bytes.size(), 0,
                   reinterpret_cast<sockaddr*>(&client), size);
            if (fd != l.fd) {
                close(fd);
            }
        }
    }

    std::vector<Listener> listeners_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Request> requests_;
};

// chronyd serving its own clock (local reference, stratum 10) on 127.0.0.1:123, never touching
// the machine's clock, its command port off and its files in the sandbox. Stopped by its pid.
class Chronyd {
  public:
    static constexpr const char* kProgram = "/usr/sbin/chronyd";

    explicit Chronyd(const Sandbox& box) {
        std::string dir = box.Root() + "/chrony";
        fs::create_directories(dir);
        chmod(dir.c_str(), 0700);  // it keeps its socket only in a private folder
        std::ofstream(dir + "/chrony.conf") << "local stratum 10\n"
                                               "allow 127.0.0.1\n"
                                               "port 123\n"
                                               "cmdport 0\n"
                                               "bindcmdaddress "
                                            << dir << "/chronyd.sock\n"
                                            << "pidfile " << dir << "/chronyd.pid\n"
                                            << "driftfile " << dir << "/chrony.drift\n";
        process_ = Process(kProgram, {"-x", "-d", "-u", "root", "-f", dir + "/chrony.conf"});
        ready_ = WaitUntil([] { return Ask(); }, std::chrono::seconds(5));
    }
    ~Chronyd() {
        process_.Signal(SIGTERM);
        process_.Wait(std::chrono::seconds(5));
    }
    bool Ready() const { return ready_; }
    std::string Output() const { return process_.Output(); }

    // One SNTP exchange from the test: true when a server answer came within 100 ms.
    static bool Ask() {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in server = Address("127.0.0.1", 123);
        uint8_t request[48] = {0x1B};
        uint8_t answer[48] = {};
        pollfd wait{fd, POLLIN, 0};
        bool answered = sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&server),
                               sizeof server) == 48 &&
                        poll(&wait, 1, 100) == 1 && recv(fd, answer, sizeof answer, 0) == 48 &&
                        (answer[0] & 7) == 4;
        close(fd);
        return answered;
    }

  private:
    Process process_;
    bool ready_ = false;
};

// The trace of one port, created before the run so that what the run writes can be read after.
struct TraceReader {
    SerialDebug trace;
    explicit TraceReader(int port) { EXPECT_EQ(CreateSerialDebug(&trace, port), 0); }
    ~TraceReader() { CloseSerialDebug(&trace); }
    std::string Read() {
        char text[8192];
        ReadStrFromSerialDebug(&trace, text, sizeof text - 1);
        return text;
    }
};

struct SyncRun {
    ProgramResult result;
    pid_t pid = 0;
    Clock::time_point ended;
    std::string trace;
};

// Runs clocksync with the trace of `port`.
SyncRun RunClockSync(std::vector<std::string> args, int port = 2) {
    TraceReader reader(port);
    args.push_back("Port=" + std::to_string(port));
    Process process(ProgramPath("clocksync"), args);
    SyncRun run;
    run.pid = process.Pid();
    run.result = process.Wait(std::chrono::seconds(10));
    run.ended = Clock::now();
    run.trace = reader.Read();
    return run;
}

// Log lines of one process, without their priority and ident: "<priority>|<text>".
std::vector<std::string> LogOf(const Sandbox& box, pid_t pid) {
    std::vector<std::string> lines;
    std::string mark = std::string("[").append(std::to_string(pid)).append("]: ");
    for (const std::string& line : box.LogLines()) {
        size_t at = line.find(mark);
        if (at != std::string::npos) {
            lines.push_back(line.substr(0, line.find(' ')) + "|" + line.substr(at + mark.size()));
        }
    }
    return lines;
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
    for (const std::string& l : lines) {
        if (l == line) {
            return true;
        }
    }
    return false;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) {
        text += l + "\n";
    }
    return text;
}

class ClockSyncProgram : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(EnterNetworkNamespace());
        // Dates in the trace are local time: the runs see UTC.
        setenv("TZ", "UTC0", 1);
    }
    void TearDown() override { unsetenv("TZ"); }
};

// The wall clock as the programs read it: time() may lag behind it by a tick at a second's
// turn.
time_t WallSeconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

// The time-setting request and the report of one run, each checked field by field.
void ExpectTimeSet(const StationCore& core, pid_t pid, int64_t legal, time_t before, time_t after) {
    auto mine = [pid](const JournalEntry& e) { return e.pid == (pid & 0xFFFF); };
    JournalEntry request =
        core.WaitFor([&](const JournalEntry& e) { return mine(e) && e.kind == "request"; });
    EXPECT_EQ(request.queue, 22792) << request.line;
    EXPECT_EQ(request.type, 1);
    EXPECT_EQ(request.size, 21);  // header, command, the time as a long: nothing more
    EXPECT_EQ(request.command, 54);
    EXPECT_EQ(request.msgno, 1);
    EXPECT_EQ(static_cast<uint32_t>(request.time), static_cast<uint32_t>(legal));
    EXPECT_GE(request.sec, before);
    EXPECT_LE(request.sec, after);

    JournalEntry report =
        core.WaitFor([&](const JournalEntry& e) { return mine(e) && e.kind == "commlog"; });
    EXPECT_EQ(report.queue, 22794) << report.line;
    EXPECT_EQ(report.type, 1);
    EXPECT_EQ(report.size, 128);
    EXPECT_EQ(report.msgno, 1);
    EXPECT_GE(report.sec, before);
    EXPECT_LE(report.sec, after);
    EXPECT_EQ(report.report, 2);
    EXPECT_EQ(report.event, 3);
    EXPECT_EQ(report.data1, 5);
    EXPECT_EQ(static_cast<uint32_t>(report.data), static_cast<uint32_t>(legal));
}

// Reads one message of queue `key` (the test plays its reader): its body, or empty.
Bytes TakeMessage(int key) {
    struct {
        long type;
        uint8_t body[512];
    } message{};
    int queue = msgget(key, 0);
    ssize_t size = queue < 0 ? -1 : msgrcv(queue, &message, sizeof message.body, 0, IPC_NOWAIT);
    return size < 0 ? Bytes{} : Bytes(message.body, message.body + size);
}

uint32_t BigEndian(const Bytes& bytes, size_t at, int width) {
    uint32_t value = 0;
    for (int i = 0; i < width; ++i) {
        value = (value << 8) | bytes[at + i];
    }
    return value;
}

}  // namespace

TEST_F(ClockSyncProgram, SetsTheLegalTimeOfTheServerTime) {
    struct Case {
        const char* server;  // the address (or name) asked; each has its own server time
        int64_t serverTime;
        std::vector<std::string> to;
        int offset;
        const char* season;  // "" when To is not 1
        const char* serverDate;
        const char* legalDate;
    } cases[] = {
        {"127.0.0.1",
         kJuly2024,
         {"To=1"},
         2,
         "summer time",
         "15/7/2024,(196,1) 12:0:0",
         "15/7/2024 14:0:0"},
        {"127.0.0.2",
         kJanuary2024,
         {"To=1"},
         1,
         "winter time",
         "15/1/2024,(14,1) 12:0:0",
         "15/1/2024 13:0:0"},
        {"127.0.0.3",
         kJuly2024 + 1,
         {"To=0"},
         0,
         "",
         "15/7/2024,(196,1) 12:0:1",
         "15/7/2024 12:0:1"},
        {"127.0.0.4",
         kJanuary2024 + 2,
         {"To=3"},
         3,
         "",
         "15/1/2024,(14,1) 12:0:2",
         "15/1/2024 15:0:2"},
        {"127.0.0.5", kJuly2024 + 3, {}, -1, "", "15/7/2024,(196,1) 12:0:3", "15/7/2024 11:0:3"},
        // Past the server's 2036 wrap and the board's 2038 end of time_t.
        {"127.0.0.6",
         2225966400,
         {"To=1"},
         2,
         "summer time",
         "15/7/2040,(196,0) 12:0:0",
         "15/7/2040 14:0:0"},
        // A name is resolved to the same address.
        {"localhost",
         kJanuary2024 + 4,
         {"To=0"},
         0,
         "",
         "15/1/2024,(14,1) 12:0:4",
         "15/1/2024 12:0:4"},
    };
    Sandbox box;
    box.WriteFile("/var/run/module_clocksync.debug", "1\n");
    StationCore core(box);
    ASSERT_TRUE(core.Ready()) << core.Output();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.server);
        TestTimeServer server;
        std::string host = std::string(c.server) == "localhost" ? "127.0.0.1" : c.server;
        server.Script(host, {{Answer(c.serverTime)}});
        server.Start();

        std::vector<std::string> args = c.to;
        args.push_back(std::string("Server=") + c.server);
        time_t before = WallSeconds();
        SyncRun run = RunClockSync(args);
        time_t after = WallSeconds();
        ASSERT_EQ(run.result.status, 8) << run.result.output << run.trace;
        int64_t legal = c.serverTime + c.offset * 3600;
        ExpectTimeSet(core, run.pid, legal, before, after);

        // The request it sent: version 3, mode 3, nothing else.
        std::vector<Bytes> requests = server.Requests(host);
        ASSERT_EQ(requests.size(), 1u);
        Bytes expected(48, 0);
        expected[0] = 0x1B;
        EXPECT_EQ(requests[0], expected);

        std::string trace = run.trace;
        for (std::string line : {std::string(" setting the time of M750ZT by clocksync\n"),
                                 "clocksync server : " + std::string(c.server) + "," + host + "\n",
                                 std::string(" Snd : 1B 00 00 00 "),
                                 "server date " + std::string(c.serverDate) + " " + c.season + "\n",
                                 "server date " + std::string(c.legalDate) + " (" +
                                     std::to_string(c.offset) + ")-> M750ZT\nAck\n"}) {
            EXPECT_NE(trace.find(line), std::string::npos) << line << "\n---\n" << trace;
        }
        // With the verbose switch: the report's six bytes and the request, at debug priority.
        std::vector<std::string> log = LogOf(box, run.pid);
        char report[64];
        std::snprintf(
            report, sizeof report, "debug|commlog : 03,05,%.2X,%.2X,%.2X,%.2X",
            static_cast<unsigned>(legal >> 24) & 0xFF, static_cast<unsigned>(legal >> 16) & 0xFF,
            static_cast<unsigned>(legal >> 8) & 0xFF, static_cast<unsigned>(legal) & 0xFF);
        EXPECT_TRUE(Has(log, report)) << report << "\n" << Joined(log);
        std::string request =
            "debug|divers.lib : demande de mise a l'heure : demandee=" + std::to_string(legal) +
            ",difference=";
        bool found = false;
        for (const std::string& l : log) {
            found = found || (l.rfind(request, 0) == 0 && l.find(" Msg=21") != std::string::npos);
        }
        EXPECT_TRUE(found) << Joined(log);
    }
    // The year of the "ecriture" line is the broken-down field, counted from 1900.
    EXPECT_TRUE(box.LogHas("ecriture date et heure=15/7/124 14:0:0", "debug")) << box.Log();
}

TEST_F(ClockSyncProgram, TakesOnlyServerAnswersWithATimeFromTheServerAsked) {
    // Before the true answer come: answers from another host and from another port of the same
    // host (each would set another time), a short answer, a client-mode datagram and an answer
    // without a time. Only the true one counts.
    TestTimeServer server;
    server.Script("127.0.0.1", {{Answer(kJanuary2024 + 999), "127.0.0.9"},
                                {Answer(kJanuary2024 + 998), "127.0.0.1", 124},
                                {Answer(kJanuary2024 + 997, 4, 43)},
                                {Answer(kJanuary2024 + 996, 3)},
                                {Answer(0)},
                                {Answer(kJuly2024, 4, 44)}});  // the shortest whole answer
    server.Start();
    Sandbox box;
    StationCore core(box);
    ASSERT_TRUE(core.Ready());
    time_t before = WallSeconds();
    SyncRun run = RunClockSync({"Server=127.0.0.1", "To=0"});
    ASSERT_EQ(run.result.status, 8) << run.trace;
    ExpectTimeSet(core, run.pid, kJuly2024, before, WallSeconds());
    EXPECT_LT(server.SecondsSinceRequest("127.0.0.1", run.ended), 1.5);  // no 2 s wait
    // The two foreign datagrams never reached it; the three bad answers were traced and passed.
    size_t received = 0;
    for (size_t at = run.trace.find(" Rec : "); at != std::string::npos;
         at = run.trace.find(" Rec : ", at + 1)) {
        ++received;
    }
    EXPECT_EQ(received, 4u) << run.trace;
    EXPECT_EQ(core.Count([](const JournalEntry& e) { return e.command == 54; }), 1);
}

TEST_F(ClockSyncProgram, AnswersThatGiveNoTime) {
    // Each case asks its own address, all at once: the 2 s waits overlap. Times are taken from
    // the request's arrival at the server, so that a slow start on a busy machine does not count.
    enum Wait { kTwoSeconds, kAtOnce, kUnmeasured };
    struct Case {
        const char* server;
        std::vector<TestTimeServer::Reply> replies;
        int status;
        Wait wait;
        std::vector<std::string> log;    // "<priority>|<text>"
        std::vector<std::string> trace;  // pieces of the trace
    } cases[] = {
        {"127.0.0.1", {}, 106, kTwoSeconds, {"err|timeout"}, {" Snd : ", "No answer\n"}},
        {"127.0.0.2",
         {{Answer(kJuly2024, 4, 43)}},
         107,
         kTwoSeconds,
         {"err|lng reponse"},
         {" Rec : ", "Error in receive lng\n"}},
        {"127.0.0.3",
         {{Answer(0)}},
         110,
         kTwoSeconds,
         {},
         {"error in time sended by server : 0 is lower to\n"}},
        {"127.0.0.4", {{Answer(kJuly2024, 3)}}, 106, kTwoSeconds, {"err|timeout"}, {"No answer\n"}},
        // A time before 2001 is the server's answer: no need to wait for another.
        {"127.0.0.5",
         {{Answer(978307199)}},
         110,
         kAtOnce,
         {},
         {"error in time sended by server : 978307199 is lower to\n"}},
        // Nothing listens on port 123 there: the refusal comes back at once.
        {"127.0.0.6",
         {},
         106,
         kUnmeasured,
         {"err|erreur de reception =111"},
         {"Error in receive\n"}},
        // Sent from another host only: never seen.
        {"127.0.0.7", {{Answer(kJuly2024), "127.0.0.8"}}, 106, kTwoSeconds, {"err|timeout"}, {}},
        // A broadcast (mode 5) is no answer to a request.
        {"127.0.0.10", {{Answer(kJuly2024, 5)}}, 106, kTwoSeconds, {"err|timeout"}, {}},
    };
    Sandbox box;
    StationCore core(box);
    ASSERT_TRUE(core.Ready());
    TestTimeServer server;
    for (const Case& c : cases) {
        if (std::string(c.server) != "127.0.0.6") {
            server.Script(c.server, c.replies);
        }
    }
    server.Start();
    std::vector<std::thread> runners;
    std::vector<SyncRun> runs(std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        runners.emplace_back([&, i] {
            runs[i] = RunClockSync({std::string("Server=") + cases[i].server, "To=0"},
                                   static_cast<int>(i));
        });
    }
    for (std::thread& t : runners) {
        t.join();
    }
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        const SyncRun& run = runs[i];
        SCOPED_TRACE(c.server);
        EXPECT_EQ(run.result.status, c.status) << run.trace;
        double seconds = server.SecondsSinceRequest(c.server, run.ended);
        if (c.wait == kTwoSeconds) {
            EXPECT_GE(seconds, 1.95);
            EXPECT_LT(seconds, 4.0);
        } else if (c.wait == kAtOnce) {
            EXPECT_GE(seconds, 0.0);
            EXPECT_LT(seconds, 1.0);
        }
        std::vector<std::string> log = LogOf(box, run.pid);
        for (const std::string& line : c.log) {
            EXPECT_TRUE(Has(log, line)) << line << "\n" << Joined(log);
        }
        for (const std::string& piece : c.trace) {
            EXPECT_NE(run.trace.find(piece), std::string::npos) << piece << "\n" << run.trace;
        }
        EXPECT_EQ(run.trace.find("Ack"), std::string::npos);
    }
    // No time was reported or set.
    EXPECT_EQ(core.Count([](const JournalEntry& e) { return e.kind != "tsd"; }), 0)
        << core.Journal().size();
}

TEST_F(ClockSyncProgram, ArgumentsAndNames) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string log;
    } cases[] = {
        {{}, 102, "err|not enough of arguments"},
        {{"Port=2"}, 102, "err|pas de serveur"},
        {{"Server=no-such-host.invalid"}, 104, "err|no-such-host.invalid inconnu"},
        {{"Server=300.1.2.3"}, 104, "err|300.1.2.3 inconnu"},
    };
    Sandbox box;
    for (const Case& c : cases) {
        Process process(ProgramPath("clocksync"), c.args);
        pid_t pid = process.Pid();
        ProgramResult result = process.Wait(std::chrono::seconds(10));
        EXPECT_EQ(result.status, c.status) << c.log;
        EXPECT_TRUE(Has(LogOf(box, pid), c.log)) << c.log << "\n" << box.Log();
    }
}

TEST_F(ClockSyncProgram, ChanmgrCannotTakeTheRequest) {
    TestTimeServer server;
    server.Script("127.0.0.1", {{Answer(kJuly2024)}});
    server.Start();

    // No chanmgr at all: the report is sent all the same (the queue is made for it), the time
    // is not set.
    {
        Sandbox box;
        SyncRun run = RunClockSync({"Server=127.0.0.1", "To=1"});
        EXPECT_EQ(run.result.status, 108);
        EXPECT_TRUE(Has(LogOf(box, run.pid), "err|error in opening msg for sendind datetime=2"))
            << box.Log();
        EXPECT_EQ(run.trace.find("Ack"), std::string::npos);
        // The report, byte by byte.
        Bytes report = TakeMessage(22794);
        ASSERT_EQ(report.size(), 128u);
        EXPECT_EQ(BigEndian(report, 0, 4), 0xA55A5904u);
        EXPECT_EQ(BigEndian(report, 4, 2), 1u);
        EXPECT_EQ(BigEndian(report, 6, 2), static_cast<uint32_t>(run.pid & 0xFFFF));
        EXPECT_NEAR(BigEndian(report, 8, 4), time(nullptr), 5);
        EXPECT_LT(BigEndian(report, 12, 4), 1000000u);
        EXPECT_EQ(report[16], 2);
        EXPECT_EQ(BigEndian(report, 17, 2), 0x0305u);
        EXPECT_EQ(BigEndian(report, 19, 4), static_cast<uint32_t>(kJuly2024 + 7200));
        EXPECT_EQ(Bytes(report.begin() + 23, report.end()), Bytes(105, 0));
        msgctl(msgget(22794, 0), IPC_RMID, nullptr);
    }
    // chanmgr's queue is full: the request is lost, and the run says so.
    {
        Sandbox box;
        int queue = msgget(22792, IPC_CREAT | 0600);
        ASSERT_GE(queue, 0);
        struct {
            long type;
            char body[1024];
        } filler{1, {}};
        while (msgsnd(queue, &filler, sizeof filler.body, IPC_NOWAIT) == 0) {
        }
        SyncRun run = RunClockSync({"Server=127.0.0.1", "To=0"});
        EXPECT_EQ(run.result.status, 108);
        EXPECT_TRUE(Has(LogOf(box, run.pid), "err|error in sending datetime=11")) << box.Log();
        EXPECT_EQ(TakeMessage(22794).size(), 128u);
        msgctl(queue, IPC_RMID, nullptr);
        msgctl(msgget(22794, 0), IPC_RMID, nullptr);
    }
}

TEST_F(ClockSyncProgram, ReportQueueCannotBeMade) {
    // No queue may be made in this IPC namespace any more.
    const char* limit = "/proc/sys/kernel/msgmni";
    std::string saved;
    std::ifstream(limit) >> saved;
    ASSERT_FALSE(saved.empty());
    std::ofstream(limit) << "0\n";
    Sandbox box;
    Process process(ProgramPath("clocksync"), {"Server=127.0.0.1", "Port=2"});
    pid_t pid = process.Pid();
    ProgramResult result = process.Wait(std::chrono::seconds(10));
    std::ofstream(limit) << saved << "\n";
    EXPECT_EQ(result.status, 109);
    EXPECT_TRUE(Has(LogOf(box, pid),
                    "err|File horodate: error opening message file : No space left on device"))
        << box.Log();
}

TEST_F(ClockSyncProgram, SetsTheTimeOfARealServer) {
    if (access(Chronyd::kProgram, X_OK) != 0) {
        GTEST_SKIP() << "chronyd is not installed (scripts/setup installs chrony)";
    }
    Sandbox box;
    Chronyd chronyd(box);
    ASSERT_TRUE(chronyd.Ready()) << chronyd.Output();
    StationCore core(box);
    ASSERT_TRUE(core.Ready());
    // The server's clock is this machine's: the time asked is now, plus the legal offset.
    time_t before = WallSeconds();
    SyncRun run = RunClockSync({"Server=localhost", "To=1"});
    time_t after = WallSeconds();
    ASSERT_EQ(run.result.status, 8) << run.trace << chronyd.Output();
    JournalEntry request = core.WaitFor([](const JournalEntry& e) { return e.kind == "request"; });
    int offset = 0;
    time_t legal = request.time;
    for (int hours : {1, 2}) {
        if (legal >= before + hours * 3600 && legal <= after + hours * 3600) {
            offset = hours;
        }
    }
    ASSERT_NE(offset, 0) << legal << " " << before;
    EXPECT_NE(run.trace.find(offset == 2 ? "summer time\n" : "winter time\n"), std::string::npos)
        << run.trace;
    ExpectTimeSet(core, run.pid, legal, before, after);
    EXPECT_NE(run.trace.find(" Rec : 1C 0A "), std::string::npos)
        << run.trace;  // mode 4, stratum 10
}

}  // namespace clocksync_test
