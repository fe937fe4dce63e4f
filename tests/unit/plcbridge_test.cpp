// plcbridge in-process: its configuration rules (status file lines), and whole scan cycles on
// the in-memory line and the fake clock with chanmgr's memories and queue made by the test: the
// commands on the line, what reaches chanmgr (decoded by the core stand-in's own decoder), what
// the state channels receive, and the time the exchanges take.
#include "plcbridge.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "chanmgr_memories.h"
#include "conf.h"
#include "corerequest.h"
#include "driverconfig.h"
#include "fakeclock.h"
#include "logdebug.h"
#include "memoryline.h"
#include "plctestdriver.h"
#include "plcutilities.h"
#include "sandbox.h"

namespace {

std::string Framed(const std::string& body) {
    unsigned fcs = 0;
    for (unsigned char c : body) {
        fcs ^= c;
    }
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", fcs);
    return body + digits + "*\r";
}

// Line 4 is the COM element, the frames start on line 5.
std::string Document(const std::string& com, const std::string& frames,
                     const std::string& voies = "") {
    return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<STATION>\n<AUTOMATE>\n"
           "<COM Type=\"PlcBridge\" Port=\"0\" No=\"1\" " +
           com + ">\n" + frames + "</COM>\n</AUTOMATE>\n<VOIES>" + voies + "</VOIES>\n</STATION>\n";
}

class Plcbridge_ : public testing::Test {
  protected:
    void SetUp() override {
        ResetChannelMaxNb();
        for (int n = 1; n <= 50; ++n) {
            ChannelRecordFields fields;
            fields.name = std::string("v").append(std::to_string(n));
            fields.type = 1;
            memories.SetRecord(n, fields);
        }
        memories.SetLastChannel(50);
        ASSERT_GE(queue.Id(), 0);
        PlcInitMsg();
    }
    void TearDown() override {
        CmdLinkClose(&driver.link);
        PlcCloseMsg();
        ResetChannelMaxNb();
        PlcTestNotices();
    }

    // 0 when the configuration was accepted; the status file in `status`.
    int Read(const std::string& xml) {
        box.WriteFile(driverconfig::kConfigurationPath, xml);
        config = {};
        int result = PlcConfigRead(&config, plcbridge::kDriverName, -1, PlcbridgeHook, nullptr);
        status = box.ReadFile("/var/log/plcbridge.xml.status");
        return result;
    }
    void Build(const std::string& com, const std::string& frames, const std::string& voies = "") {
        ASSERT_EQ(Read(Document(com, frames, voies)), 0) << status;
        MemoryLineAttach(&driver.link.line, &peer);
        ASSERT_EQ(PlcbridgeRefreshInit(&context, &config, &driver), 0);
        peer.TakeSent();
    }
    // Frame messages and single channel writes chanmgr received, as "f<frame> S1=5 L2=7" and
    // "ch<channel>=<value>".
    std::vector<std::string> Requests() {
        std::vector<std::string> out;
        static CoreRequest request;
        for (std::string body = queue.Take(); !body.empty(); body = queue.Take()) {
            if (DecodeCoreRequest(reinterpret_cast<const uint8_t*>(body.data()), body.size(),
                                  request) != 0) {
                ADD_FAILURE() << request.error;
                continue;
            }
            std::string what = request.command == kCmdFrameValues
                                   ? std::string("f").append(std::to_string(request.frame))
                                   : "";
            for (int i = 0; i < request.itemCount; ++i) {
                const CoreItem& item = request.items[i];
                char text[64];
                if (request.command != kCmdFrameValues) {
                    std::snprintf(text, sizeof text, "ch%d=%u", item.number, item.raw);
                } else {
                    char kind = item.kind == kKindBool ? 'B' : item.kind == kKindShort ? 'S' : 'L';
                    std::snprintf(text, sizeof text, " %c%d=%d", kind, item.number,
                                  static_cast<int32_t>(item.raw));
                }
                what += text;
            }
            out.push_back(what);
        }
        return out;
    }

    FakeClock clock;
    Sandbox box;
    ChanmgrMemories memories;
    ChanmgrQueue queue;
    MemoryLine peer;
    Plcbridge driver;
    PlcConfig config;
    PlcScanContext context;
    std::string status;
};

}  // namespace

