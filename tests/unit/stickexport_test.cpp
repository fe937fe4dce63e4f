// stickexport's run in this process, step by step as its main takes them, on the fake clock:
// chanmgr's memories made by the test, the stand-in's tsd half answering on each sleep, the USB
// key a directory (or a small tmpfs) of the sandbox mounted in the test's own mount namespace,
// and the GPIO simulator recording the USB light. The files on the key are read back byte for
// byte.
#include "stickexport.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "chanmgr_memories.h"
#include "conf.h"
#include "csvrecord.h"
#include "fakeclock.h"
#include "gpiosim.h"
#include "sandbox.h"
#include "serialdebug.h"
#include "tsdcore.h"

namespace fs = std::filesystem;

namespace {

constexpr uint16_t kLevel = 0x1602;                     // channel 3, EANA "Niveau", coefficient 0.1
constexpr uint16_t kIndex = 0x3008;                     // channel 5, CPT "Index"
constexpr uint16_t kTemp = 0x1606;                      // channel 7, EANA "Temp/ext:1"
constexpr uint32_t kT0 = 1700000000;                    // 2023-11-14 22:13:20 UTC
constexpr const char* kDir = "/dev/sda1/Site_Nord.12";  // the key's folder

std::string MemoSizes() {
    std::string bytes;
    for (auto [address, lines] : {std::pair{kLevel, 300}, {kIndex, 10}, {kTemp, 10}}) {
        bytes += static_cast<char>(address >> 8);
        bytes += static_cast<char>(address & 0xFF);
        bytes += static_cast<char>(lines >> 8);
        bytes += static_cast<char>(lines & 0xFF);
    }
    return bytes;
}

class StickExportRun : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC0", 1);
        tzset();
        ResetChannelMaxNb();
        ResetModbusAddr();
        box.WriteFile("/tmp/orxapp.ini",
                      "[ENV]\nCHANNEL_MAX_NB=50\n[IDENT]\nNAME=Site:Nord\nID=12\n");
        box.WriteFile("/tmp/memo.size", MemoSizes());
        box.WriteFile("/tmp/utilvelun.txt",
                      "#\njdupont;Jean Dupont;0007;" + std::string(32, 'a') + "\n");
        const uint32_t memo = kFlagTimeStamped | kFlagDefined;
        memories.SetRecord(3, {"Niveau", "%.1f", 2, memo, 0, 0, 0, 0.1f});
        memories.SetRecord(5, {"Index", "", 5, memo});
        memories.SetRecord(7, {"Temp/ext:1", "", 2, memo});
        memories.SetRecord(9, {"Pompe \"P1\"", "", 1, kFlagDefined});
        memories.SetLastChannel(50);
        tsdsim::Layout layout;
        layout.memos = {{kLevel, 300}, {kIndex, 10}, {kTemp, 10}};
        std::string error;
        ASSERT_EQ(server.Open(layout, error), 0) << error;
        clock.OnSleep([this] { server.Poll(clock.ElapsedMs(), nullptr); });

        // The USB light, exported already (the marker says the lines are set up).
        ASSERT_EQ(gpio.Start(box.Root()), 0);
        box.WriteFile("/sys/class/gpio/export", "98\n");
        ASSERT_TRUE(WaitUntil([&] { return box.Exists("/sys/class/gpio/gpio98/value"); }));
        box.WriteFile("/var/run/led", "1\n");

