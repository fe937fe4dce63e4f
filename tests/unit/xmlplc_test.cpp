// The PLC frame table as a driver reads it: a configuration file in a private station, and what
// comes out (the table, or the status file with the faulty line and the verdict, the log lines,
// the notice to modmgr).
#include "xmlplc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driverconfig.h"
#include "logdebug.h"
#include "plctestdriver.h"
#include "sandbox.h"
#include "stationcore.h"

namespace {

constexpr const char* kStatus = "/var/log/plctest.xml.status";
constexpr const char* kTimeout = " Timeout=\"1000\"";

// Line 4 is the COM element (attributes given), the body starts on line 5.
std::string Document(const std::string& com, const std::string& body,
                     const std::string& after = "") {
    return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<STATION>\n<AUTOMATE>\n<COM " + com +
           ">\n" + body + "</COM>\n</AUTOMATE>\n" + after + "</STATION>\n";
}

struct Read {
    int result = 0;
    PlcConfig config;
    std::string status;
    int notices = 0;
};

Read ReadIn(const Sandbox& box, const std::string& xml, const char* driver = plctest::kDriverName,
            int port = -1) {
    box.WriteFile(driverconfig::kConfigurationPath, xml);
    PlcTestNotices();  // none left by an earlier test
    Read read;
    read.result =
        PlcConfigRead(&read.config, driver, port,
                      std::string(driver) == plctest::kDriverName ? PlcTestHook : nullptr, nullptr);
    std::string statusPath = std::string("/var/log/") + driver + ".xml.status";
    read.status = box.Exists(statusPath) ? box.ReadFile(statusPath) : "(none)";
    read.notices = PlcTestNotices();
    return read;
}

}  // namespace

TEST(PlcConfigRead, EachBrokenRuleEndsTheAnalysisWithItsLineAndTheDegradedVerdict) {
    const std::string com = "Type=\"plctest\" Port=\"-1\" No=\"1\"";
    struct Case {
        const char* name;
        std::string xml;
        std::string line;  // the one status line expected before "** Mode Degrade **"
    } cases[] = {
        {"silence below 10", Document(com + " Silence=\"5\"" + kTimeout, ""),
         "1 : Line 4 \"Silence time =5 except limit [10,60000]\""},
        {"silence above 60000", Document(com + " Silence=\"60001\" Timeout=\"70000\"", ""),
         "1 : Line 4 \"Silence time =60001 except limit [10,60000]\""},
        {"timeout below the silence time", Document(com + " Silence=\"300\" Timeout=\"299\"", ""),
         "1 : Line 4 \"timeout except limit [300,3600000]\""},
        {"no timeout and no preset", Document(com, ""),
         "1 : Line 4 \"timeout except limit [200,3600000]\""},
        {"communication 65",
         Document("Type=\"plctest\" Port=\"-1\" No=\"65\"" + std::string(kTimeout), ""),
         "1 : Line 4 \"error on number of communication (65)\""},
        {"communication missing", Document("Type=\"plctest\"" + std::string(kTimeout), ""),
         "1 : Line 4 \"error on number of communication (0)\""},
        {"a port without a device",
         Document("Type=\"plctest\" Port=\"40\" No=\"1\"" + std::string(kTimeout), ""),
         "1 : Line 4 \"the port 40 does not exist\""},
        {"serial port without a format",
         Document("Type=\"plctest\" Port=\"6\" No=\"1\" Baud=\"9600\"" + std::string(kTimeout), ""),
         "1 : Line 4 \"error on data length\""},
        {"parity X", Document("Type=\"plctest\" Port=\"6\" No=\"1\" Format=\"8X1\"", ""),
         "1 : Line 4 \"error on parity bit\""},
        {"3 stop bits", Document("Type=\"plctest\" Port=\"6\" No=\"1\" Format=\"8N3\"", ""),
         "1 : Line 4 \"error on stop bit\""},
        {"format cut short", Document("Type=\"plctest\" Port=\"6\" No=\"1\" Format=\"8\"", ""),
         "1 : Line 4 \"error on parity bit\""},
        {"baud 1234",
         Document("Type=\"plctest\" Port=\"6\" No=\"1\" Format=\"8N1\" Baud=\"1234\"", ""),
         "1 : Line 4 \"error on baudrate (1234)\""},
        {"frame 0", Document(com + kTimeout, "<TRAME No=\"0\" Type=\"RW\"/>\n"),
         "1 : Line 5 \"number of frame (0) invalid \""},
        {"frame 32768", Document(com + kTimeout, "<TRAME No=\"32768\" Type=\"RW\"/>\n"),
         "1 : Line 5 \"number of frame (32768) invalid \""},
        {"bit 33",
         Document(com + kTimeout,
                  "<TRAME No=\"1\" Type=\"RW\">\n<BIT No=\"1\" "
                  "Adr=\"3,33\"/>\n</TRAME>\n"),
         "1 : Line 6 \"error in address\""},
        {"bit of word 0",
         Document(com + kTimeout,
                  "<TRAME No=\"1\" Type=\"RW\">\n<BIT No=\"1\" "
                  "Adr=\"0,4\"/>\n</TRAME>\n"),
         "1 : Line 6 \"error in address\""},
        {"bit without its number",
         Document(com + kTimeout,
                  "<TRAME No=\"1\" Type=\"RW\">\n<BIT No=\"1\" Adr=\"3\"/>\n</TRAME>\n"),
         "1 : Line 6 \"error in address\""},
        {"counter at word 0",
         Document(com + kTimeout,
                  "<TRAME No=\"1\" Type=\"RW\">\n<CPT No=\"1\" Adr=\"0\"/>\n</TRAME>\n"),
         "1 : Line 6 \"error in address\""},
        {"data 2049",
         Document(com + kTimeout,
                  "<TRAME No=\"1\" Type=\"RW\">\n<ANA No=\"2049\" "
                  "Adr=\"1\"/>\n</TRAME>\n"),
         "1 : Line 6 \"no data invalid\""},
        {"two frames of one number",
         Document(com + kTimeout, "<TRAME No=\"7\" Type=\"RW\"/>\n<TRAME No=\"7\" Type=\"WW\"/>\n"),
         "1 : Line 6 \"number of frame (7) used twice\""},
        {"the driver's own rule", Document(com + kTimeout, "<TRAME No=\"3\" Type=\"RX\"/>\n"),
         "1 : Line 5 \"type RX of frame No 3 unknown\""},
        {"no COM for this driver", Document("Type=\"busbridge\" No=\"1\"", ""),
         "1 : Line 8 \"no active\""},
        {"malformed file", Document(com + kTimeout, "<TRAME No=\"1\" Type=\"RW\">\n"),
         "1 : Line 6 \"expat error=mismatched tag\""},
    };
    for (const Case& c : cases) {
        Sandbox box;
        Read read = ReadIn(box, c.xml);
        EXPECT_EQ(read.result, -1) << c.name;
        EXPECT_EQ(read.status, c.line + "\n** Mode Degrade **\n") << c.name;
        EXPECT_EQ(read.notices, 1) << c.name;
    }
}

