// remoteexport as the station runs it: the built program in a sandbox with the station core
// stand-in (channels and tsd) and a real FTP server on 127.0.0.1. The remote files byte for byte,
// the exit status, what a failed run leaves for the next one, the bounds on a server that stops
// answering, that the password shows nowhere, and FTPS with the server's certificate verified.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ftpserver.h"
#include "process.h"
#include "sandbox.h"
#include "serialdebug.h"
#include "stationcore_fixture.h"

namespace fs = std::filesystem;

// Its own namespace: the program tests are compiled in batches.
namespace remoteexport_test {

namespace {

// A password that would break a URL, and a user name with "@" in it.
const FtpServer::User kTech{"tech", "p@ss:w/rd"};
const FtpServer::User kSecond{"rx@site", "x:y@z/1"};

const char* kSite = R"(
channel 3 EANA "Niveau bache" format="%.1f" coef=0.1 flags=timestamped memo=20
channel 9 ETOR "Porte" flags=timestamped memo=0
line memo 3 1700000000 125 repeat=2
line station 1700000010 9 1
line comm 1700000020 0x0E02 0
)";

const std::string kMemoCsv = "2023-11-14 22:13:20,12.5\r\n2023-11-14 22:13:21,12.6\r\n";
const std::string kCommCsv = "2023-11-14 22:13:40,---> Cycle 2 : Debut de cycle.\r\n";
const std::string kStationCsv = "2023-11-14 22:13:30,9,Porte,1\r\n";
const std::string kMemoText = "14/11/2023 22:13:20 12,5\n14/11/2023 22:13:21 12,6\n";
const std::string kCommText = "14/11/2023 22:13:40 ---> Cycle 2 : Debut de cycle.\n";
const std::string kStationText = "14/11/2023 22:13:30 4104 1\n";  // the address 0x1008

using Files = std::map<std::string, std::string>;

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The trace of port 2, created before the run so that what the run writes can be read after.
struct TraceReader {
    SerialDebug trace;
    std::string text;
    TraceReader() { EXPECT_EQ(CreateSerialDebug(&trace, 2), 0); }
    ~TraceReader() { CloseSerialDebug(&trace); }
    const std::string& Read() {
        char chunk[8192];
        int whole = 0;
        do {
            whole = ReadStrFromSerialDebug(&trace, chunk, sizeof chunk - 1);
            text += chunk;
        } while (whole == 0);
        return text;
    }
};

// A station in its own sandbox: identity 0x0012, slave 3, the communication-log text file in
// place, and the served folder of the FTP server.
class Station {
  public:
    explicit Station(const std::string& env = "") {
        const std::string ini =
            "[ENV]\nCHANNEL_MAX_NB=50\n" + env + "[IDENT]\nNAME=Site\nID=18\nMODBUS_ADDR=3\n";
        box.WriteFile("/etc/orxapp.ini", ini);
        box.WriteFile("/tmp/orxapp.ini", ini);
        box.WriteFile("/usr/bin/velun/commlog_msg_fr.ini",
                      Slurp(SourcePath("common/station/commlog_msg_fr.ini")));
        fs::create_directories(Served());
    }
    // The server's folder.
    std::string Served() const { return box.Root() + "/srv/ftp"; }
    // The time-out is the board's 60 s unless a test shortens it (in seconds).
    ProgramResult Run(const std::string& server, const FtpServer::User& user,
                      std::vector<std::string> args = {}, const std::string& timeout = "") {
        args.insert(args.begin(), {"Port=2", "Server=" + server, "Login=" + user.name,
                                   "Password=" + user.password});
        return RunProgram(ProgramPath("remoteexport"), args, std::chrono::seconds(60),
                          {"TZ=UTC0", "STATION_FTP_TIMEOUT=" + timeout});
    }
    // Every file on the server, by its path under the served folder.
    Files OnServer() const {
        Files files;
        for (const auto& entry : fs::recursive_directory_iterator(Served())) {
            if (entry.is_regular_file()) {
                files[fs::relative(entry.path(), Served()).string()] = Slurp(entry.path());
            }
        }
        return files;
    }
    // No password of any user in the log or the trace.
    void ExpectNoPassword(const std::string& trace) const {
        for (const FtpServer::User& user : {kTech, kSecond}) {
            EXPECT_EQ(box.Log().find(user.password), std::string::npos) << user.password;
            EXPECT_EQ(trace.find(user.password), std::string::npos) << user.password;
        }
    }

