// stickexport as the station runs it: the built program in a sandbox with the station core
// stand-in (channels and tsd), the GPIO simulator as the kernel's side of the USB light, and
// the key a folder of the sandbox. Its exit status, the light's blinking in time, the CSV bytes
// on the key, the free space written to the channels, and its trace.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "gpiosim.h"
#include "process.h"
#include "sandbox.h"
#include "serialdebug.h"
#include "stationcore_fixture.h"

namespace fs = std::filesystem;

// Its own namespace: the program tests are compiled in batches.
namespace stickexport_test {

namespace {

constexpr int kUsbLight = 98;

const char* kSite = R"(
channel 3 EANA "Niveau" format="%.1f" coef=0.1 flags=timestamped memo=20
channel 9 ETOR "Porte" flags=timestamped memo=0
channel 40 ETOR "Cle libre"
channel 41 EANA "Cle libre %"
line memo 3 1700000000 125 repeat=2
line station 1700000010 9 1
line comm 1700000020 0x0E02 0
)";

// The trace of port 1, created before the run so that what the run writes can be read after.
struct TraceReader {
    SerialDebug trace;
    TraceReader() { EXPECT_EQ(CreateSerialDebug(&trace, 1), 0); }
    ~TraceReader() { CloseSerialDebug(&trace); }
    std::string Read() {
        char text[8192];
        ReadStrFromSerialDebug(&trace, text, sizeof text - 1);
        return text;
    }
};

class StickExportProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        box.WriteFile("/etc/orxapp.ini",
                      "[ENV]\nCHANNEL_MAX_NB=50\n[IDENT]\nNAME=Site:Nord\nID=12\n");
        box.WriteFile("/tmp/orxapp.ini", box.ReadFile("/etc/orxapp.ini"));
        ASSERT_EQ(gpio.Start(box.Root()), 0);
    }
    void Key(const std::string& serial) {
        fs::create_directories(box.Path("/dev/sda1"));
        box.WriteFile("/proc/scsi/usb-storage/1",
                      "   Host scsi0: usb-storage\nSerial Number: " + serial + "\n");
    }
    ProgramResult Run(std::vector<std::string> args = {"Port=1", "To=40", "From=41"}) {
        return RunProgram(ProgramPath("stickexport"), args, std::chrono::seconds(30), {"TZ=UTC0"});
    }

    Sandbox box;
    gpiosim::GpioSim gpio;
};

}  // namespace

TEST_F(StickExportProgram, WithoutArgumentsItEndsAtOnce) {
    ProgramResult result = Run({});
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 255);
    EXPECT_TRUE(box.LogHas("not enough of arguments", "err"));
    EXPECT_TRUE(gpio.Changes().empty());
}

// The light blinks 20 times, on 200 ms and off 100 ms (the line is active low: on is 0), and
// stays on when no key is found.
TEST_F(StickExportProgram, BlinksThenFindsNoKey) {
    StationCore core(box, kSite);
    ASSERT_TRUE(core.Ready());
    TraceReader trace;
    ProgramResult result = Run();
    EXPECT_EQ(result.status, 102) << result.output;
    EXPECT_NE(trace.Read().find("no usb key detected !\n"), std::string::npos);

    // The set-up's start values of the line and USB lights, then the blinking.
    ASSERT_TRUE(gpio.WaitForChanges(43, std::chrono::seconds(5)));
    std::vector<gpiosim::Change> light;
    for (const gpiosim::Change& c : gpio.Changes()) {
        if (c.line == kUsbLight) {
            light.push_back(c);
        }
    }
    ASSERT_EQ(light.size(), 42u);  // the set-up's 1 (off), 20 x (0, 1), then 0
    EXPECT_EQ(light.front().value, 1);
    auto ms = [&](size_t from, size_t to) {
        return (light[to].time.tv_sec - light[from].time.tv_sec) * 1000.0 +
               (light[to].time.tv_nsec - light[from].time.tv_nsec) / 1e6;
    };
    // A change seen late by the simulator lengthens one interval and shortens the next: each
    // interval is held loosely, the sums of the on and off times closely.
    double on = 0;
    double off = 0;
    for (size_t i = 1; i + 1 < light.size(); i += 2) {
        EXPECT_EQ(light[i].value, 0) << i;
        EXPECT_EQ(light[i + 1].value, 1) << i;
        EXPECT_NEAR(ms(i, i + 1), 200, 150) << "on " << i;
        EXPECT_NEAR(ms(i + 1, i + 2), 100, 95) << "off " << i;
        on += ms(i, i + 1);
        off += ms(i + 1, i + 2);
    }
    EXPECT_NEAR(on, 20 * 200, 300);
    EXPECT_NEAR(off, 20 * 100, 300);
    EXPECT_EQ(light.back().value, 0);  // on
    EXPECT_GE(ms(1, light.size() - 1), 5990);
}

