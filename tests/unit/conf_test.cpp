// Station settings and identity: the INI working copy, the bounded sizing keys, the EEPROM
// board record and the memo-size file, in a private station root.
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netpacket/packet.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "conf.h"
#include "fakeclock.h"
#include "sandbox.h"
#include "stationlog.h"

namespace {

class ConfTest : public ::testing::Test {
  protected:
    void SetUp() override {
        StationOpenLog("conftest");
        ResetChannelMaxNb();
    }
    void TearDown() override { ResetChannelMaxNb(); }

    void WriteIni(const std::string& text) { box.WriteFile("/tmp/orxapp.ini", text); }

    Sandbox box;
    FakeClock clock;  // holds the "en %d ms" figures at 0
};

// A 128-byte board record whose bytes sum to 0 modulo 256.
std::string EepromImage(int32_t date, int32_t serial, const std::string& op,
                        const std::string& version, const std::string& board,
                        const std::string& module, const std::string& of) {
    std::string image(128, '\0');
    auto put32 = [&](int offset, int32_t value) {
        uint32_t v = static_cast<uint32_t>(value);
        for (int i = 0; i < 4; ++i) {
            image[offset + i] = static_cast<char>(v >> (8 * i) & 0xFF);
        }
    };
    auto putText = [&](int offset, int width, const std::string& text) {
        std::memcpy(&image[offset], text.data(), std::min<size_t>(width, text.size()));
    };
    put32(1, date);
    put32(5, serial);
    putText(9, 3, op);
    putText(12, 3, version);
    putText(15, 20, board);
    putText(35, 20, module);
    putText(55, 20, of);
    image[100] = 'x';  // the unused tail takes part in the sum too
    unsigned sum = 0;
    for (int i = 1; i < 128; ++i) {
        sum += static_cast<unsigned char>(image[i]);
    }
    image[0] = static_cast<char>((256 - sum % 256) % 256);
    return image;
}

std::string MemoRecords(const std::vector<std::pair<int16_t, uint16_t>>& records) {
    std::string bytes;
    for (auto [address, size] : records) {
        uint16_t a = static_cast<uint16_t>(address);
        bytes += static_cast<char>(a >> 8);
        bytes += static_cast<char>(a & 0xFF);
        bytes += static_cast<char>(size >> 8);
        bytes += static_cast<char>(size & 0xFF);
    }
    return bytes;
}

}  // namespace

TEST_F(ConfTest, SizingKeysAreBoundedAndDefaultOutsideTheirRange) {
    struct Case {
        const char* line;  // "" for a missing key
        std::function<int()> getter;
        int expected;
    } cases[] = {
        {"CHANNEL_MAX_NB=1501", GetChannelMaxNb, 50},
        {"CHANNEL_MAX_NB=1500", GetChannelMaxNb, 1500},
        {"CHANNEL_MAX_NB=49", GetChannelMaxNb, 50},
        {"CHANNEL_MAX_NB=abc", GetChannelMaxNb, 50},
        {"CHANNEL_MAX_NB=99999999999999", GetChannelMaxNb, 50},
        {"", GetChannelMaxNb, 50},
        {"MEMO_MAX_NB=54000", GetMemoMaxNb, 54000},
        {"MEMO_MAX_NB=54001", GetMemoMaxNb, 1800},
        {"STATION_LOG_MAX=4000", GetStationLogSize, 4000},
        {"STATION_LOG_MAX=199", GetStationLogSize, 200},
        {"COMM_LOG_MAX=300", GetCommLogSize, 300},
        {"", GetCommLogSize, 200},
        {"M350Z=1", GetM350ZCompatibility, 1},
        {"M350Z=2", GetM350ZCompatibility, 0},
        {"M350Z=-1", GetM350ZCompatibility, 0},
        {"MEMO_MAX_BY_CHANNEL=27000", GetMemoMaxByChannel, 27000},
        {"MEMO_MAX_BY_CHANNEL=3599", GetMemoMaxByChannel, 3600},
        {"CHANNEL_HORO_MAX=40", GetLogChannelNb, 750},
        {"CHANNEL_HORO_MAX=1000", GetLogChannelNb, 750},
        {"", GetLogChannelNb, 750},
    };
    for (const Case& c : cases) {
        WriteIni(std::string("[ENV]\n") + c.line + "\n");
        ResetChannelMaxNb();
        EXPECT_EQ(c.getter(), c.expected) << c.line;
    }
    EXPECT_TRUE(box.LogHas("divers.lib : CHANNEL_MAX_NB=1501 hors limites (50 a 1500), 50 retenu",
                           "warning"));
    EXPECT_FALSE(box.LogHas("divers.lib : CHANNEL_HORO_MAX=40 hors limites (750 a 50), 750 retenu",
                            "warning"));
    EXPECT_EQ(GetConsigneEMaxNb(), 128);
    EXPECT_EQ(GetConsigneRMaxNb(), 64);
}