    Sandbox box;
};

// Each test serves on a loopback of its own: any port, and a closed port stays closed.
class RemoteExportProgram : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(EnterNetworkNamespace()); }
};

// A test CA and certificates of the FTP server, made once with the openssl command: "server"
// signed by the CA for 127.0.0.1 and localhost, "stranger" the same by another CA, "elsewhere"
// signed by the CA for another host name.
class Certificates {
  public:
    Certificates() {
        char pattern[] = "/tmp/station-certs-XXXXXX";
        dir_ = mkdtemp(pattern) != nullptr ? pattern : "/nonexistent";
        const ProgramResult made = RunProgram("/bin/sh", {"-c", kMake, "sh", dir_});
        EXPECT_EQ(made.status, 0) << made.output;
        made_ = made.status == 0;
    }
    ~Certificates() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    bool Made() const { return made_; }
    std::string Ca() const { return Slurp(dir_ + "/ca.pem"); }
    FtpServer::Tls Server(const char* name) const {
        if (name == nullptr) {
            return {};
        }
        return {dir_ + "/" + name + ".pem", dir_ + "/" + name + ".key"};
    }

  private:
    static constexpr const char* kMake = R"(set -e; cd "$1"
make() {
    name=$1; shift
    /usr/bin/openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
        -keyout $name.key -out $name.pem -subj /CN=$name "$@"
}
ca="-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign"
make ca $ca
make other-ca $ca
make server -CA ca.pem -CAkey ca.key -addext subjectAltName=IP:127.0.0.1,DNS:localhost
make stranger -CA other-ca.pem -CAkey other-ca.key -addext subjectAltName=IP:127.0.0.1
make elsewhere -CA ca.pem -CAkey ca.key -addext subjectAltName=DNS:ftp.elsewhere.example
)";
    std::string dir_;
    bool made_ = false;
};

const Certificates& TestCertificates() {
    static const Certificates certificates;
    return certificates;
}

// Where a station keeps its site's CA, and the arguments of a run over TLS that trusts it.
const char* kSiteCa = "/etc/ssl/site-ca.pem";
const std::vector<std::string> kOverTls{"Tls=1", std::string("Ca=") + kSiteCa};

std::string Show(const Files& files) {
    std::string text;
    for (const auto& [name, contents] : files) {
        text += name + ":\n" + contents;
    }
    return text;
}

}  // namespace

TEST_F(RemoteExportProgram, WithoutArgumentsOrServerItEndsAt101) {
    Station station;
    ProgramResult none = RunProgram(ProgramPath("remoteexport"), {});
    EXPECT_EQ(none.status, 101) << none.output;
    EXPECT_TRUE(station.box.LogHas("not enough of arguments", "err"));
    ProgramResult noServer = RunProgram(ProgramPath("remoteexport"), {"Port=2", "Login=tech"});
    EXPECT_EQ(noServer.status, 101) << noServer.output;
    EXPECT_TRUE(station.box.LogHas("pas de serveur", "err"));
}