TEST(PlcConfigRead, PresetsFollowTheDriverNamedByType) {
    struct Case {
        const char* driver;
        std::string com;
        int baud, silence, timeout;
        const char* format;
    } cases[] = {
        {"busbridge", "Type=\"busbridge\" No=\"1\"", 9600, 100, 5000, "8O1"},
        {"plcbridge", "Type=\"PlcBridge\" No=\"1\"", 9600, 100, 5000, "7E2"},
        {"plcbridge", "Type=\"plcbridge\" No=\"1\" Port=\"6\" Baud=\"19200\" Silence=\"0\"", 19200,
         200, 5000, "7E2"},
        {"busbridge", "Type=\"busbridge\" No=\"1\" Silence=\"50\" Timeout=\"50\" Format=\"7N2\"",
         9600, 50, 50, "8O1"},  // Format is read for a serial port only
        {"plctest", "Type=\"plctest\" No=\"1\" Timeout=\"300\"", 0, 200, 300, ""},
    };
    for (const Case& c : cases) {
        Sandbox box;
        Read read = ReadIn(box, Document(c.com, ""), c.driver);
        ASSERT_EQ(read.result, 0) << c.com << "\n" << read.status;
        const PlcComConfig& com = read.config.com;
        EXPECT_EQ(com.baud, c.baud) << c.com;
        EXPECT_EQ(com.silence, c.silence) << c.com;
        EXPECT_EQ(com.timeout, c.timeout) << c.com;
        EXPECT_STREQ(com.format, c.format) << c.com;
        EXPECT_EQ(read.status, "** Mode Normal **\n");
        EXPECT_EQ(read.notices, 0);
    }
}

