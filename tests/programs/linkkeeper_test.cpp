// linkkeeper: the request file, its exit statuses, its trace and its log.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "process.h"
#include "sandbox.h"
#include "serialdebug.h"

namespace fs = std::filesystem;

// Its own namespace: the program tests are compiled in batches.
namespace linkkeeper_test {

namespace {

const std::vector<std::string> kArguments{"Port=-1", "Ip=10.0.0.1", "Mode=1"};

// The trace of port -1, created before the run so that what the run writes can be read after.
struct TraceReader {
    SerialDebug trace;
    TraceReader() { EXPECT_EQ(CreateSerialDebug(&trace, -1), 0); }
    ~TraceReader() { CloseSerialDebug(&trace); }
    std::string Read() {
        char text[4096];
        ReadStrFromSerialDebug(&trace, text, sizeof text - 1);
        return text;
    }
};

// The request file holds a time within [before, after].
void ExpectRequestTime(const Sandbox& box, time_t before, time_t after) {
    std::string text = box.ReadFile("/tmp/BIT403");
    ASSERT_EQ(text.size(), 9u) << text;
    EXPECT_EQ(text.back(), '\n');
    time_t written = static_cast<time_t>(std::strtoul(text.c_str(), nullptr, 16));
    char expected[16];
    std::snprintf(expected, sizeof expected, "%8X\n", static_cast<unsigned>(written));
    EXPECT_EQ(text, expected);  // upper case, right-aligned in eight characters
    EXPECT_GE(written, before);
    EXPECT_LE(written, after);
}

}  // namespace

TEST(LinkKeeperProgram, FewerThanThreeArguments) {
    Sandbox box;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"Port=-1"}, {"Port=-1", "Ip=10.0.0.1"}}) {
        ProgramResult result = RunProgram(ProgramPath("linkkeeper"), args);
        EXPECT_TRUE(result.exited);
        EXPECT_EQ(result.status, 101) << args.size();
    }
    EXPECT_TRUE(box.LogHas("not enough of arguments", "err"));
    EXPECT_FALSE(box.Exists("/tmp/BIT403"));
}