TEST_F(ConfTest, SizesAreDecodedOnceUntilResetOrDecodedAgain) {
    WriteIni("[ENV]\nCHANNEL_MAX_NB=200\n");
    EXPECT_EQ(IsChannelMaxNbInitialized(), 0);
    EXPECT_EQ(GetChannelMaxNb(), 200);
    EXPECT_EQ(IsChannelMaxNbInitialized(), 1);

    WriteIni("[ENV]\nCHANNEL_MAX_NB=300\n");
    EXPECT_EQ(GetChannelMaxNb(), 200) << "kept until decoded again";
    ChannelMaxNbInit();
    EXPECT_EQ(GetChannelMaxNb(), 300);
    EXPECT_TRUE(
        box.LogHas("filemsg.lib : decodage variable d'environnement deja effectue", "warning"));

    WriteIni("[ENV]\nCHANNEL_MAX_NB=400\n");
    ResetChannelMaxNb();
    EXPECT_EQ(IsChannelMaxNbInitialized(), 0);
    EXPECT_EQ(GetChannelMaxNb(), 400);
}

TEST_F(ConfTest, EnvReadsAreLoggedWithTheirValueAndTime) {
    WriteIni("[ENV]\nCHANNEL_MAX_NB=1500\nEMPTY=\n");
    EXPECT_STREQ(GetEnvORXAPP("CHANNEL_MAX_NB"), "1500");
    EXPECT_TRUE(box.LogHas("divers.lib : 1500 pour CHANNEL_MAX_NB en 0 ms", "info"));
    EXPECT_EQ(GetEnvORXAPP("EMPTY"), nullptr);
    EXPECT_EQ(GetEnvORXAPP("MISSING"), nullptr);
    EXPECT_TRUE(box.LogHas("divers.lib : error on read key MISSING", "err"));

    ChannelMaxNbInit();
    EXPECT_TRUE(box.LogHas("MEMO_MAX_NB n'existe pas", "debug"));
}

TEST_F(ConfTest, ReadsOnlyTheWorkingCopy) {
    box.WriteFile("/etc/orxapp.ini", "[ENV]\nCHANNEL_MAX_NB=700\n");
    EXPECT_EQ(GetChannelMaxNb(), 50);
}

TEST_F(ConfTest, StationNumbersOutsideTheirRangeGiveMinusOne) {
    struct Case {
        const char* line;
        std::function<int()> getter;
        int expected;
        const char* log;  // error expected in the log, or nullptr
    } cases[] = {
        {"ID=1", GetStationId, 1, nullptr},
        {"ID=65535", GetStationId, 65535, nullptr},
        {"ID=0", GetStationId, -1, "divers.lib : erreur valeur identification station=0"},
        {"ID=65536", GetStationId, -1, "divers.lib : erreur valeur identification station=65536"},
        {"", GetStationId, -1, "divers.lib : Pb lecture identification station"},
        {"MODBUS_ADDR=254", GetStationSlaveNumber, 254, nullptr},
        {"MODBUS_ADDR=255", GetStationSlaveNumber, -1,
         "divers.lib : erreur valeur code esclave=255"},
        {"MODBUS_ADDR=0", GetStationSlaveNumber, -1, "divers.lib : erreur valeur code esclave=0"},
        {"", GetStationSlaveNumber, -1, "divers.lib : Pb lecture code esclave"},
    };
    for (const Case& c : cases) {
        WriteIni(std::string("[IDENT]\n") + c.line + "\n");
        EXPECT_EQ(c.getter(), c.expected) << c.line;
        if (c.log != nullptr) {
            EXPECT_TRUE(box.LogHas(c.log, "err")) << c.log;
        }
    }
    EXPECT_TRUE(box.LogHas("divers.lib : error  on request ID", "err"));
}