TEST(PlcConfigRead, TheTableHoldsTheSelectedLinkItsFramesAndItsChannelTargets) {
    Sandbox box;
    box.WriteFile("/var/run/plctest.debug", "1\n");
    IsDebug("plctest");
    std::string xml = R"(<?xml version="1.0" encoding="ISO-8859-1"?>
<STATION>
<AUTOMATE>
<COM Type="busbridge" Port="-1" No="1" Timeout="1000">
<TRAME No="1" Type="RW" Lng="4"/>
</COM>
<COM Type="plctest" Port="6" No="2" Format="8N1" Baud="19200" NbIter="31" NbDef="3" Etat="40"
     Silence="20" Pause="7" Timeout="900" TrameOk="41" Intertrame="5" Intercycle="50"
     BigEndianLong="0">
<TRAME No="10" Type="RW" Lng="8" Adr="100" Etat="42" Active="43" Declencheur="44"
       Modification="1" TrameOk="45" Voie="20" ConsigneE="3" ConsigneR="4" Conversion="1">
<BIT No="1" Adr="3,16"/><ANA No="2" Adr="4"/>
<TRAME No="13" Type="WL" Lng="2"><ANA No="9" Adr="1"/><TRAME No="14"/></TRAME>
<CPT No="3" Adr="5"/>
</TRAME>
<TRAME No="11" Type="WL" BigEndianLong="1"/>
</COM>
<COM Type="plctest" Port="6" No="3" Timeout="900"><TRAME No="99" Type="RW"/></COM>
</AUTOMATE>
<TRAME No="12" Type="RW"/>
<VOIES>
<VOIE No="30"><DST Automate="2,11,1"/><DST Automate="1,1,1"/><DST/></VOIE>
<VOIE No="31"><DST Automate="2,11,2"/></VOIE>
</VOIES>
</STATION>
)";
    Read read = ReadIn(box, xml, plctest::kDriverName, 6);
    ASSERT_EQ(read.result, 0) << read.status;
    const PlcComConfig& com = read.config.com;
    EXPECT_EQ(com.no, 2);
    EXPECT_EQ(com.port, 6);
    EXPECT_STREQ(com.format, "8N1");
    EXPECT_EQ(com.baud, 19200);
    EXPECT_EQ(com.nbIter, 1);  // out of 1..30
    EXPECT_EQ(com.nbDef, 3);
    EXPECT_EQ(com.etat, 40);
    EXPECT_EQ(com.silence, 20);
    EXPECT_EQ(com.pause, 7);
    EXPECT_EQ(com.timeout, 900);
    EXPECT_EQ(com.trameOk, 41);
    EXPECT_EQ(com.intertrame, 5);
    EXPECT_EQ(com.intercycle, 50);
    EXPECT_EQ(com.bigEndianLong, 0);

    // the other driver's COM and a second COM of ours bring no frame; a TRAME out of place none,
    // nor one inside a frame (it changes nothing of that frame)
    ASSERT_EQ(read.config.frames.size(), 2u);
    const PlcFrameConfig& f = read.config.frames[0];
    EXPECT_EQ(f.no, 10);
    EXPECT_EQ(f.lng, 8);
    EXPECT_EQ(f.adr, 100);
    EXPECT_EQ(f.etat, 42);
    EXPECT_EQ(f.active, 43);
    EXPECT_EQ(f.declencheur, 44);
    EXPECT_EQ(f.modification, 1);
    EXPECT_EQ(f.trameOk, 45);
    EXPECT_EQ(f.voie, 20);
    EXPECT_EQ(f.consigneE, 3);
    EXPECT_EQ(f.consigneR, 4);
    EXPECT_EQ(f.bigEndianLong, 0);  // the COM's
    EXPECT_EQ(f.conversion, 1);
    EXPECT_FALSE(f.write);
    ASSERT_EQ(f.items.size(), 3u);
    EXPECT_EQ(f.items[0].kind, plc::ItemKind::kBit);
    EXPECT_EQ(f.items[0].word, 3);
    EXPECT_EQ(f.items[0].bit, 16);
    EXPECT_EQ(f.items[1].kind, plc::ItemKind::kAna);
    EXPECT_EQ(f.items[2].kind, plc::ItemKind::kCpt);
    EXPECT_EQ(f.items[2].no, 3);
    EXPECT_EQ(f.items[2].word, 5);

    const PlcFrameConfig& g = read.config.frames[1];
    EXPECT_EQ(g.no, 11);
    EXPECT_TRUE(g.write);
    EXPECT_EQ(g.voie, -1);
    EXPECT_EQ(g.consigneE, -1);
    EXPECT_EQ(g.conversion, -1);
    EXPECT_EQ(g.bigEndianLong, 1);

    // only this link's targets are kept, a DST without Automate is none
    ASSERT_EQ(read.config.targets.size(), 2u);
    EXPECT_EQ(read.config.targets[0].channel, 30);
    EXPECT_EQ(read.config.targets[0].frame, 11);
    EXPECT_EQ(read.config.targets[0].index, 1);
    EXPECT_EQ(read.config.targets[1].channel, 31);
    EXPECT_EQ(read.config.targets[1].index, 2);

    EXPECT_EQ(read.status, "** Mode Normal **\n");
    EXPECT_TRUE(box.LogHas("divers.lib: Format No 1=3,16 Type=0 in frame No 10", "debug"));
    EXPECT_TRUE(box.LogHas("divers.lib: Format No 3=5,0 Type=2 in frame No 10", "debug"));
    EXPECT_TRUE(box.LogHas("COM No 3 ignored : communication 2 already selected", "warning"));
    EXPECT_TRUE(box.LogHas("TRAME No 13 ignored : inside frame No 10", "warning"));
    EXPECT_TRUE(box.LogHas("begin of decoding of /var/parameters/configuration.xml", "debug"));
    bool timed = false;
    for (const std::string& line : box.LogLines()) {
        timed = timed || line.find("end of decoding of /var/parameters/configuration.xml time=") !=
                             std::string::npos;
    }
    EXPECT_TRUE(timed) << box.Log();
}