        Key("/dev/sda1", "0011AABB");
        ASSERT_EQ(CreateSerialDebug(&trace, 0), 0);
    }
    void TearDown() override {
        CloseSerialDebug(&trace);
        umount2(box.Path("/tmp/usbkey").c_str(), MNT_DETACH);
        (void)!chdir("/");
        unsetenv("TZ");
        tzset();
    }

    // The USB storage entry of a key with this serial number, and its device folder.
    void Key(const char* device, const std::string& serial) {
        fs::create_directories(box.Path(device));
        box.WriteFile("/proc/scsi/usb-storage/1",
                      "   Host scsi0: usb-storage\n       Vendor: Generic\n"
                      "Serial Number: " +
                          serial + "\n     Protocol: Transparent SCSI\n");
    }

    // One run, as main takes its steps: the exit code; the trace of the run in `traced`.
    int Run(std::vector<std::string> args = {"Port=0"}) {
        std::vector<char*> argv{const_cast<char*>("stickexport")};
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        static StickExport run;
        run = StickExport{};
        const int argc = static_cast<int>(argv.size());
        int status;
        StickExportStart(&run, argc, argv.data());
        StickExportBlink(&run);
        if (StickExportFindKey(&run) != 0) {
            StickExportRelease(&run);
            status = stickexport::kNoKey;
        } else if (StickExportMountKey(&run) != 0) {
            StickExportRelease(&run);
            status = stickexport::kMountFailed;
        } else {
            StickExportExport(&run);
            StickExportFreeSpace(&run);
            status = StickExportEnd(&run);
        }
        char text[8192];
        ReadStrFromSerialDebug(&trace, text, sizeof text - 1);
        traced = text;
        return status;
    }

    std::string File(const std::string& name, const char* dir = kDir) {
        std::string path = std::string(dir) + "/" + name;
        return box.Exists(path) ? box.ReadFile(path) : "<none>";
    }

    void Lines() {
        server.AppendStation(kT0, kLevel, 125);
        server.AppendStation(kT0 + 1, 0x1008, 1);  // channel 9, a name with double quotes
        server.AppendComm(kT0 + 2, 14 << 8 | 2, 0);
        server.AppendComm(kT0 + 3, 12 << 8 | 2, 0);  // the operator's login between quotes
        server.AppendMemo(kLevel, kT0 + 4, 0xFFFF);
        server.AppendMemo(kIndex, kT0 + 5, 1000000);
        server.AppendMemo(kTemp, kT0 + 6, 7);
    }

    Sandbox box;
    FakeClock clock;
    ChanmgrMemories memories;
    ChanmgrQueue queue;
    tsdsim::Server server;
    gpiosim::GpioSim gpio;
    SerialDebug trace;
    std::string traced;
};

}  // namespace

TEST_F(StickExportRun, WritesEachSourceAsCsvLines) {
    clock.SetWallTime(kT0 + 100);
    Lines();
    ASSERT_EQ(Run(), stickexport::kDone) << traced;
    EXPECT_EQ(File("station.csv"),
              "2023-11-14 22:13:20,3,\"Niveau\",12.5\r\n"
              "2023-11-14 22:13:21,9,\"Pompe 'P1'\",1\r\n");
    EXPECT_EQ(File("comm.csv"),
              "2023-11-14 22:13:22,\"---> Cycle 2 : Debut de cycle.\"\r\n"
              "2023-11-14 22:13:23,\"=== Demande de reload par l'operateur 'jdupont'\"\r\n");
    EXPECT_EQ(File("Niveau.3.csv"), "2023-11-14 22:13:24,-0.1\r\n");
    EXPECT_EQ(File("Index.5.csv"), "2023-11-14 22:13:25,1e+06\r\n");
    EXPECT_EQ(File("Temp_ext_1.7.csv"), "2023-11-14 22:13:26,7\r\n");

    for (const char* expected :
         {"timestamped datas on usb key\n", "usb key S/N=0011AABB detected\n",
          "Sequence number 0\n", "write of /tmp/usbkey/Site_Nord.12/Niveau.3.csv : Ok\n",
          "write of /tmp/usbkey/Site_Nord.12/comm.csv : Ok\n",
          "write of /tmp/usbkey/Site_Nord.12/station.csv : Ok\n", "% free Size=", "Ack\n"}) {
        EXPECT_NE(traced.find(expected), std::string::npos) << expected << "\n" << traced;
    }
    EXPECT_TRUE(box.Exists("/var/nonvolatile/stickexport_0011AABB.context"));
    EXPECT_TRUE(box.LogHas("Racine(24/160)=/tmp/usbkey/Site_Nord.12", "debug"));
    // Without To and From the free space goes to channel -1: nothing is sent.
    EXPECT_EQ(queue.Take(), "");
    EXPECT_NE(box.Log().find(" -> Voie[-1], "), std::string::npos);
    EXPECT_NE(box.Log().find("]: 7 nouvelleslignes en 60"), std::string::npos) << box.Log();
    // Unmounted at the end: the files are on the key's folder only.
    EXPECT_FALSE(box.Exists("/tmp/usbkey/Site_Nord.12"));
    EXPECT_TRUE(box.Exists("/dev/sda1/Site_Nord.12/station.csv"));

    // The light: 20 blinks (on is 0, the line is active low), on during the export, off at the
    // end.
    std::vector<int> light;
    for (int i = 0; i < stickexport::kBlinks; ++i) {
        light.push_back(0);
        light.push_back(1);
    }
    light.push_back(0);
    light.push_back(1);
    ASSERT_TRUE(gpio.WaitForChanges(light.size(), std::chrono::seconds(5)));
    EXPECT_EQ(gpio.ValuesOf(98), light);
}

