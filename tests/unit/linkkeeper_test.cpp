// linkkeeper's request text: the time now as "%8X\n".
#include "linkkeeper.h"

#include <gtest/gtest.h>

#include "fakeclock.h"

TEST(LinkKeeper, RequestTextIsTheTimeInHexadecimalOnEightCharacters) {
    struct Case {
        time_t now;
        const char* text;
    } cases[] = {
        {1600000000, "5F5E1000\n"}, {0x0ABCDEF, "  ABCDEF\n"}, {0x0FFFFFFF, " FFFFFFF\n"},
        {0x10000000, "10000000\n"}, {0, "       0\n"},
    };
    FakeClock clock;
    for (const Case& c : cases) {
        clock.SetWallTime(c.now);
        char text[16];
        EXPECT_EQ(FormatLinkRequest(text, sizeof text), 9);
        EXPECT_STREQ(text, c.text);
    }
}