TEST(PlcConfigRead, AComForAnotherPortIsSkipped) {
    Sandbox box;
    box.WriteFile("/var/run/plctest.debug", "1\n");
    IsDebug("plctest");
    std::string xml = Document(
        "Type=\"plctest\" Port=\"6\" No=\"1\" Format=\"8N1\" Baud=\"9600\" Timeout=\"900\"",
        "<TRAME No=\"1\" Type=\"RW\"/>\n");
    Read other = ReadIn(box, xml, plctest::kDriverName, 7);
    EXPECT_EQ(other.result, -1);
    EXPECT_EQ(other.status, "1 : Line 9 \"no active\"\n** Mode Degrade **\n");
    EXPECT_TRUE(box.LogHas("Port lu=6 != Port demande=7", "debug")) << box.Log();

    Read any = ReadIn(box, xml, plctest::kDriverName, -1);
    EXPECT_EQ(any.result, 0);
    EXPECT_EQ(any.config.frames.size(), 1u);
}

TEST(PlcConfigRead, ErrorsTheHookRecordsEndTheAnalysisAfterTheWholeFile) {
    Sandbox box;
    box.WriteFile(driverconfig::kConfigurationPath,
                  Document("Type=\"plctest\" No=\"1\" Timeout=\"900\"",
                           "<TRAME No=\"1\" Type=\"RW\" Odd=\"1\"/>\n<TRAME No=\"2\" Odd=\"2\" "
                           "Type=\"RW\"/>\n"));
    PlcConfig config;
    PlcTestNotices();
    auto hook = [](PlcConfigLoader* loader, const char* element, XmlAttributes attributes) {
        PlcTestHook(loader, element, attributes);
        if (loader->phase == plc::HookPhase::kAfter && attributes != nullptr &&
            XmlAttrFind(attributes, "Odd") != nullptr) {
            XmlErrorRecord("odd frame %d", loader->frame->no);
        }
    };
    EXPECT_EQ(PlcConfigRead(&config, plctest::kDriverName, -1, hook, nullptr), -1);
    EXPECT_EQ(box.ReadFile(kStatus),
              "1 : Line 5 \"odd frame 1\"\n2 : Line 6 \"odd frame 2\"\n** Mode Degrade **\n");
    EXPECT_TRUE(box.LogHas("error in analyze", "err"));
    EXPECT_EQ(PlcTestNotices(), 1);
}

TEST(PlcConfigRead, AMissingFileIsLoggedAndLeavesNoStatusFile) {
    Sandbox box;
    PlcConfig config;
    EXPECT_EQ(PlcConfigRead(&config, plctest::kDriverName, -1, PlcTestHook, nullptr), -1);
    EXPECT_TRUE(box.LogHas(
        "error in opening of /var/parameters/configuration.xml (configuration file) =2", "err"))
        << box.Log();
    EXPECT_FALSE(box.Exists(kStatus));
}

TEST(PlcConfigLoadDeathTest, ARefusedTableEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Sandbox box;
    box.WriteFile(driverconfig::kConfigurationPath, Document("Type=\"plctest\" No=\"1\"", ""));
    EXPECT_DEATH(PlcConfigLoad(plctest::kDriverName, -1, PlcTestHook, nullptr), "");
}