TEST_F(Plcbridge_, EachBrokenFrameRuleEndsTheAnalysisWithItsLine) {
    struct Case {
        const char* name;
        std::string frame;
        std::string message;  // "" when accepted
    } cases[] = {
        {"read of 31 words", R"(<TRAME No="3" Type="RD" Esc="0" Lng="31"/>)",
         "Lng 31 dans trame No 3 doit etre entre 1 et 30"},
        {"write of no word", R"(<TRAME No="3" Type="WD" Esc="0"/>)",
         "Lng 0 dans trame No 3 doit etre entre 1 et 30"},
        {"no type", R"(<TRAME No="3" Esc="0" Lng="1"/>)", "pas de type defini dans la trame No 3"},
        {"type of one letter", R"(<TRAME No="3" Type="R" Esc="0" Lng="1"/>)",
         "lng type errone dans trame No 3"},
        {"unknown type", R"(<TRAME No="3" Type="rd" Esc="0" Lng="1"/>)",
         "rd : type invalide pour trame No 3"},
        {"initialisation wait too short", R"(<TRAME No="3" Type="**" Esc="0" AttenteInit="500"/>)",
         "Attente init. 500 dans trame No 3 doit etre entre 1000 et 360000"},
        {"initialisation wait too long",
         R"(<TRAME No="3" Type="**" Esc="0" AttenteInit="360001"/>)",
         "Attente init. 360001 dans trame No 3 doit etre entre 1000 et 360000"},
        {"no unit", R"(<TRAME No="3" Type="RD" Lng="1"/>)", "pas d'Esc defini dans la trame No 3"},
        {"unit of three digits", R"(<TRAME No="3" Type="RD" Esc="100" Lng="1"/>)",
         "Esc 100 dans trame No 3 doit etre entre 0 et 99"},
        {"address of five digits", R"(<TRAME No="3" Type="WD" Esc="1" Lng="1" Adr="10000"/>)",
         "Adr 10000 dans trame No 3 doit etre entre 0 et 9999"},
        {"test frame without Lng", R"(<TRAME No="3" Type="**" Esc="5"/>)", ""},
        {"every command type", R"(<TRAME No="3" Type="RD" Esc="0" Lng="30"/>
<TRAME No="4" Type="XY" Esc="99" Lng="1" Adr="9999"/>)",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int result = Read(Document("", c.frame));
        if (c.message.empty()) {
            EXPECT_EQ(result, 0) << status;
            EXPECT_EQ(status, "** Mode Normal **\n");
        } else {
            EXPECT_EQ(result, -1);
            EXPECT_EQ(status, "1 : Line 5 \"" + c.message + "\"\n** Mode Degrade **\n");
        }
    }
}

TEST_F(Plcbridge_, ConfiguredTimesAsTheLinkUsesThem) {
    struct Case {
        std::string com;
        int timeoutSeconds;
        int pauseMs;
    } cases[] = {
        {"Timeout=\"1000\"", 2, 500},
        {"Timeout=\"1500\"", 2, 500},
        {"Timeout=\"2500\"", 3, 500},
        {"", 5, 500},  // the preset 5000
        {"Timeout=\"5001\"", 6, 500},
        {"Timeout=\"5000\" Pause=\"0\"", 5, 0},
        {"Pause=\"1200\" NbIter=\"4\"", 5, 1200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.com);
        CmdLinkClose(&driver.link);
        driver = {};
        context = {};
        Build(c.com, R"(<TRAME No="1" Type="**" Esc="0"/>)");
        EXPECT_EQ(driver.link.timeout, c.timeoutSeconds);
        EXPECT_EQ(driver.link.pause, c.pauseMs);
    }
    EXPECT_EQ(driver.link.attempts, 4);
    EXPECT_EQ(peer.Profile().parity, 'E');  // the preset format 7E2 at 9600 baud
    EXPECT_EQ(peer.Profile().dataBits, 7);
    EXPECT_EQ(peer.Profile().stopBits, 2);
    EXPECT_EQ(peer.Profile().speed, 9600);
}

TEST_F(Plcbridge_, ReadFramesAskForTheirWordsAndHandThemToChanmgr) {
    Build("", R"(<TRAME No="1" Type="RD" Esc="0" Adr="10" Lng="2"/>
<TRAME No="2" Type="RH" Esc="7" Adr="200" Lng="4" Conversion="1"/>
<TRAME No="3" Type="RD" Esc="7" Adr="300" Lng="2" Conversion="1" BigEndianLong="0"/>)");
    peer.Answer("@00RD0010000255*\r", Framed("@00RD000001FFFF"));
    peer.Answer("@07RH02000004", Framed("@07RH000001000200030004"));
    peer.Answer("@07RD03000002", Framed("@07RD0000010002"));
    PlcRefreshCycle(&context);
    EXPECT_EQ(peer.Sent(),
              Framed("@00RD00100002") + Framed("@07RH02000004") + Framed("@07RD03000002"));
    EXPECT_EQ(Requests(), (std::vector<std::string>{"f1 S1=1 S2=-1", "f2 L1=131073 L2=262147",
                                                    "f3 L1=131073"}));
}