TEST_F(ConfTest, MissingIdentityGivesTheFallbacks) {
    WriteIni("[ENV]\nNAME=not here\n");
    EXPECT_STREQ(GetStationName(), "ERROR");
    EXPECT_TRUE(box.LogHas("divers.lib : Pb lecture nom station", "err"));
    EXPECT_TRUE(box.LogHas("divers.lib : error  on request NAME", "err"));
    EXPECT_EQ(GetORXBASESerialNumber(), 0);
    EXPECT_EQ(GetORXBASEProductionDate(), 0);
    EXPECT_STREQ(GetORXBASEOperator(), "ERROR");
    EXPECT_STREQ(GetORXBASEHardwareVersion(), "ERROR");
    EXPECT_STREQ(GetBoardType(), "ORXETHUSB");
    EXPECT_STREQ(GetCpuModuleType(), "ORXCPU");
    EXPECT_STREQ(GetOF(), "Unknow");
    EXPECT_EQ(GetDomainName(), nullptr);
}

TEST_F(ConfTest, IdentityWritesAreReadBackAndKeepTheRestOfTheFile) {
    WriteIni("[ENV]\nCHANNEL_MAX_NB=600\n[IDENT]\nNAME=old\n");
    EXPECT_EQ(SetStationName("Pumping station 3"), 1);
    EXPECT_EQ(SetStationID(4242), 1);
    EXPECT_EQ(SetSlaveNumber(17), 1);
    EXPECT_TRUE(box.LogHas("divers.lib : 4242 pour ID en 0 ms", "info"));

    const char* name = GetStationName();
    EXPECT_EQ(GetStationId(), 4242);
    EXPECT_EQ(GetStationSlaveNumber(), 17);
    EXPECT_STREQ(GetBoardType(), "ORXETHUSB");
    EXPECT_STREQ(name, "Pumping station 3") << "each text getter keeps its own buffer";
    EXPECT_EQ(GetChannelMaxNb(), 600);
}

TEST_F(ConfTest, IdentityTextsAsTheFileKeepsThem) {
    const std::string longName(100, 'n');
    struct Case {
        const char* written;
        const char* read;
    } cases[] = {
        {"  Reservoir", "Reservoir"},  // an INI value loses its leading blanks, nothing else
        {"Reservoir  ", "Reservoir  "}, {"Pump #3 ; east", "Pump #3 ; east"},
        {"\"quoted\"", "\"quoted\""},   {longName.c_str(), nullptr},  // cut at 80 characters
    };
    for (const Case& c : cases) {
        WriteIni("[IDENT]\nNAME=old\n");
        EXPECT_EQ(SetStationName(c.written), 1) << c.written;
        std::string expected = c.read != nullptr ? c.read : std::string(80, 'n');
        EXPECT_EQ(std::string(GetStationName()), expected) << c.written;
    }
}

TEST_F(ConfTest, IdentityWritesThatCannotBeMadeReportFailure) {
    WriteIni("[IDENT]\nNAME=old\n");
    EXPECT_EQ(SetStationName("two\nlines"), 0);
    EXPECT_EQ(SetStationName(nullptr), 0);
    EXPECT_STREQ(GetStationName(), "old");
    EXPECT_EQ(box.ReadFile("/tmp/orxapp.ini"), "[IDENT]\nNAME=old\n");

    std::filesystem::remove(box.Path("/tmp/orxapp.ini"));
    box.WriteFile("/tmp/orxapp.ini/in-the-way", "");
    EXPECT_EQ(SetStationID(42), 0);
    EXPECT_TRUE(box.LogHas("divers.lib : error  on request ID=42", "err"));
}

TEST_F(ConfTest, VersionRecord) {
    struct Case {
        const char* line;
        int result;
        const char* text;
        int major;
        int minor;
        const char* log;
    } cases[] = {
        {"VERSION_ORXAPP=ORXAPP V6.12", 1, "ORXAPP V", 6, 12, nullptr},
        {"VERSION_ORXAPP=ORXAPP V6.", 0, "Version ", 6, 99, "divers.lib : lng insuffisante=10"},
        {"VERSION_ORXAPP=ORXAPP V5.12", 0, "ORXAPP V", 6, 99,
         "divers.lib : erreur version majeure=35"},
        {"", 0, "Version ", 6, 99, "divers.lib : Pb lecture version ORXAPP"},
    };
    for (const Case& c : cases) {
        WriteIni(std::string("[ENV]\n") + c.line + "\n");
        VersionORXAPP record{"garbage", 1, 2};
        EXPECT_EQ(GetVersionORXAPP(&record), c.result) << c.line;
        EXPECT_STREQ(record.text, c.text) << c.line;
        EXPECT_EQ(record.versionMajor, c.major) << c.line;
        EXPECT_EQ(record.versionMinor, c.minor) << c.line;
        if (c.log != nullptr) {
            EXPECT_TRUE(box.LogHas(c.log, "err")) << c.log;
        }
    }
}

