// The install tree a board receives: `cmake --install` with DESTDIR lays out the programs, the
// communication-log text file and the sample configuration (and nothing of the development
// machine), and the installed drivers, run from there with the tree as the station root, read
// that configuration and feed the channels.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "process.h"
#include "sandbox.h"
#include "stationcore_fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char* const kBoardPrograms[] = {"meterlink",   "gaugereader",  "busbridge",   "plcbridge",
                                      "stickexport", "remoteexport", "alarmsender", "clocksync",
                                      "linkkeeper",  "tracecat",     "mbusscan"};

// Installs the build into `destdir`; the install step's output on failure.
std::string Install(const std::string& destdir) {
    ProgramResult result = RunProgram(STATION_CMAKE_COMMAND, {"--install", STATION_BUILD_DIR}, 30s,
                                      {"DESTDIR=" + destdir});
    return result.exited && result.status == 0 ? "" : "install failed: " + result.output;
}

// Starts an installed program as the build's own programs are started: through the emulator
// that runs the tests of a cross build.
Process StartInstalled(const std::string& path, std::vector<std::string> args,
                       const std::vector<std::string>& extraEnv = {}) {
#ifdef STATION_EMULATOR
    std::istringstream emulator(STATION_EMULATOR);
    std::vector<std::string> words;
    for (std::string word; emulator >> word;) {
        words.push_back(word);
    }
    args.insert(args.begin(), path);
    args.insert(args.begin(), words.begin() + 1, words.end());
    return Process(words[0], args, extraEnv);
#else
    return Process(path, args, extraEnv);
#endif
}

std::string SourceText(const std::string& relative) {
    std::ifstream in(SourcePath(relative), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

TEST(InstallTree, HoldsTheBoardsFilesAndNothingElse) {
    Sandbox box;
    const std::string tree = box.Path("/board");
    ASSERT_EQ(Install(tree), "");

    std::set<std::string> expected{"usr",
                                   "usr/bin",
                                   "usr/bin/velun",
                                   "var",
                                   "var/log",
                                   "var/run",
                                   "var/nonvolatile",
                                   "var/parameters",
                                   "usr/bin/velun/commlog_msg_fr.ini",
                                   "var/parameters/configuration.xml"};
    std::vector<std::string> programs;
    for (const char* program : kBoardPrograms) {
        // Programs still to come are not in the build yet; the built ones must all be there.
        if (fs::exists(ProgramPath(program))) {
            expected.insert(std::string("usr/bin/velun/") + program);
            programs.push_back(program);
        }
    }
    std::set<std::string> found;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(tree)) {
        found.insert(fs::relative(entry.path(), tree).string());
    }
    EXPECT_EQ(found, expected);

    for (const std::string& program : programs) {
        struct stat st {};
        ASSERT_EQ(stat((tree + "/usr/bin/velun/" + program).c_str(), &st), 0) << program;
        EXPECT_TRUE(S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR) != 0) << program;
    }
    EXPECT_EQ(box.ReadFile("/board/usr/bin/velun/commlog_msg_fr.ini"),
              SourceText("common/station/commlog_msg_fr.ini"));

    // An installed program runs from there: linkkeeper writes its request file in the station
    // the tree stands for (whose /tmp, like the board's, is not ours to install).
    fs::create_directories(tree + "/tmp");
    ProgramResult linkkeeper = StartInstalled(tree + "/usr/bin/velun/linkkeeper",
                                              {"Port=-1", "a", "b"}, {"STATION_ROOT=" + tree})
                                   .Wait(10s);
    EXPECT_TRUE(linkkeeper.exited && linkkeeper.status == 8) << linkkeeper.output;
    EXPECT_TRUE(fs::exists(tree + "/tmp/BIT403"));
}

// Each installed driver with the installed sample configuration, against its device simulator
// on the line the configuration names: the verdict is normal and frames reach the core.
TEST(InstallTree, InstalledDriversReadTheSampleConfiguration) {
    Sandbox box;
    ASSERT_EQ(Install(box.Root()), "");
    StationCore core(box, SourceText("sim/sites/sample.site"));
    ASSERT_TRUE(core.Ready()) << core.Output();

    struct Driver {
        const char* program;
        int port;
        int com;  // its communication in the sample configuration
        const char* simulator;
        const char* line;    // the port's device
        const char* script;  // the simulator's, from the demo
    };
    const Driver drivers[] = {
        {"meterlink", 6, 1, "teleinfosim", "/dev/ttyUSB0", "sim/demo/meter.script"},
        {"gaugereader", 7, 2, "mbussim", "/dev/ttyUSB1", "sim/demo/mbus.script"},
        {"busbridge", 2, 3, "unitelwaysim", "/dev/orxcom0", "sim/demo/unitelway.script"},
        {"plcbridge", 3, 4, "syswaysim", "/dev/orxcom1", "sim/demo/plc.script"},
    };
    for (const Driver& d : drivers) {
        SCOPED_TRACE(d.program);
        Process simulator(ProgramPath(d.simulator),
                          {"--link", box.Path(d.line), "--script", SourcePath(d.script)});
        ASSERT_TRUE(WaitUntil([&] { return box.Exists(d.line); }, 5s)) << simulator.Output();
        Process driver = StartInstalled(box.Path(std::string("/usr/bin/velun/") + d.program),
                                        {"Port=" + std::to_string(d.port)});
        JournalEntry frame = core.WaitFor(
            [&](const JournalEntry& e) { return e.command == 10 && e.com == d.com; }, 10s);
        EXPECT_EQ(frame.com, d.com) << driver.Output();
        EXPECT_EQ(box.ReadFile(std::string("/var/log/") + d.program + ".xml.status"),
                  "** Mode Normal **\n");
        driver.Signal(SIGTERM);
        ProgramResult end = driver.Wait(5s);
        EXPECT_FALSE(end.timedOut);
        simulator.Signal(SIGTERM);
        simulator.Wait(5s);
    }
}