TEST(LinkKeeperProgram, WritesTheRequestAndTracesIt) {
    Sandbox box;
    TraceReader reader;
    time_t before = time(nullptr);
    ProgramResult result = RunProgram(ProgramPath("linkkeeper"), kArguments);
    time_t after = time(nullptr);
    EXPECT_EQ(result.status, 8) << result.output;
    ExpectRequestTime(box, before, after);
    struct stat info {};
    ASSERT_EQ(stat(box.Path("/tmp/BIT403").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    EXPECT_EQ(FilesIn(box.Path("/tmp")), std::vector<std::string>{"BIT403"});

    std::string trace = reader.Read();
    EXPECT_NE(trace.find(" Permanent Link\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find(" request of timestamped data read : Ack\n"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("already exist"), std::string::npos);
    // The arguments and the acknowledgement go to the log at debug priority, switch or not.
    EXPECT_TRUE(box.LogHas("Argv[1] = Port=-1", "debug"));
    EXPECT_TRUE(box.LogHas("Acquitte", "debug"));
}

TEST(LinkKeeperProgram, ReplacesAnExistingRequest) {
    Sandbox box;
    box.WriteFile("/tmp/BIT403", "older request, longer than a new one\n");
    TraceReader reader;
    time_t before = time(nullptr);
    ProgramResult result = RunProgram(ProgramPath("linkkeeper"), kArguments);
    EXPECT_EQ(result.status, 8);
    ExpectRequestTime(box, before, time(nullptr));
    std::string trace = reader.Read();
    EXPECT_NE(trace.find(" request of timestamped data read already exist\n"), std::string::npos)
        << trace;
    EXPECT_NE(trace.find("Ack\n"), std::string::npos);
}

TEST(LinkKeeperProgram, APlantedLinkIsReplacedNotFollowed) {
    Sandbox box;
    box.WriteFile("/etc/victim", "precious\n");
    fs::create_symlink(box.Path("/etc/victim"), box.Path("/tmp/BIT403"));
    ProgramResult result = RunProgram(ProgramPath("linkkeeper"), kArguments);
    EXPECT_EQ(result.status, 8);
    EXPECT_EQ(box.ReadFile("/etc/victim"), "precious\n");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(box.Path("/tmp/BIT403"))));
    EXPECT_EQ(box.ReadFile("/tmp/BIT403").size(), 9u);
}

TEST(LinkKeeperProgram, RequestFileCannotBeCreated) {
    struct Case {
        const char* name;
        std::function<void(const Sandbox&)> prepare;
        int error;
    } cases[] = {
        {"no /tmp directory",
         [](const Sandbox& box) {
             fs::remove_all(box.Path("/tmp"));
             box.WriteFile("/tmp", "a file where the directory should be\n");
         },
         ENOTDIR},
        {"a directory in the way",
         [](const Sandbox& box) { fs::create_directories(box.Path("/tmp/BIT403")); }, EISDIR},
    };
    for (const Case& c : cases) {
        Sandbox box;
        c.prepare(box);
        TraceReader reader;
        ProgramResult result = RunProgram(ProgramPath("linkkeeper"), kArguments);
        EXPECT_EQ(result.status, 102) << c.name;
        EXPECT_TRUE(box.LogHas(
            "divers.lib : erreur ouverture /tmp/BIT403 : " + std::to_string(c.error), "err"))
            << c.name << box.Log();
        EXPECT_NE(reader.Read().find("request of timestamped data read : KO\n"), std::string::npos)
            << c.name;
    }
    // Nothing is left beside what was in the way.
    Sandbox box;
    fs::create_directories(box.Path("/tmp/BIT403"));
    EXPECT_EQ(RunProgram(ProgramPath("linkkeeper"), kArguments).status, 102);
    EXPECT_EQ(FilesIn(box.Path("/tmp")), std::vector<std::string>{"BIT403"});
}

TEST(LinkKeeperProgram, RequestTimeCannotBeWritten) {
    Sandbox box;
    // A full file system: the file can be created, not written.
    std::string tmp = box.Path("/tmp");
    ASSERT_EQ(mount("tmpfs", tmp.c_str(), "tmpfs", 0, "size=4k"), 0) << errno;
    box.WriteFile("/tmp/filler", std::string(4096, 'f'));
    TraceReader reader;
    ProgramResult result = RunProgram(ProgramPath("linkkeeper"), kArguments);
    EXPECT_EQ(result.status, 103);
    EXPECT_TRUE(box.LogHas("divers.lib : erreur ecriture /tmp/BIT403 : 28", "err")) << box.Log();
    EXPECT_NE(reader.Read().find("request of timestamped data read : KO\n"), std::string::npos);
    EXPECT_EQ(FilesIn(tmp), std::vector<std::string>{"filler"});  // nothing half-written left
    umount2(tmp.c_str(), MNT_DETACH);
}

TEST(LinkKeeperProgram, TheDebugSwitchAddsTheLibraryVerboseLines) {
    Sandbox box;
    box.WriteFile("/var/run/module_linkkeeper.debug", "1\n");
    ProgramResult result = RunProgram(ProgramPath("linkkeeper"), kArguments);
    EXPECT_EQ(result.status, 8);
    EXPECT_TRUE(box.LogHas("divers.lib : log verbeux active (1)", "debug"));
    EXPECT_TRUE(box.LogHas("Argv[0] = " + ProgramPath("linkkeeper"), "debug")) << box.Log();
    EXPECT_TRUE(box.LogHas("Argv[1] = Port=-1", "debug"));
    EXPECT_TRUE(box.LogHas("Argv[2] = Ip=10.0.0.1", "debug"));
    EXPECT_TRUE(box.LogHas("Argv[3] = Mode=1", "debug"));
    EXPECT_TRUE(box.LogHas("Acquitte", "debug"));
}

}  // namespace linkkeeper_test