// The layouts the From options choose and the remote names; then a second run that finds nothing
// new sends nothing (for "100": the logs' lines were taken by the first run, not left for later).
TEST_F(RemoteExportProgram, LayoutsAndRemoteNames) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::vector<std::string> folders;
        Files files;
    } cases[] = {
        {"CSV into a folder",
         {"From=011,", "To=archive/"},
         {"archive"},
         {{"archive/Niveau bache.3.csv", kMemoCsv},
          {"archive/comm.csv", kCommCsv},
          {"archive/station.csv", kStationCsv}}},
        {"text by default: blank, decimal comma, station 0x0012 slave 3",
         {"To=archive/"},
         {"archive"},
         {{"archive/CSV001203_1602.txt", kMemoText},
          {"archive/CSV001203_0003.txt", kCommText},
          {"archive/CSV001203_0001.txt", kStationText}}},
        {"memos only", {"From=100"}, {}, {{"CSV001203_1602.txt", kMemoText}}},
        {"a prefix in a folder whose name a URL would misread",
         {"From=011,", "To=Site 7 #%?/st_"},
         {"Site 7 #%?"},
         {{"Site 7 #%?/st_Niveau bache.3.csv", kMemoCsv},
          {"Site 7 #%?/st_comm.csv", kCommCsv},
          {"Site 7 #%?/st_station.csv", kStationCsv}}},
        {"a separator of four, no comma",
         {"From=011 ;; "},
         {},
         {{"CSV001203_1602.txt", "14/11/2023 22:13:20 ;; 12.5\n14/11/2023 22:13:21 ;; 12.6\n"},
          {"CSV001203_0003.txt", "14/11/2023 22:13:40 ;; ---> Cycle 2 : Debut de cycle.\n"},
          {"CSV001203_0001.txt", "14/11/2023 22:13:30 ;; 4104 ;; 1\n"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Station station;
        StationCore core(station.box, kSite);
        ASSERT_TRUE(core.Ready());
        for (const std::string& folder : c.folders) {
            fs::create_directories(station.Served() + "/" + folder);
        }
        FtpServer server(station.Served(), {kTech, kSecond});
        ASSERT_TRUE(server.Ready());
        ProgramResult first = station.Run(server.Address(), kSecond, c.args);
        EXPECT_EQ(first.status, 8) << first.output << station.box.Log();
        EXPECT_EQ(Show(station.OnServer()), Show(c.files));
        ProgramResult second = station.Run(server.Address(), kSecond);
        EXPECT_EQ(second.status, 8) << second.output;
        EXPECT_EQ(Show(station.OnServer()), Show(c.files));
    }
}

// A login the server refuses ends the run with 101 + libcurl's 67 and leaves every line for the
// next run, which sends each once. Neither run shows the password, in the log or in the trace
// (libcurl's PASS command included).
TEST_F(RemoteExportProgram, ARefusedLoginLeavesTheLinesForTheNextRun) {
    Station station;
    StationCore core(station.box, kSite);
    ASSERT_TRUE(core.Ready());
    FtpServer server(station.Served(), {kTech, kSecond});
    ASSERT_TRUE(server.Ready());
    TraceReader trace;

    ProgramResult refused =
        station.Run(server.Address(), {kTech.name, kSecond.password}, {"From=011,"});
    EXPECT_EQ(refused.status, 101 + 67) << refused.output;
    EXPECT_TRUE(station.OnServer().empty());
    const std::string url = "ftp://" + server.Address() + "/Niveau%20bache.3.csv";
    std::string log = station.box.Log();
    EXPECT_NE(log.find("]: Status ecriture " + url + "=67 0 octets transmis en "),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("err remoteexport"), std::string::npos) << log;
    EXPECT_NE(log.find("]: end cleanup status=168 time="), std::string::npos) << log;
    // The trace is read after each run: the ring holds less than two runs.
    trace.Read();
    EXPECT_NE(trace.text.find("<= Recv header : 530 "), std::string::npos) << trace.text;

    ProgramResult accepted = station.Run(server.Address(), kTech, {"From=011,"});
    EXPECT_EQ(accepted.status, 8) << accepted.output;
    EXPECT_EQ(Show(station.OnServer()), Show(Files{{"Niveau bache.3.csv", kMemoCsv},
                                                   {"comm.csv", kCommCsv},
                                                   {"station.csv", kStationCsv}}));
    const std::string& traced = trace.Read();
    // The failed run made no export: both runs are the first.
    EXPECT_EQ(traced.find("send No 2\n"), std::string::npos) << traced;
    EXPECT_NE(traced.find("send No 1\n"), traced.rfind("send No 1\n")) << traced;
    for (const char* expected :
         {"=> Send header : USER tech\r\n", "=> Send header : PASS ****\r\n",
          "=> Send header : PASV\r\n", "=> Send header : APPE Niveau bache.3.csv\r\n",
          "send 52 bytes in ", "Ack\n"}) {
        EXPECT_NE(traced.find(expected), std::string::npos) << expected << "\n" << traced;
    }
    log = station.box.Log();
    const std::string base = "ftp://" + server.Address() + "/";
    EXPECT_NE(log.find("]: Racine(" + std::to_string(base.size()) + "/768)=ftp://tech:****@" +
                       server.Address() + "/\n"),
              std::string::npos)
        << log;
    station.ExpectNoPassword(traced);
}

// A server that cannot be reached, or that stops answering, ends the run with 101 + libcurl's
// code within the bounds (1 s here instead of the board's 60 s), the lines left for later.
TEST_F(RemoteExportProgram, AServerThatDoesNotAnswerEndsTheRunWithinTheBounds) {
    struct Case {
        const char* what;
        FtpServer::Mode mode;
        bool listening;
        int status;
    } cases[] = {
        {"nothing listens", FtpServer::Mode::kNormal, false, 101 + 7},
        {"accepts and never answers", FtpServer::Mode::kSilent, true, 101 + 28},
        {"greets, then never answers", FtpServer::Mode::kMute, true, 101 + 28},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Station station;
        StationCore core(station.box, kSite);
        ASSERT_TRUE(core.Ready());
        FtpServer server(station.Served(), {kTech}, c.mode);
        ASSERT_TRUE(server.Ready());
        const std::string address =
            c.listening ? server.Address() : "127.0.0.1:" + std::to_string(ClosedPort());
        const auto start = std::chrono::steady_clock::now();
        ProgramResult result = station.Run(address, kTech, {}, "1");
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(result.status, c.status) << result.output << station.box.Log();
        EXPECT_LT(took, std::chrono::seconds(15));
        // Nothing was taken: the memo is still never read in the context.
        EXPECT_NE(station.box.ReadFile("/var/nonvolatile/remoteexport_" + address + "tech.context")
                      .find("\n1602;0;0;0;0\n"),
                  std::string::npos);
    }
}

// Over TLS the server's certificate and name are verified against the site's CA (or the system's
// store without one). A server that fails either, or that offers no TLS, gets neither the login
// nor a line: there is no fall back to clear text. "Tls" other than 0 or 1, a CA without "Tls=1"
// or a CA file that is not there is a wrong configuration: nothing is tried.
TEST_F(RemoteExportProgram, OverTlsOnlyAVerifiedServerGetsTheLines) {
    const std::vector<std::string> noCa{"Tls=1", "Ca=/etc/ssl/none.pem"};
    struct Case {
        const char* what;
        const char* certificate;  // the server's; null: FTP in clear only
        std::vector<std::string> args;
        int status;
        const char* logged;  // the error line; "URL" stands for the first file's
    } cases[] = {
        {"signed by the site's CA for 127.0.0.1", "server", kOverTls, 8, nullptr},
        {"in clear with Tls=0", nullptr, {"Tls=0"}, 8, nullptr},
        {"signed by another CA", "stranger", kOverTls, 101 + 60,
         "upload of URL : SSL certificate problem: unable to get local issuer certificate"},
        {"signed for another host name", "elsewhere", kOverTls, 101 + 60,
         "upload of URL : SSL: no alternative certificate subject name matches target host name "
         "'127.0.0.1'"},
        {"the site's CA not in the system's store",
         "server",
         {"Tls=1"},
         101 + 60,
         "upload of URL : SSL certificate problem: unable to get local issuer certificate"},
        {"a server without TLS", nullptr, kOverTls, 101 + 64,
         "upload of URL : Requested SSL level failed"},
        {"no CA file there", "server", noCa, 101,
         "CA file /etc/ssl/none.pem : No such file or directory"},
        {"Tls neither 0 nor 1", "server", {"Tls=yes"}, 101, "Tls : 0 or 1 expected"},
        {"a CA without Tls=1",
         nullptr,
         {std::string("Ca=") + kSiteCa},
         101,
         "Ca without Tls=1 : nothing is sent in clear"},
    };
    ASSERT_TRUE(TestCertificates().Made());
    TraceReader trace;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Station station;
        StationCore core(station.box, kSite);
        ASSERT_TRUE(core.Ready());
        station.box.WriteFile(kSiteCa, TestCertificates().Ca());
        FtpServer server(station.Served(), {kTech}, FtpServer::Mode::kNormal, {},
                         TestCertificates().Server(c.certificate));
        ASSERT_TRUE(server.Ready());
        std::vector<std::string> args = c.args;
        args.push_back("From=011,");
        const size_t traced = trace.text.size();
        ProgramResult result = station.Run(server.Address(), kTech, args);
        EXPECT_EQ(result.status, c.status) << result.output << station.box.Log();
        const std::string run = trace.Read().substr(traced);
        if (c.status == 8) {
            EXPECT_EQ(Show(station.OnServer()), Show(Files{{"Niveau bache.3.csv", kMemoCsv},
                                                           {"comm.csv", kCommCsv},
                                                           {"station.csv", kStationCsv}}));
        } else {
            std::string logged = c.logged;
            const size_t url = logged.find("URL");
            if (url != std::string::npos) {
                logged.replace(url, 3, "ftp://" + server.Address() + "/Niveau%20bache.3.csv");
            }
            EXPECT_TRUE(station.OnServer().empty());
            EXPECT_TRUE(station.box.LogHas(logged, "err")) << logged << "\n" << station.box.Log();
            EXPECT_EQ(run.find("Send header : USER"), std::string::npos) << run;
        }
        station.ExpectNoPassword(run);
    }
}

// Runs that fail keep what the server accepted before: the next run sends the rest, and every
// line is on the server exactly once. A file refused whole, or uploads cut partway (the server
// keeps what it took: a part of a line, or whole lines), once or twice in a row.
TEST_F(RemoteExportProgram, FailedRunsThenAGoodOneSendEveryLineOnce) {
    struct Case {
        const char* what;
        std::vector<long> cuts;  // none: the third file is refused
        int status;              // of each failed run; 0: any failure (a cut shows as 426 or EPIPE)
        bool tls = false;
    } cases[] = {
        {"the third file refused", {}, 101 + 25},
        {"cut inside a line", {26 * 100 + 13}, 0},
        {"cut at a line end", {26 * 100}, 0},
        {"cut, then the rest cut again", {26 * 100 + 13, 1000}, 0},
        {"cut inside a line, over TLS", {26 * 100 + 13}, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Station station;
        // B's 2000 lines of 26 bytes are still going out when a cut comes.
        StationCore core(station.box, R"(
channel 1 EANA "A" flags=timestamped memo=10
channel 2 EANA "B" flags=timestamped memo=2000
channel 3 EANA "C" flags=timestamped memo=10
channel 9 ETOR "Porte" flags=timestamped memo=0
line memo 1 1700000000 100 repeat=3
line memo 2 1700000000 1000 repeat=2000
line memo 3 1700000000 300 repeat=3
line station 1700000010 9 1
line comm 1700000020 0x0E02 0
)");
        ASSERT_TRUE(core.Ready());
        std::vector<std::string> args{"From=011,"};
        FtpServer::Tls tls;
        if (c.tls) {
            ASSERT_TRUE(TestCertificates().Made());
            station.box.WriteFile(kSiteCa, TestCertificates().Ca());
            args.insert(args.end(), kOverTls.begin(), kOverTls.end());
            tls = TestCertificates().Server("server");
        }
        FtpServer server(station.Served(), {kTech}, FtpServer::Mode::kNormal, c.cuts, tls);
        ASSERT_TRUE(server.Ready());
        if (c.cuts.empty()) {
            fs::create_directories(station.Served() + "/C.3.csv");  // a folder in its place
        }
        long kept = 0;
        for (size_t run = 0; run < std::max<size_t>(c.cuts.size(), 1); ++run) {
            ProgramResult failed = station.Run(server.Address(), kTech, args);
            EXPECT_GT(failed.status, 101) << failed.output << station.box.Log();
            if (c.status != 0) {
                EXPECT_EQ(failed.status, c.status);
            } else {
                kept += c.cuts[run];
                EXPECT_EQ(station.OnServer()["B.2.csv"].size(), static_cast<size_t>(kept));
            }
        }
        fs::remove(station.Served() + "/C.3.csv");
        ProgramResult good = station.Run(server.Address(), kTech, args);
        EXPECT_EQ(good.status, 8) << good.output << station.box.Log();
        auto memo = [](int first, int count) {
            std::string text;
            for (int i = 0; i < count; ++i) {
                const time_t t = 1700000000 + i;
                struct tm date;
                gmtime_r(&t, &date);
                char line[64];
                std::snprintf(line, sizeof line, "%04d-%02d-%02d %02d:%02d:%02d,%d\r\n",
                              date.tm_year + 1900, date.tm_mon + 1, date.tm_mday, date.tm_hour,
                              date.tm_min, date.tm_sec, first + i);
                text += line;
            }
            return text;
        };
        EXPECT_EQ(Show(station.OnServer()), Show(Files{{"A.1.csv", memo(100, 3)},
                                                       {"B.2.csv", memo(1000, 2000)},
                                                       {"C.3.csv", memo(300, 3)},
                                                       {"comm.csv", kCommCsv},
                                                       {"station.csv", kStationCsv}}));
    }
}

// Every source sent, but a context that cannot be saved (a folder in its place) is no success.
TEST_F(RemoteExportProgram, AContextThatCannotBeSavedFailsTheRun) {
    Station station;
    StationCore core(station.box, kSite);
    ASSERT_TRUE(core.Ready());
    FtpServer server(station.Served(), {kTech});
    ASSERT_TRUE(server.Ready());
    const std::string context = "/var/nonvolatile/remoteexport_" + server.Address() + "tech";
    fs::create_directories(station.box.Path(context + ".context"));
    ProgramResult result = station.Run(server.Address(), kTech, {"From=011,"});
    EXPECT_EQ(result.status, 101 + 23) << result.output << station.box.Log();
    EXPECT_EQ(station.OnServer().size(), 3u);
    EXPECT_TRUE(station.box.LogHas("context of remoteexport_" + server.Address() +
                                       "tech not saved : the next run sends "
                                       "these lines again",
                                   "err"))
        << station.box.Log();
}

// 100 000 memo lines (four memos of 25 000) arrive each once and in order.
TEST_F(RemoteExportProgram, AHundredThousandMemoLinesArriveOnceInOrder) {
    constexpr int kLines = 25000;
    Station station("MEMO_MAX_BY_CHANNEL=25000\n");
    std::string site;
    for (int c = 1; c <= 4; ++c) {
        site += "channel " + std::to_string(c) + " EANA \"M" + std::to_string(c) +
                "\" flags=timestamped memo=25000\n";
        site += "line memo " + std::to_string(c) + " " + std::to_string(1700000000 + c) + " " +
                std::to_string(c * 1000) + " repeat=25000\n";
    }
    StationCore core(station.box, site);
    ASSERT_TRUE(core.Ready());
    FtpServer server(station.Served(), {kTech});
    ASSERT_TRUE(server.Ready());
    ProgramResult result = station.Run(server.Address(), kTech, {"From=011,"});
    ASSERT_EQ(result.status, 8) << result.output << station.box.Log();
    const Files files = station.OnServer();
    ASSERT_EQ(files.size(), 4u);
    for (int c = 1; c <= 4; ++c) {
        std::string expected;
        expected.reserve(kLines * 32);
        for (int i = 0; i < kLines; ++i) {
            const time_t t = 1700000000 + c + i;
            struct tm date;
            gmtime_r(&t, &date);
            char line[64];
            std::snprintf(line, sizeof line, "%04d-%02d-%02d %02d:%02d:%02d,%d\r\n",
                          date.tm_year + 1900, date.tm_mon + 1, date.tm_mday, date.tm_hour,
                          date.tm_min, date.tm_sec, c * 1000 + i);
            expected += line;
        }
        const auto file = files.find("M" + std::to_string(c) + "." + std::to_string(c) + ".csv");
        ASSERT_NE(file, files.end());
        EXPECT_TRUE(file->second == expected) << "M" << c;
    }
}

// One upload per source over one connection, without a pause between them: twelve sources take
// well under a second each (libcurl's own loop would wait a second after most PASV answers).
TEST_F(RemoteExportProgram, SourcesFollowOneAnotherWithoutPauses) {
    Station station;
    std::string site;
    for (int c = 1; c <= 12; ++c) {
        site += "channel " + std::to_string(c) + " EANA \"V" + std::to_string(c) +
                "\" flags=timestamped memo=10\nline memo " + std::to_string(c) + " 1700000000 1\n";
    }
    StationCore core(station.box, site);
    ASSERT_TRUE(core.Ready());
    FtpServer server(station.Served(), {kTech});
    ASSERT_TRUE(server.Ready());
    const auto start = std::chrono::steady_clock::now();
    ProgramResult result = station.Run(server.Address(), kTech, {"From=011,"});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.status, 8) << result.output;
    EXPECT_EQ(station.OnServer().size(), 12u);
    // Each source is also a tsd read of at least 10 ms, and the machine may be loaded.
    EXPECT_LT(took, std::chrono::seconds(5));
}

}  // namespace remoteexport_test