TEST_F(ConfTest, BootVersionFallsBackToTheFirstBootSoftware) {
    WriteIni("[ENV]\n");
    EXPECT_STREQ(GetORXBASEBootSoftwareVersion(), "2009-06-10 build 13:05:08 oct 4 2010");
    EXPECT_TRUE(box.LogHas("divers.lib : pas de version du logiciel de boot", "err"));
    WriteIni("[ENV]\nBOOT_VERSION=2012-01-01 build 7\n");
    EXPECT_STREQ(GetORXBASEBootSoftwareVersion(), "2012-01-01 build 7");
}

TEST_F(ConfTest, GoodEepromRecordIsWrittenIntoTheWorkingCopy) {
    box.WriteFile("/etc/orxapp.ini", "[ENV]\nCHANNEL_MAX_NB=900\n[IDENT]\nNAME=Reservoir\n");
    WriteIni("[IDENT]\nNAME=stale copy\n");
    // BOARD fills its 20 characters: the text must stop there, not run into MODULE.
    box.WriteFile("/dev/i2c-0", EepromImage(20100316, -5, "JDB", "A02", "ORXETHUSB2-LONG-NAME",
                                            "ORXCPU9G20", "OF-12345"));

    EXPECT_EQ(Initialize_InfoVersion(), 1);
    EXPECT_TRUE(box.LogHas("Read 128 bytes rom eeprom at 0x50 en 0 ms ", "debug"));
    EXPECT_EQ(GetORXBASEProductionDate(), 20100316);
    EXPECT_EQ(GetORXBASESerialNumber(), -5);
    EXPECT_STREQ(GetORXBASEOperator(), "JDB");
    EXPECT_STREQ(GetORXBASEHardwareVersion(), "A02");
    EXPECT_STREQ(GetBoardType(), "ORXETHUSB2-LONG-NAME");
    EXPECT_STREQ(GetCpuModuleType(), "ORXCPU9G20");
    EXPECT_STREQ(GetOF(), "OF-12345");
    EXPECT_STREQ(GetStationName(), "Reservoir") << "the working copy is refreshed from the master";
    EXPECT_EQ(GetChannelMaxNb(), 900);
    EXPECT_EQ(box.ReadFile("/etc/orxapp.ini"),
              "[ENV]\nCHANNEL_MAX_NB=900\n[IDENT]\nNAME=Reservoir\n");
}

TEST_F(ConfTest, EepromFailuresWriteNoKey) {
    std::string good = EepromImage(1, 2, "OPR", "V01", "B", "M", "O");
    std::string badSum = good;
    badSum[50] = static_cast<char>(badSum[50] + 1);
    struct Case {
        const char* name;
        std::function<void()> device;
        std::string log;
    } cases[] = {
        {"bad sum", [&] { box.WriteFile("/dev/i2c-0", badSum); },
         "divers.lib: erreur checksum dans l'e2prom"},
        {"short image", [&] { box.WriteFile("/dev/i2c-0", good.substr(0, 100)); },
         "divers.lib : erreur dans la lecture e2prom:" + std::to_string(EIO)},
        {"no device", [] {}, "divers.lib : erreur ouverture i2c : " + std::to_string(ENOENT)},
        {"not an I2C bus",
         [&] { std::filesystem::create_symlink("/dev/null", box.Path("/dev/i2c-0")); },
         "divers.lib : erreur dans raz adr e2prom:" + std::to_string(ENOTTY)},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(box.Path("/dev/i2c-0"));
        c.device();
        box.WriteFile("/etc/orxapp.ini", "[IDENT]\nNAME=n\n");
        EXPECT_EQ(Initialize_InfoVersion(), 0) << c.name;
        EXPECT_TRUE(box.LogHas(c.log, "err")) << c.name << ": " << c.log;
        EXPECT_EQ(box.ReadFile("/tmp/orxapp.ini"), "[IDENT]\nNAME=n\n") << c.name;
    }
}

TEST_F(ConfTest, EepromLoadWithoutMasterStillLoadsTheRecordAndSucceeds) {
    box.WriteFile("/dev/i2c-0", EepromImage(7, 8, "OPR", "V01", "BOARDX", "CPUX", "OFX"));
    EXPECT_EQ(Initialize_InfoVersion(), 1)
        << "a good record is a success, the copy failure is logged";
    EXPECT_STREQ(GetBoardType(), "BOARDX");
}