TEST_F(StickExportRun, EachKeyGetsWhatIsNewForIt) {
    Lines();
    ASSERT_EQ(Run(), stickexport::kDone);
    const std::string station = File("station.csv");
    server.AppendMemo(kLevel, kT0 + 10, 30);
    server.AppendComm(kT0 + 11, 14 << 8 | 3, 0);
    ASSERT_EQ(Run(), stickexport::kDone);  // the same key: only what was added
    EXPECT_EQ(File("Niveau.3.csv"), "2023-11-14 22:13:24,-0.1\r\n2023-11-14 22:13:30,3\r\n");
    EXPECT_EQ(File("comm.csv"),
              "2023-11-14 22:13:22,\"---> Cycle 2 : Debut de cycle.\"\r\n"
              "2023-11-14 22:13:23,\"=== Demande de reload par l'operateur 'jdupont'\"\r\n"
              "2023-11-14 22:13:31,\"---> Cycle 3 : Debut de cycle.\"\r\n");
    EXPECT_EQ(File("station.csv"), station);  // nothing new there
    EXPECT_NE(traced.find("Sequence number 1\n"), std::string::npos) << traced;
    EXPECT_EQ(traced.find("station.csv"), std::string::npos) << traced;

    // Another key starts from the beginning of each table.
    Key("/dev/sda1", "KEY2");
    fs::rename(box.Path("/dev/sda1"), box.Path("/dev/key1"));
    fs::create_directories(box.Path("/dev/sda1"));
    ASSERT_EQ(Run(), stickexport::kDone);
    EXPECT_EQ(File("Niveau.3.csv", "/dev/sda1/Site_Nord.12"),
              "2023-11-14 22:13:24,-0.1\r\n2023-11-14 22:13:30,3\r\n");
    EXPECT_EQ(File("comm.csv", "/dev/sda1/Site_Nord.12"),
              File("comm.csv", "/dev/key1/Site_Nord.12"));
    EXPECT_NE(traced.find("Sequence number 0\n"), std::string::npos) << traced;
    EXPECT_TRUE(box.Exists("/var/nonvolatile/stickexport_KEY2.context"));
}

TEST_F(StickExportRun, AKeyMountedAlreadyIsUsedAndUnmounted) {
    Lines();
    fs::create_directories(box.Path("/tmp/usbkey"));
    ASSERT_EQ(mount(box.Path("/dev/sda1").c_str(), box.Path("/tmp/usbkey").c_str(), nullptr,
                    MS_BIND, nullptr),
              0);
    ASSERT_EQ(Run(), stickexport::kDone);
    EXPECT_NE(traced.find("usb key is already mounted \n"), std::string::npos) << traced;
    EXPECT_EQ(File("Index.5.csv", "/dev/sda1/Site_Nord.12"), "2023-11-14 22:13:25,1e+06\r\n");
    EXPECT_FALSE(box.Exists("/tmp/usbkey/Site_Nord.12"));  // unmounted at the end
}

// No key, a key that cannot be mounted, a context that cannot be saved: none reports success.
TEST_F(StickExportRun, RunsThatFail) {
    box.WriteFile("/proc/scsi/usb-storage/1", "   Host scsi0: usb-storage\n\nSerial Number: X\n");
    EXPECT_EQ(Run(), stickexport::kNoKey);
    EXPECT_NE(traced.find("no usb key detected !\n"), std::string::npos) << traced;
    EXPECT_TRUE(box.LogHas("divers.lib: pas de numero serie dans 1", "err"));
    EXPECT_TRUE(box.LogHas("divers.lib : pas d'info sur clef usb", "err"));
    EXPECT_FALSE(box.Exists("/var/nonvolatile/stickexport_X.context"));

    Key("/dev/sda1", "0011AABB");
    fs::remove_all(box.Path("/dev/sda1"));
    ASSERT_TRUE(gpio.WaitForChanges(41, std::chrono::seconds(5)));  // the first run's
    EXPECT_EQ(Run(), stickexport::kMountFailed);
    EXPECT_NE(traced.find("error in usb key mounting : "), std::string::npos) << traced;
    EXPECT_NE(box.Log().find("]: mount error="), std::string::npos);
    ASSERT_TRUE(gpio.WaitForChanges(83, std::chrono::seconds(5)));
    EXPECT_EQ(gpio.ValuesOf(98).back(), 1);  // the light off

    Key("/dev/sda1", "0011AABB");
    Lines();
    fs::create_directories(box.Path("/var/nonvolatile/stickexport_0011AABB.context"));
    EXPECT_EQ(Run(), stickexport::kContextNotSaved);
    EXPECT_EQ(File("Index.5.csv"), "2023-11-14 22:13:25,1e+06\r\n");
    EXPECT_TRUE(box.LogHas(
        "context of stickexport_0011AABB not saved : the next unload repeats these lines", "err"));
    EXPECT_EQ(traced.find("Ack\n"), std::string::npos) << traced;
}

