// Verbose level switch files, LogDebug, and the fatal stop.
#include "logdebug.h"

#include <gtest/gtest.h>

#include <string>

#include "sandbox.h"

TEST(IsDebug, LevelFromTheSwitchFile) {
    struct Case {
        const char* contents;  // nullptr: no file
        int level;
        const char* logged;  // nullptr: nothing expected
    } cases[] = {
        {nullptr, 0, nullptr},
        {"1\n", 1, "divers.lib : log verbeux active (1)"},
        {"3", 3, "divers.lib : log verbeux active (3)"},
        {"0\n", 0, "divers.lib : log verbeux active (0)"},
        {"on\n", 0, "divers.lib : erreur de lecture de /var/run/module_x.debug "},
        {"", 0, "divers.lib : erreur de lecture de /var/run/module_x.debug "},
    };
    for (const Case& c : cases) {
        Sandbox box;
        if (c.contents != nullptr) {
            box.WriteFile("/var/run/module_x.debug", c.contents);
        }
        EXPECT_EQ(IsDebug("module_x"), c.level) << (c.contents ? c.contents : "(none)");
        EXPECT_EQ(DebugLevel(), c.level);
        if (c.logged != nullptr) {
            EXPECT_TRUE(box.LogHas(c.logged)) << box.Log();
        } else {
            EXPECT_EQ(box.Log(), "");
        }
    }
}

TEST(IsDebug, LogDebugFollowsTheLevel) {
    Sandbox box;
    box.WriteFile("/var/run/busbridge.debug", "2\n");
    ASSERT_EQ(IsDebug("busbridge"), 2);
    LogDebug("Argv[%d] = %s", 1, "Port=3");
    EXPECT_TRUE(box.LogHas("Argv[1] = Port=3", "debug"));

    box.WriteFile("/var/run/busbridge.debug", "0\n");
    ASSERT_EQ(IsDebug("busbridge"), 0);
    LogDebug("silent");
    EXPECT_FALSE(box.LogHas("silent"));
}

TEST(CriticalAssertDeathTest, LogsAtCriticalPriorityAndAborts) {
    Sandbox box;
    CriticalAssert(true, "never", "x", 1);
    EXPECT_DEATH(CriticalAssert(false, "erreur allocation", "linkedlist", 42), "");
    EXPECT_TRUE(box.LogHas("erreur allocation a la ligne No 42 du fichier linkedlist ", "crit"))
        << box.Log();
    EXPECT_FALSE(box.LogHas("never a la ligne No 1 du fichier x "));
}
