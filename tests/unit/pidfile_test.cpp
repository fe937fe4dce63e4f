// Pid files: writing, waiting for a live one, dates, presence and removal.
#include "pidfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>

#include "fakeclock.h"
#include "sandbox.h"

namespace {

// No process can have this pid: it is above any pid_max.
constexpr int kDeadPid = 2147483647;

// A clock whose sleeps advance a fake second and may act on the sandbox after a number of them.
class ScriptedClock final : public StationClock {
  public:
    ScriptedClock() { SetClock(this); }
    ~ScriptedClock() override { SetClock(nullptr); }
    long Uptime() override { return 500 + sleeps; }
    timespec Monotonic() override { return {sleeps, 0}; }
    timeval Now() override { return {1700000000 + sleeps, 0}; }
    int Sleep(const timespec&, timespec*) override {
        ++sleeps;
        if (sleeps == actAfter && action) {
            action();
        }
        return 0;
    }
    int sleeps = 0;
    int actAfter = -1;
    std::function<void()> action;
};

}  // namespace

TEST(PidFile, WriteReadsBackAsTheOwnPid) {
    Sandbox box;
    ASSERT_EQ(WritePidFile("chanmgr"), 0);
    EXPECT_EQ(box.ReadFile("/var/run/chanmgr.pid"), std::to_string(getpid()) + "\n");
    EXPECT_EQ(IsPidFile("chanmgr"), 1);
    EXPECT_TRUE(box.LogHas("divers.lib : pid de chanmgr :1", "debug"));
    EXPECT_EQ(WaitPidFile("chanmgr"), getpid());
    EXPECT_TRUE(box.LogHas("divers.lib : attente du pid de chanmgr (300 s )", "debug"));
    EXPECT_TRUE(box.LogHas("divers.lib : pid " + std::to_string(getpid()) + " lu"));
}

TEST(PidFile, WriteFailureIsReported) {
    Sandbox box;
    std::filesystem::remove_all(box.Path("/var/run"));
    EXPECT_EQ(WritePidFile("chanmgr"), 1);
    EXPECT_TRUE(box.LogHas(
        "divers.lib : erreur lors de la creation du fichier /var/run/chanmgr.pid :2", "err"))
        << box.Log();
}

TEST(PidFile, WaitGivesUpAfter300SecondsOfUptime) {
    struct Case {
        const char* contents;  // nullptr: no file
        const char* logged;
    } cases[] = {
        {nullptr, nullptr},
        {"2147483647\n", "divers.lib : le pid lu 2147483647 n'existe pas : 2"},
        {"-5\n", "divers.lib : le pid lu -5 n'existe pas : 2"},
        {"garbage\n", "divers.lib : erreur de lecture de /var/run/chanmgr.pid "},
    };
    for (const Case& c : cases) {
        Sandbox box;
        if (c.contents != nullptr) {
            box.WriteFile("/var/run/chanmgr.pid", c.contents);
        }
        FakeClock clock;
        EXPECT_EQ(WaitPidFile("chanmgr"), -1);
        // More than 300 s, checked once a second.
        EXPECT_EQ(clock.Sleeps(), 301);
        EXPECT_TRUE(box.LogHas("divers.lib : pas d'acces a /var/run/chanmgr.pid", "err"));
        if (c.logged != nullptr) {
            EXPECT_TRUE(box.LogHas(c.logged)) << box.Log();
        }
    }
}

TEST(PidFile, WaitRereadsTheFileEachSecond) {
    Sandbox box;
    box.WriteFile("/var/run/chanmgr.pid", std::to_string(kDeadPid) + "\n");
    ScriptedClock clock;
    clock.actAfter = 5;
    clock.action = [&] { box.WriteFile("/var/run/chanmgr.pid", std::to_string(getpid()) + "\n"); };
    EXPECT_EQ(WaitPidFile("chanmgr"), getpid());
    EXPECT_EQ(clock.sleeps, 5);
}

TEST(PidFile, AStopFlagSetDuringASleepThatRanToItsEndStillEndsTheWait) {
    Sandbox box;
    ScriptedClock clock;
    volatile sig_atomic_t stop = 0;
    clock.actAfter = 3;
    clock.action = [&] { stop = 1; };  // the signal came just before the sleep began
    errno = 0;
    EXPECT_EQ(WaitPidFile("chanmgr", &stop), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(clock.sleeps, 3);
    EXPECT_TRUE(box.LogHas("divers.lib : attente du pid de chanmgr interrompue")) << box.Log();
}

TEST(PidFile, DateOfTheFile) {
    Sandbox box;
    box.WriteFile("/var/run/tsd.pid", "12\n");
    struct stat info {};
    ASSERT_EQ(stat(box.Path("/var/run/tsd.pid").c_str(), &info), 0);
    FakeClock clock;
    EXPECT_EQ(GetPidFileDate("tsd"), info.st_mtime);
    EXPECT_EQ(clock.Sleeps(), 0);

    EXPECT_EQ(GetPidFileDate("absent"), 0);
    EXPECT_EQ(clock.Sleeps(), 60);
    EXPECT_TRUE(box.LogHas("divers.lib : error in file pid (/var/run/absent.pid) : 2", "err"))
        << box.Log();
}

TEST(PidFile, DateWaitsForTheFileToAppear) {
    Sandbox box;
    ScriptedClock clock;
    clock.actAfter = 3;
    clock.action = [&] { box.WriteFile("/var/run/late.pid", "1\n"); };
    EXPECT_GT(GetPidFileDate("late"), 0);
    EXPECT_EQ(clock.sleeps, 3);
}

TEST(PidFile, PresenceAndRemoval) {
    Sandbox box;
    EXPECT_EQ(IsPidFile("modmgr"), 0);
    EXPECT_TRUE(box.LogHas("divers.lib : pid de modmgr :0", "debug"));
    DeletePidFile("modmgr");
    EXPECT_TRUE(box.LogHas("divers.lib : /var/run/modmgr.pid no found"));

    box.WriteFile("/var/run/modmgr.pid", "1\n");
    DeletePidFile("modmgr");
    EXPECT_TRUE(box.LogHas("divers.lib : /var/run/modmgr.pid deleted"));
    EXPECT_FALSE(box.Exists("/var/run/modmgr.pid"));

    std::filesystem::create_directories(box.Path("/var/run/dir.pid"));
    DeletePidFile("dir");
    EXPECT_TRUE(box.LogHas("divers.lib : error(21) on /var/run/dir.pid delete", "err"))
        << box.Log();
}

TEST(PidFile, LongNamesAreCutAt80Characters) {
    Sandbox box;
    std::string name(100, 'n');
    ASSERT_EQ(WritePidFile(name.c_str()), 0);
    EXPECT_TRUE(box.Exists("/var/run/" + std::string(80, 'n') + ".pid"));
}