// The serial number comes from the device and names the key's context file: whatever it holds,
// the file stays in "/var/nonvolatile" and is one name.
TEST_F(StickExportRun, TheSerialNumberIsMadeAFileName) {
    Key("/dev/sda1", "../../etc/x:y*\x01");
    ASSERT_EQ(Run(), stickexport::kDone) << traced;
    EXPECT_TRUE(box.Exists("/var/nonvolatile/stickexport_.._.._etc_x_y__.context"));
    EXPECT_TRUE(box.LogHas("divers.lib: no serie usb=.._.._etc_x_y__", "info"));
    char serial[stickexport::kSerialMax + 1];
    Key("/dev/sda1", "12345678901234567890");
    EXPECT_EQ(GetUsbKeySerialNumber(serial), 1);
    EXPECT_STREQ(serial, "1234567890123456");
}

// A key that is full: the files that could not be written are KO, are left as they were before
// the run, and their lines are offered again to the same key next time (the other sources go
// on from where they were written).
TEST_F(StickExportRun, AFullKeyLosesNoLine) {
    SmallFileSystem key(box, "/dev/sda1", "64k");
    ASSERT_TRUE(key.Mounted());
    fs::create_directories(box.Path("/dev/sda1/Site_Nord.12"));
    box.WriteFile("/dev/sda1/Site_Nord.12/comm.csv", "earlier line\r\n");
    for (uint32_t i = 0; i < 250; ++i) {
        server.AppendMemo(kLevel, kT0 + i, i);  // about 6.5 KB of lines
    }
    server.AppendMemo(kIndex, kT0, 5);
    server.AppendComm(kT0, 14 << 8 | 2, 0);
    // One page left: the large memo does not fit, the small files do.
    key.Fill();
    fs::resize_file(box.Path("/dev/sda1/filler"),
                    fs::file_size(box.Path("/dev/sda1/filler")) - 4096);
    ASSERT_EQ(Run(), stickexport::kDone);
    EXPECT_NE(traced.find("Niveau.3.csv : KO\n"), std::string::npos) << traced;
    EXPECT_NE(traced.find("Index.5.csv : Ok\n"), std::string::npos) << traced;
    EXPECT_EQ(File("Niveau.3.csv", "/dev/sda1/Site_Nord.12"), "<none>");
    EXPECT_EQ(File("comm.csv", "/dev/sda1/Site_Nord.12"),
              "earlier line\r\n2023-11-14 22:13:20,\"---> Cycle 2 : Debut de cycle.\"\r\n");
    EXPECT_NE(box.Log().find("No space left on device"), std::string::npos) << box.Log();
    const std::string comm = File("comm.csv", "/dev/sda1/Site_Nord.12");

    fs::remove(box.Path("/dev/sda1/filler"));
    ASSERT_EQ(Run(), stickexport::kDone);
    EXPECT_NE(traced.find("Niveau.3.csv : Ok\n"), std::string::npos) << traced;
    std::string memo = File("Niveau.3.csv", "/dev/sda1/Site_Nord.12");
    EXPECT_EQ(std::count(memo.begin(), memo.end(), '\n'), 250);
    EXPECT_EQ(memo.substr(0, 48), "2023-11-14 22:13:20,0\r\n2023-11-14 22:13:21,0.1\r\n");
    EXPECT_EQ(traced.find("Index.5.csv"), std::string::npos) << traced;  // nothing twice
    EXPECT_EQ(File("comm.csv", "/dev/sda1/Site_Nord.12"), comm);
}

TEST(StickExportArguments, ChannelsAndFreeSpace) {
    EXPECT_EQ(StickChannelNumber("12"), 12);
    EXPECT_EQ(StickChannelNumber("12\n"), 12);  // from an argument file, with its line end
    EXPECT_EQ(StickChannelNumber(""), -1);
    EXPECT_EQ(StickChannelNumber("abc"), -1);
    EXPECT_EQ(StickChannelNumber(nullptr), -1);
    EXPECT_FLOAT_EQ(StickFreePercent(100, 20), 20.0f);
    EXPECT_FALSE(StickFreePercent(100, 20) > stickexport::kFreeThreshold);  // exactly 20 %: 0
    EXPECT_TRUE(StickFreePercent(1000, 201) > stickexport::kFreeThreshold);
    EXPECT_EQ(StickFreePercent(0, 0), 0.0f);
}