TEST_F(ConfTest, MemoSizeFileRecords) {
    std::vector<std::pair<int16_t, uint16_t>> records = {{100, 3600}, {-2, 65535}, {3001, 1}};
    for (int i = 0; i < 300; ++i) {
        records.push_back({static_cast<int16_t>(5000 + i), static_cast<uint16_t>(i)});
    }
    box.WriteFile("/tmp/memo.size", MemoRecords(records));
    EXPECT_STREQ(GetMemoSizeName(), "/tmp/memo.size");
    EXPECT_EQ(GetMemoNb(), 303);

    int16_t address = 0;
    uint16_t size = 0;
    EXPECT_EQ(ReadMemoSizeFile(&address, &size, 1), 0);
    EXPECT_EQ(address, -2);
    EXPECT_EQ(size, 65535);
    EXPECT_EQ(ReadMemoSizeFile(&address, &size, 302), 0);
    EXPECT_EQ(address, 5299);
    for (int index : {303, -1}) {
        EXPECT_EQ(ReadMemoSizeFile(&address, &size, index), 1) << index;
        EXPECT_EQ(address, -1);
        EXPECT_EQ(size, 0);
    }

    struct Case {
        int address;
        int size;
    } sizes[] = {{100, 3600}, {-2, 65535}, {3001, 1}, {5290, 290}, {101, 0}, {65534, 0}};
    for (const Case& c : sizes) {
        EXPECT_EQ(GetMemoSize(c.address), c.size) << c.address;
    }
}

TEST_F(ConfTest, MemoSizeFileOfWrongLengthHoldsNoRecord) {
    box.WriteFile("/tmp/memo.size", MemoRecords({{100, 3600}, {101, 10}}) + "xy");
    int16_t address = 0;
    uint16_t size = 0;
    EXPECT_EQ(GetMemoNb(), 0);
    EXPECT_EQ(GetMemoSize(100), 0);
    EXPECT_EQ(ReadMemoSizeFile(&address, &size, 0), 1);
    EXPECT_EQ(address, -1);

    std::filesystem::remove(box.Path("/tmp/memo.size"));
    EXPECT_EQ(GetMemoNb(), 0);
    EXPECT_EQ(GetMemoSize(100), 0);

    // A pipe planted under the name holds no record and keeps no reader waiting for a writer
    // (the alarm ends the test, should it wait).
    ASSERT_EQ(mkfifo(box.Path("/tmp/memo.size").c_str(), 0666), 0);
    alarm(10);
    EXPECT_EQ(GetMemoNb(), 0);
    EXPECT_EQ(GetMemoSize(100), 0);
    EXPECT_EQ(ReadMemoSizeFile(&address, &size, 0), 1);
    alarm(0);
}

TEST_F(ConfTest, MacAddressOfEth0) {
    // The link-layer address of the process's own network namespace (sysfs may show another).
    std::string expected = "ERROR";
    ifaddrs* list = nullptr;
    ASSERT_EQ(getifaddrs(&list), 0);
    for (ifaddrs* at = list; at != nullptr; at = at->ifa_next) {
        if (at->ifa_addr != nullptr && at->ifa_addr->sa_family == AF_PACKET &&
            std::string(at->ifa_name) == "eth0") {
            const auto* link = reinterpret_cast<const sockaddr_ll*>(at->ifa_addr);
            char text[18];
            std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", link->sll_addr[0],
                          link->sll_addr[1], link->sll_addr[2], link->sll_addr[3],
                          link->sll_addr[4], link->sll_addr[5]);
            expected = text;
        }
    }
    freeifaddrs(list);
    EXPECT_EQ(std::string(GetMacAddr()), expected);
    if (expected == "ERROR") {
        EXPECT_TRUE(box.LogHas(
            "divers.lib : erreur dans recuperation adresse Mac =" + std::to_string(ENODEV), "err"));
    }
}

TEST_F(ConfTest, OsVersionIsCutToTheBuffer) {
    utsname system{};
    ASSERT_EQ(uname(&system), 0);
    std::string version = system.version;
    for (char& c : version) {
        if (static_cast<unsigned char>(c) == 0xE9) {
            c = 'e';
        }
    }
    std::string expected =
        std::string(system.sysname) + " release " + system.release + ", build " + version;
    char buffer[400];
    EXPECT_EQ(GetOsVersion(buffer, sizeof buffer), static_cast<int>(expected.size()));
    EXPECT_EQ(std::string(buffer), expected);
    char small[8];
    EXPECT_EQ(GetOsVersion(small, sizeof small), 7);
    EXPECT_EQ(std::string(small), expected.substr(0, 7));
    EXPECT_EQ(GetOsVersion(small, 0), 0);
}
