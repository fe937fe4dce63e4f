// gpiosim, the program the demo runs: it answers exports under the station root, gives an input
// its level, prints each value a module writes, and stops cleanly on SIGTERM.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "boardio.h"
#include "process.h"
#include "sandbox.h"

TEST(GpioSimProgram, AnswersTheBoardLinesOfAModule) {
    Sandbox box;
    Process sim(ProgramPath("gpiosim"), {"--root", box.Root(), "--set", "40=1"});
    ASSERT_TRUE(sim.Started());
    ASSERT_TRUE(WaitUntil([&] { return box.Exists("/sys/class/gpio/export"); }));

    BoardIo io;
    EXPECT_EQ(BoardIoSetLedUsb(&io, 1), 1);
    EXPECT_EQ(BoardIoGetSW2(&io), 1);
    EXPECT_TRUE(WaitUntil([&] { return sim.Output().find(" gpio98=0\n") != std::string::npos; }))
        << sim.Output();
    EXPECT_NE(sim.Output().find(" gpio43=1\n"), std::string::npos);

    ASSERT_TRUE(sim.Signal(SIGTERM));
    ProgramResult result = sim.Wait(std::chrono::seconds(5));
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 0);
}
