// Board I/O: the station-wide set-up of the GPIO lines and its marker, the lights and modem
// lines as the kernel's side sees them (the GPIO simulator), the switch overrides, and what is
// logged when sysfs is not there.
#include "boardio.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "fakeclock.h"
#include "gpiosim.h"
#include "sandbox.h"
#include "utilities.h"

namespace fs = std::filesystem;

namespace {

using Writes = std::vector<std::pair<int, int>>;  // (line, value) in the order written

class BoardIoTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(sim.Start(box.Root()), 0); }

    Writes Seen() const {
        Writes seen;
        for (const gpiosim::Change& change : sim.Changes()) {
            seen.emplace_back(change.line, change.value);
        }
        return seen;
    }
    // Waits for the simulator to have seen `count` writes in all.
    Writes SeenOnce(size_t count) const {
        EXPECT_TRUE(sim.WaitForChanges(count, std::chrono::seconds(5))) << sim.Changes().size();
        return Seen();
    }

    Sandbox box;
    gpiosim::GpioSim sim;
    BoardIo io;
};

}  // namespace

TEST_F(BoardIoTest, FirstUserSetsTheLinesUpForTheWholeStation) {
    BoardIoSetUp(&io);
    EXPECT_EQ(sim.Exported(), (std::vector<int>{41, 42, 43, 98, 37, 36, 82, 40, 38}));
    const std::pair<int, const char*> directions[] = {
        {41, "out"}, {42, "out"}, {43, "out"}, {98, "out"}, {37, "out"},
        {36, "out"}, {82, "out"}, {40, "in"},  {38, "in"},
    };
    for (const auto& expected : directions) {
        EXPECT_TRUE(WaitUntil([&] { return sim.Direction(expected.first) == expected.second; }))
            << expected.first;
    }
    // Both lights are active low: off at set-up.
    EXPECT_EQ(SeenOnce(2), (Writes{{43, 1}, {98, 1}}));
    EXPECT_EQ(box.ReadFile("/var/run/led"), std::to_string(getpid()) + "\n");
    EXPECT_TRUE(box.LogHas("41 -> /sys/class/gpio/export", "debug"));
    EXPECT_TRUE(box.LogHas("in -> /sys/class/gpio/gpio40/direction", "debug"));

    // Another process of the station sees the marker: no export, no write.
    BoardIo later;
    BoardIoSetUp(&later);
    EXPECT_TRUE(box.LogHas("GPIO already", "debug"));
    EXPECT_EQ(box.ReadFile("/sys/class/gpio/export"), "414243983736824038");
    EXPECT_EQ(sim.Changes().size(), 2U);

    // Without the marker, lines already exported are only given their direction again.
    fs::remove(box.Path("/var/run/led"));
    BoardIo again;
    BoardIoSetUp(&again);
    EXPECT_TRUE(box.LogHas("/sys/class/gpio/gpio98/direction already", "debug"));
    EXPECT_EQ(box.ReadFile("/sys/class/gpio/export"), "414243983736824038");
    EXPECT_EQ(SeenOnce(4), (Writes{{43, 1}, {98, 1}, {43, 1}, {98, 1}}));
}

TEST_F(BoardIoTest, WithTheMarkerNothingIsExportedNorWritten) {
    box.WriteFile("/var/run/led", "1\n");
    BoardIoSetUp(&io);
    EXPECT_TRUE(box.LogHas("GPIO already", "debug"));
    EXPECT_EQ(box.ReadFile("/sys/class/gpio/export"), "");
    EXPECT_FALSE(box.Exists("/sys/class/gpio/gpio98"));
    // The lights are then as the first user left them; here no one exported them.
    EXPECT_EQ(BoardIoSetLedUsb(&io, 1), 0);
    EXPECT_TRUE(box.LogHas("error on  value /sys/class/gpio/gpio98/value :2", "err"));
}

TEST_F(BoardIoTest, LightsAndModemLines) {
    BoardIoSetUp(&io);
    SeenOnce(2);
    const struct {
        const char* what;
        int (*command)(BoardIo*, int);
        int argument;
        Writes writes;
        const char* logged;
    } steps[] = {
        {"RUN first colour", BoardIoSetLedRun, 1, {{41, 1}, {42, 0}}, nullptr},
        {"RUN off", BoardIoSetLedRun, 0, {{41, 0}, {42, 0}}, nullptr},
        {"RUN second colour", BoardIoSetLedRun, 2, {{41, 0}, {42, 1}}, nullptr},
        {"RUN unknown", BoardIoSetLedRun, 3, {}, "divers.lib : commande erronee de la Led RUN=3"},
        {"USB on", BoardIoSetLedUsb, 1, {{98, 0}}, nullptr},
        {"USB off", BoardIoSetLedUsb, 0, {{98, 1}}, nullptr},
        {"line light on", BoardIoSetLedLiRi, 1, {{43, 0}}, nullptr},
        {"5 V", BoardIoCmd5VModem, 1, {{37, 1}}, "1 -> 5V"},
        {"3.3 V", BoardIoCmd3V3Modem, 1, {{36, 1}}, "1 -> 3V3"},
        {"reset", BoardIoCmdResetModem, 1, {{82, 1}}, "1 -> reset modem"},
        {"5 V any non-zero", BoardIoCmd5VModem, 7, {{37, 1}}, "7 -> 5V"},
    };
    Writes expected = Seen();
    for (const auto& step : steps) {
        EXPECT_EQ(step.command(&io, step.argument), step.writes.empty() ? 0 : 1) << step.what;
        expected.insert(expected.end(), step.writes.begin(), step.writes.end());
        if (step.logged != nullptr) {
            EXPECT_TRUE(box.LogHas(step.logged)) << step.what;
        }
    }
    EXPECT_EQ(io.ledRun, 3);
    EXPECT_EQ(io.ledLiRi, 1);

    EXPECT_EQ(BoardIoShutdown(&io), 1);
    Writes off = {{41, 0}, {42, 0}, {98, 1}, {43, 1}, {82, 0}, {37, 0}, {36, 0}};
    expected.insert(expected.end(), off.begin(), off.end());
    EXPECT_EQ(SeenOnce(expected.size()), expected);
    EXPECT_EQ(io.ledRun, 0);
    EXPECT_EQ(io.ledLiRi, 0);
}

