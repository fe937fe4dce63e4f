// The seam: station paths under the sandbox root, and the captured log.
#include <gtest/gtest.h>

#include <cerrno>

#include "board.h"
#include "clock.h"
#include "fakeclock.h"
#include "sandbox.h"
#include "stationlog.h"

TEST(StationPath, PrefixesBoardPathsButNotTheLiveProcessTable) {
    Sandbox box;
    const std::string& root = box.Root();
    struct Case {
        const char* path;
        std::string expected;
    } cases[] = {
        {"/tmp/BIT403", root + "/tmp/BIT403"},
        {"/dev/ttyUSB0", root + "/dev/ttyUSB0"},
        {"/proc/sys/kernel/osrelease", root + "/proc/sys/kernel/osrelease"},
        {"/proc/scsi/usb-storage", root + "/proc/scsi/usb-storage"},
        {"/proc/1234", "/proc/1234"},
        {"/proc/self/fd", "/proc/self/fd"},
        {"relative/file", "relative/file"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StationPath(c.path), c.expected) << c.path;
    }
}

TEST(StationPath, UnchangedWithoutRoot) {
    EXPECT_EQ(StationPath("/var/run/chanmgr.pid"), "/var/run/chanmgr.pid");
}

TEST(StationLog, CopiesEachLineWithPriorityIdentityAndPid) {
    Sandbox box;
    StationOpenLog("boardtest");
    StationLog(LOG_ERR, "divers.lib : erreur %s=%d", "x", 4);
    StationLog(LOG_DEBUG, "second");
    std::string expected =
        "err boardtest[" + std::to_string(getpid()) + "]: divers.lib : erreur x=4";
    ASSERT_EQ(box.LogLines().size(), 2u);
    EXPECT_EQ(box.LogLines()[0], expected);
    EXPECT_TRUE(box.LogHas("second", "debug"));
    EXPECT_FALSE(box.LogHas("second", "err"));
}

TEST(Uptime, AnUnreadableUptimeIsLoggedAndTheMonotonicClockTakesItsPlace) {
    Sandbox box;
    FakeClock clock;
    clock.AdvanceMs(5000);
    EXPECT_EQ(GetUptime(), 1005);
    EXPECT_TRUE(box.LogLines().empty());
    clock.FailUptime(EPERM);
    EXPECT_EQ(GetUptime(), 5);
    EXPECT_TRUE(box.LogHas("divers.lib :error in uptime read=" + std::to_string(EPERM), "err"))
        << box.Log();
}