TEST_F(Plcbridge_, WriteFramesSendTheirChannelsAsHexadecimalWords) {
    Build("", R"(<TRAME No="1" Type="WD" Esc="3" Adr="100" Lng="2" Voie="4"/>
<TRAME No="2" Type="WR" Esc="3" Adr="7" Lng="2" Voie="10" Conversion="1"/>)");
    memories.SetShort(4, 4660);
    memories.SetShort(5, static_cast<int16_t>(43981));
    memories.SetLong(10, 0x12345678);
    peer.Answer("@03WD", Framed("@03WD00"), 0, 0);
    peer.Answer("@03WR", Framed("@03WR00"), 0, 0);
    PlcRefreshCycle(&context);
    EXPECT_EQ(peer.Sent(), Framed("@03WD01001234ABCD") + Framed("@03WR000712345678"));
}

TEST_F(Plcbridge_, BitsArePackedSixteenToAWordWhenTheFrameEndsWithABit) {
    Build("", R"(<TRAME No="1" Type="WD" Esc="0" Adr="0" Lng="2" Voie="1">
<ANA No="1" Adr="1"/><BIT No="2" Adr="1,1"/>
</TRAME>)",
          R"(<VOIE No="40"><DST Automate="1,1,32"/></VOIE>)");
    memories.SetBool(1, 1);
    memories.SetBool(3, 1);
    memories.SetBool(17, 1);
    memories.SetBool(40, 1);
    peer.Answer("@00WD", Framed("@00WD00"));
    PlcRefreshCycle(&context);
    EXPECT_EQ(peer.Sent(), Framed("@00WD000000058001"));
}

TEST_F(Plcbridge_, AnAnswerWithAnErrorEndCodeFailsTheFrameAndKeepsItsData) {
    Build("Etat=\"20\" Pause=\"0\"", R"(<TRAME No="1" Type="RD" Esc="0" Adr="10" Lng="2" Etat="21"/>
<TRAME No="2" Type="WD" Esc="0" Adr="10" Lng="1" Voie="4" Etat="22"/>)");
    memories.SetShort(4, 9);
    peer.Answer("@00RD", Framed("@00RD0000050006"));
    peer.Answer("@00WD", Framed("@00WD00"));
    PlcRefreshCycle(&context);
    EXPECT_EQ(Requests(),
              (std::vector<std::string>{"f1 S1=5 S2=6", "ch21=1", "ch20=1", "ch22=1", "ch20=1"}));

    peer.Answer("@00RD", Framed("@00RD15"));
    peer.Answer("@00WD", Framed("@00WD01"));
    PlcRefreshCycle(&context);
    EXPECT_EQ(Requests(), (std::vector<std::string>{"ch21=0", "ch20=0", "ch22=0", "ch20=0"}));
    uint16_t words[2];
    std::memcpy(words, context.frames[0].data.data(), sizeof words);
    EXPECT_EQ(words[0], 5);
    EXPECT_EQ(words[1], 6);
    EXPECT_EQ(driver.link.sends, 4);  // an error answer is an answer: no second attempt
}

TEST_F(Plcbridge_, TheTestFrameShowsTheLinkInItsStateChannel) {
    Build("Timeout=\"2000\" Etat=\"20\"", R"(<TRAME No="1" Type="**" Esc="2" Etat="21"/>)");
    // Silent: the initialisation line, its 1000 ms, and the echo's 2 s time-out.
    PlcRefreshCycle(&context);
    EXPECT_EQ(clock.ElapsedMs(), 100 + 1000 + 2000);  // after the open's 100 ms
    EXPECT_EQ(Requests(), (std::vector<std::string>{"ch21=0", "ch20=0"}));

    // The wall clock reads 1700000004 when the text is made, after the wait.
    peer.Answer("@02TSTU6553F104RBINE", Framed("@02TSTU6553F104RBINE"));
    PlcRefreshCycle(&context);
    EXPECT_EQ(Requests(), (std::vector<std::string>{"ch21=1", "ch20=1"}));
}

TEST_F(Plcbridge_, ACycleWithoutAnyExchangeWaitsInsteadOfSpinning) {
    Build("", R"(<TRAME No="1" Type="RD" Esc="0" Lng="1" Active="30"/>)");
    long long start = clock.ElapsedMs();
    PlcRefreshCycle(&context);
    PlcRefreshCycle(&context);
    EXPECT_EQ(clock.ElapsedMs() - start, 2 * plcbridge::kIdleCycleMs);
    EXPECT_TRUE(peer.Sent().empty());

    memories.SetBool(30, 1);
    peer.Answer("@00RD", Framed("@00RD000001"), 0, 0);
    start = clock.ElapsedMs();
    PlcRefreshCycle(&context);
    EXPECT_LT(clock.ElapsedMs() - start, 50);  // the line paces the scan, nothing else
}