TEST_F(StickExportProgram, AKeyThatCannotBeMounted) {
    StationCore core(box, kSite);
    ASSERT_TRUE(core.Ready());
    Key("0011AABB");
    fs::remove_all(box.Path("/dev/sda1"));
    ProgramResult result = Run();
    EXPECT_EQ(result.status, 103) << result.output;
    EXPECT_NE(box.Log().find("]: mount error="), std::string::npos);
    ASSERT_TRUE(gpio.WaitForChanges(44, std::chrono::seconds(5)));
    EXPECT_EQ(gpio.ValuesOf(kUsbLight).back(), 1);  // off
    EXPECT_FALSE(box.Exists("/var/nonvolatile/stickexport_0011AABB.context"));
}

TEST_F(StickExportProgram, ExportsOntoTheKeyAndWritesItsFreeSpace) {
    StationCore core(box, kSite);
    ASSERT_TRUE(core.Ready());
    Key("0011AABB");
    TraceReader trace;
    ProgramResult result = Run();
    ASSERT_EQ(result.status, 8) << result.output;

    const std::string dir = "/dev/sda1/Site_Nord.12/";
    EXPECT_EQ(box.ReadFile(dir + "Niveau.3.csv"),
              "2023-11-14 22:13:20,12.5\r\n2023-11-14 22:13:21,12.6\r\n");
    EXPECT_EQ(box.ReadFile(dir + "station.csv"), "2023-11-14 22:13:30,9,\"Porte\",1\r\n");
    EXPECT_EQ(box.ReadFile(dir + "comm.csv"),
              "2023-11-14 22:13:40,\"---> Cycle 2 : Debut de cycle.\"\r\n");
    EXPECT_EQ(box.ReadFile("/var/nonvolatile/stickexport_0011AABB.context").substr(0, 2), "1;");

    // The free space of the key: a boolean on To, the percentage on From.
    JournalEntry flag = core.WaitFor(
        [](const JournalEntry& e) { return e.kind == "request" && e.Item(40) != nullptr; });
    JournalEntry percent = core.WaitFor(
        [](const JournalEntry& e) { return e.kind == "request" && e.Item(41) != nullptr; });
    ASSERT_EQ(flag.kind, "request");
    ASSERT_EQ(percent.kind, "request");
    EXPECT_EQ(flag.Item(40)->kind, "bool");
    EXPECT_EQ(percent.Item(41)->kind, "float");
    const double free = percent.Item(41)->value;
    EXPECT_GT(free, 0);
    EXPECT_LE(free, 100);
    EXPECT_EQ(flag.Item(40)->value, free > 20 ? 1 : 0);

    const std::string traced = trace.Read();
    for (const char* expected :
         {"timestamped datas on usb key\n", "usb key S/N=0011AABB detected\n",
          "Sequence number 0\n", "write of /tmp/usbkey/Site_Nord.12/Niveau.3.csv : Ok\n",
          "write of /tmp/usbkey/Site_Nord.12/comm.csv : Ok\n",
          "write of /tmp/usbkey/Site_Nord.12/station.csv : Ok\n", "% free Size=", "Ack\n"}) {
        EXPECT_NE(traced.find(expected), std::string::npos) << expected << "\n" << traced;
    }
    ASSERT_TRUE(gpio.WaitForChanges(44, std::chrono::seconds(5)));
    EXPECT_EQ(gpio.ValuesOf(kUsbLight).back(), 1);         // off at the end
    EXPECT_FALSE(box.Exists("/tmp/usbkey/Site_Nord.12"));  // unmounted
}

// A key with one page left: the large memo does not fit. Its file is KO and left as it was (not
// there), the other files are written, and the key's context keeps the memo where it was before
// the run (never read), so that the next run with this key offers its lines again.
TEST_F(StickExportProgram, AFullKeyKeepsTheLinesItCouldNotTake) {
    StationCore core(box, R"(
channel 3 EANA "Niveau" coef=0.1 flags=timestamped memo=400
channel 9 ETOR "Porte" flags=timestamped memo=0
line memo 3 1700000000 125 repeat=400
line station 1700000010 9 1
)");
    ASSERT_TRUE(core.Ready());
    Key("0011AABB");
    SmallFileSystem key(box, "/dev/sda1", "64k");
    ASSERT_TRUE(key.Mounted());
    key.Fill();
    fs::resize_file(box.Path("/dev/sda1/filler"),
                    fs::file_size(box.Path("/dev/sda1/filler")) - 4096);
    TraceReader trace;
    ProgramResult result = Run({"Port=1"});
    ASSERT_EQ(result.status, 8) << result.output;
    const std::string traced = trace.Read();
    EXPECT_NE(traced.find("Niveau.3.csv : KO\n"), std::string::npos) << traced;
    EXPECT_NE(traced.find("station.csv : Ok\n"), std::string::npos) << traced;
    EXPECT_FALSE(box.Exists("/dev/sda1/Site_Nord.12/Niveau.3.csv"));
    EXPECT_EQ(box.ReadFile("/dev/sda1/Site_Nord.12/station.csv"),
              "2023-11-14 22:13:30,9,\"Porte\",1\r\n");
    const std::string context = box.ReadFile("/var/nonvolatile/stickexport_0011AABB.context");
    EXPECT_NE(context.find("\n1602;0;0;0;0\n"), std::string::npos) << context;
    EXPECT_NE(context.find("\n1;1;"), std::string::npos) << context;  // the station log moved on
}

}  // namespace stickexport_test