TEST_F(BoardIoTest, SwitchOverridesHoldOnlyZeroOrOne) {
    const struct {
        const char* file;
        const char* contents;  // nullptr: no override file
        int lineLevel;
        int expected;
    } cases[] = {
        {"/var/run/SW2", "0", 1, 0},     {"/var/run/SW2", "1\n", 0, 1},
        {"/var/run/SW2", "2", 1, 1},     {"/var/run/SW2", "2", 0, 0},
        {"/var/run/SW2", "x", 1, 1},     {"/var/run/SW2", nullptr, 1, 1},
        {"/var/run/SW2", nullptr, 0, 0}, {"/var/run/SW3", "1", 0, 1},
        {"/var/run/SW3", "2", 1, 0},     {"/var/run/SW3", nullptr, 1, 0},
    };
    for (const auto& c : cases) {
        fs::remove(box.Path("/var/run/SW2"));
        fs::remove(box.Path("/var/run/SW3"));
        if (c.contents != nullptr) {
            box.WriteFile(c.file, c.contents);
        }
        ASSERT_EQ(sim.SetInput(40, c.lineLevel), 0);
        bool second = std::string(c.file) == "/var/run/SW2";
        EXPECT_EQ(second ? BoardIoGetSW2(&io) : BoardIoGetSW3(&io), c.expected)
            << c.file << " " << (c.contents != nullptr ? c.contents : "(none)") << " line "
            << c.lineLevel;
    }
    EXPECT_TRUE(box.LogHas("divers.lib : lecture switch 1 dans /var/run/SW2", "debug"));
    EXPECT_TRUE(box.LogHas("divers.lib : erreur de lecture de /var/run/SW2 ", "err"));
}

TEST_F(BoardIoTest, SimulatorRecordsWhenEachValueWasWritten) {
    BoardIoSetUp(&io);
    SeenOnce(2);
    constexpr int kOnMs = 60;
    constexpr int kOffMs = 30;
    for (int blink = 0; blink < 3; ++blink) {
        BoardIoSetLedUsb(&io, 1);
        WaitMillisecond(kOnMs);
        BoardIoSetLedUsb(&io, 0);
        WaitMillisecond(kOffMs);
    }
    SeenOnce(8);
    std::vector<gpiosim::Change> changes = sim.Changes();
    ASSERT_EQ(changes.size(), 8U);
    auto ms = [](const timespec& t) { return t.tv_sec * 1000LL + t.tv_nsec / 1000000; };
    for (size_t i = 2; i < changes.size(); ++i) {
        EXPECT_EQ(changes[i].line, 98);
        EXPECT_EQ(changes[i].value, i % 2 == 0 ? 0 : 1);  // on (0), then off (1)
        if (i + 1 < changes.size()) {
            // Modification times come in clock ticks: allow one of up to 10 ms.
            long long held = ms(changes[i + 1].time) - ms(changes[i].time);
            EXPECT_GE(held, (i % 2 == 0 ? kOnMs : kOffMs) - 10) << i;
        }
    }
}

TEST(BoardIo, WithoutSysfsEachFailureIsLogged) {
    Sandbox box;
    BoardIo io;
    EXPECT_EQ(BoardIoSetLedUsb(&io, 1), 0);
    EXPECT_TRUE(box.LogHas("Cannot open export file. (2)", "err")) << box.Log();
    EXPECT_TRUE(box.LogHas(
        "Erreur sur le positionnement en sortie de /sys/class/gpio/gpio41/direction : 2.", "err"));
    EXPECT_TRUE(box.LogHas("error on  value /sys/class/gpio/gpio98/value :2", "err"));
    EXPECT_TRUE(box.Exists("/var/run/led"));
    EXPECT_EQ(BoardIoGetSW2(&io), 0);
    EXPECT_TRUE(box.LogHas("error on  value /sys/class/gpio/gpio40/value :2", "err"));

    box.WriteFile("/sys/class/gpio/gpio40/value", "1");  // one byte: not what the kernel gives
    EXPECT_EQ(GpioRead(40), 0);
    EXPECT_TRUE(box.LogHas("error in read of /sys/class/gpio/gpio40/value", "err"));
    box.WriteFile("/sys/class/gpio/gpio40/value", "1\n");
    EXPECT_EQ(GpioRead(40), 1);

    // An export that no one answers: each line is waited for a bounded time.
    fs::remove(box.Path("/var/run/led"));
    fs::remove_all(box.Path("/sys/class/gpio/gpio40"));
    box.WriteFile("/sys/class/gpio/export", "");
    FakeClock clock;
    BoardIo unanswered;
    BoardIoSetUp(&unanswered);
    EXPECT_EQ(clock.ElapsedMs(), 9 * boardio::kExportWaitMs);

    fs::remove_all(box.Path("/var/run"));
    BoardIo noMarker;
    BoardIoSetUp(&noMarker);
    EXPECT_TRUE(box.LogHas("/var/run/led write error :2", "err"));
}
