// Millisecond sleep and file copy.
#include "utilities.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "fakeclock.h"
#include "sandbox.h"

namespace {

// A clock whose first sleep is cut short by a signal, after `slept` of it.
class InterruptedClock final : public StationClock {
  public:
    InterruptedClock() { SetClock(this); }
    ~InterruptedClock() override { SetClock(nullptr); }
    long Uptime() override { return 0; }
    timespec Monotonic() override { return {0, 0}; }
    timeval Now() override { return {0, 0}; }
    int Sleep(const timespec& delay, timespec* remaining) override {
        long long ns = delay.tv_sec * 1000000000LL + delay.tv_nsec;
        if (calls++ == 0) {
            totalNs += 300000000LL;
            long long left = ns - 300000000LL;
            *remaining = {static_cast<time_t>(left / 1000000000LL),
                          static_cast<long>(left % 1000000000LL)};
            errno = EINTR;
            return -1;
        }
        totalNs += ns;
        return 0;
    }
    int calls = 0;
    long long totalNs = 0;
};

}  // namespace

TEST(WaitMillisecond, SleepsTheDelayAsked) {
    struct Case {
        int ms;
        int sleeps;
        long long elapsed;
    } cases[] = {{0, 0, 0}, {-1, 0, 0}, {-1000, 0, 0}, {1, 1, 1}, {1500, 1, 1500}, {999, 1, 999}};
    for (const Case& c : cases) {
        FakeClock clock;
        WaitMillisecond(c.ms);
        EXPECT_EQ(clock.Sleeps(), c.sleeps) << c.ms;
        EXPECT_EQ(clock.ElapsedMs(), c.elapsed) << c.ms;
    }
}

TEST(WaitMillisecond, AnInterruptedSleepCompletesTheDelay) {
    InterruptedClock clock;
    WaitMillisecond(1200);
    EXPECT_EQ(clock.calls, 2);
    EXPECT_EQ(clock.totalNs, 1200000000LL);
}

TEST(FileCpy, CopiesTheWholeFile) {
    Sandbox box;
    FakeClock clock;
    struct Case {
        size_t size;
        int sync;
    } cases[] = {{0, 0}, {1, 0}, {512, 1}, {1300, 0}, {70000, 1}};
    for (const Case& c : cases) {
        std::string contents;
        for (size_t i = 0; i < c.size; ++i) {
            contents.push_back(static_cast<char>(i * 7));
        }
        box.WriteFile("/etc/orxapp.ini", contents);
        box.WriteFile("/tmp/orxapp.ini", "old contents, longer than some of the copies\n");
        EXPECT_EQ(FileCpySync("/etc/orxapp.ini", "/tmp/orxapp.ini", c.sync), 0) << c.size;
        EXPECT_EQ(box.ReadFile("/tmp/orxapp.ini"), contents) << c.size;
        std::string logged = "divers.lib : copie (" + std::to_string(c.sync) +
                             ") fichier /etc/orxapp.ini vers /tmp/orxapp.ini en 0 ms";
        EXPECT_TRUE(box.LogHas(logged, "debug")) << box.Log();
    }
    EXPECT_EQ(FilesIn(box.Path("/tmp")), std::vector<std::string>{"orxapp.ini"});
}

TEST(FileCpy, FailuresAreReportedAndLeaveTheDestinationAlone) {
    Sandbox box;
    box.WriteFile("/etc/a", "source\n");
    box.WriteFile("/tmp/b", "previous\n");
    EXPECT_EQ(FileCpy("/etc/none", "/tmp/b"), 1);
    EXPECT_TRUE(box.LogHas("divers.lib : erreur ouverture fichier src /etc/none =2", "err"));
    EXPECT_EQ(box.ReadFile("/tmp/b"), "previous\n");

    EXPECT_EQ(FileCpy("/etc/a", "/nodir/b"), 1);
    EXPECT_TRUE(box.LogHas("divers.lib : erreur ouverture fichier Dst /nodir/b =2", "err"))
        << box.Log();

    // A directory opens but cannot be read.
    EXPECT_EQ(FileCpy("/etc", "/tmp/b"), 1);
    EXPECT_TRUE(box.LogHas("divers.lib : erreur lecture fichier src=21", "err")) << box.Log();
    EXPECT_EQ(box.ReadFile("/tmp/b"), "previous\n");
    EXPECT_EQ(FilesIn(box.Path("/tmp")), std::vector<std::string>{"b"});
}

TEST(FileCpy, AFullDestinationKeepsItsPreviousFile) {
    Sandbox box;
    std::string dir = box.Path("/mnt/small");
    std::filesystem::create_directories(dir);
    ASSERT_EQ(mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=16k"), 0) << errno;
    box.WriteFile("/mnt/small/copy", "previous\n");
    box.WriteFile("/etc/big", std::string(70000, 'b'));
    EXPECT_EQ(FileCpySync("/etc/big", "/mnt/small/copy", 1), 1);
    EXPECT_TRUE(
        box.LogHas("divers.lib : erreur ecriture fichier dst=" + std::to_string(ENOSPC), "debug"))
        << box.Log();
    EXPECT_EQ(box.Log().find("divers.lib : copie"), std::string::npos) << box.Log();
    EXPECT_EQ(box.ReadFile("/mnt/small/copy"), "previous\n");
    EXPECT_EQ(FilesIn(dir), std::vector<std::string>{"copy"});  // no half-written copy left
    umount2(dir.c_str(), MNT_DETACH);
}

// A copy over a file keeps that file's permissions (an operator file made private stays private);
// a copy that replaces nothing is readable by all, whatever the umask.
TEST(FileCpy, KeepsTheModeOfTheFileItReplaces) {
    Sandbox box;
    box.WriteFile("/etc/orxapp.ini", "[ENV]\n");
    box.WriteFile("/tmp/private.ini", "old\n");
    std::filesystem::permissions(box.Path("/tmp/private.ini"), std::filesystem::perms(0600));
    mode_t umaskBefore = umask(077);
    struct Case {
        const char* destination;
        mode_t expected;
    } cases[] = {{"/tmp/private.ini", 0600}, {"/tmp/orxapp.ini", 0644}};
    for (const Case& c : cases) {
        EXPECT_EQ(FileCpySync("/etc/orxapp.ini", c.destination, 1), 0) << c.destination;
        struct stat info {};
        ASSERT_EQ(stat(box.Path(c.destination).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, c.expected) << c.destination;
        EXPECT_EQ(box.ReadFile(c.destination), "[ENV]\n");
    }
    umask(umaskBefore);
}
