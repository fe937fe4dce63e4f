// meterlink against the station core stand-in and the Teleinfo meter simulator: what reaches the
// channels, reception supervision, injection frames, configuration verdicts, stop and statuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <sstream>
#include <string>
#include <vector>

#include "driverstation.h"
#include "process.h"
#include "sandbox.h"
#include "serialdebug.h"
#include "stationcore_fixture.h"

// Its own namespace: the program tests are compiled in batches.
namespace meterlink_test {

namespace {

using namespace std::chrono_literals;

// Communication 1; frames 1.. feed channels 11.. (one value each), frame 20 feeds a PPOT's three
// values; channel 1 is the state channel and 2 a frame-OK channel.
const char* kSite = R"(channels 50
channel 1 ETOR "Etat compteur"
channel 2 ETOR "Trame OK"
channel 11 EANA "ISOUSC"
channel 12 EANA "IINST"
channel 13 CPT "BASE"
channel 14 ETOR "Heures pleines"
channel 15 CPT "BASE contrat"
channel 16 CPT "BASE injection"
channel 20 ETOR "PPOT 1"
channel 21 ETOR "PPOT 2"
channel 22 ETOR "PPOT 3"
frame 1 1 1 11
frame 1 2 1 12
frame 1 3 1 13
frame 1 4 1 14
frame 1 5 1 15
frame 1 6 1 16
frame 1 20 1-3 20
)";

const char* kMeter = R"(ADCO 524563565245
OPTARIF BASE
ISOUSC 30
BASE 012345678
PTEC HP..
IINST 009
PPOT 02
)";

std::string Configuration(const std::string& com, const std::string& trames) {
    return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<STATION>\n<AUTOMATE>\n" + com + "\n" +
           trames + "\n</COM>\n</AUTOMATE>\n</STATION>\n";
}

const std::string kCom =
    R"(<COM Type="MeterLink" Port="6" No="1" Etat="1" Timeout="2000" Silence="50">)";

// A running station: stand-in, meter simulator on dev/ttyUSB0 (port 6), meterlink.
DriverSetup MeterlinkSetup(const std::string& configuration,
                           const std::vector<std::string>& simArgs, bool verbose, bool paced) {
    DriverSetup setup{
        kSite,
        configuration,
        {{"/sim/meter.txt", kMeter}},
        "teleinfosim",
        "/dev/ttyUSB0",
        {"--script", "@/sim/meter.txt", "--control", "@/sim/meter.ctl", "--gap", "20"},
        "/sim/meter.ctl",
        "meterlink",
        {"Port=6"},
        SIGINT};
    if (verbose) {
        setup.files.emplace_back("/var/run/meterlink.debug", "1\n");
    }
    if (paced) {
        setup.simulatorArgs.insert(setup.simulatorArgs.end(),
                                   {"--group-times", "@/sim/group-times"});
    } else {
        setup.simulatorArgs.push_back("--fast");
    }
    setup.simulatorArgs.insert(setup.simulatorArgs.end(), simArgs.begin(), simArgs.end());
    return setup;
}

class MeterlinkStation : public DriverStation {
  public:
    // paced: the meter sends at the pace of its 1200-baud line instead of as fast as read, and
    // notes when each group's last character went out (/sim/group-times).
    MeterlinkStation(const std::string& configuration, const std::vector<std::string>& simArgs = {},
                     bool verbose = false, bool paced = false)
        : DriverStation(MeterlinkSetup(configuration, simArgs, verbose, paced)) {}

    // Frame messages of (com 1, frame) whose item `index` has `value`.
    int FrameWrites(int frame, int index, double value) {
        return core_.Count([&](const JournalEntry& e) {
            const JournalItem* item =
                e.command == 10 && e.com == 1 && e.frame == frame ? e.Item(index) : nullptr;
            return item != nullptr && item->value == value;
        });
    }
    int FrameMessages(int frame) { return DriverStation::FrameMessages(1, frame); }
};

TEST(MeterlinkProgram, FramesReachTheChannelsThroughTheFrameMap) {
    MeterlinkStation s(Configuration(kCom, R"(
<TRAME No="1" Etiquette="ISOUSC"/>
<TRAME No="2" Etiquette="IINST"/>
<TRAME No="3" Etiquette="BASE" TrameOk="2"/>
<TRAME No="4" Etiquette="PTEC" Val="HP.."/>
<TRAME No="20" Etiquette="PPOT"/>)"));
    ASSERT_TRUE(WaitUntil([&] {
        return s.core_.ReadLong(13) == 12345678 && s.core_.ReadFloat(11) == 30.0f &&
               s.core_.ReadFloat(12) == 9.0f && s.core_.ReadBool(14) && s.core_.ReadBool(20) &&
               s.ChannelWrites(2).size() >= 4;
    })) << s.box_.Log();
    EXPECT_FALSE(s.core_.ReadBool(21));
    EXPECT_FALSE(s.core_.ReadBool(22));
    // frame-OK pulses: written 1 at start, then 1, 0, 1 after each BASE message
    std::vector<int> pulses = s.ChannelWrites(2);
    ASSERT_GE(pulses.size(), 4u);
    EXPECT_EQ(std::vector<int>(pulses.begin(), pulses.begin() + 4), std::vector<int>({1, 1, 0, 1}));

    // the port's debug trace: the characters received, then what each group gave
    SerialDebug trace;
    ASSERT_EQ(OpenSerialDebug(&trace, 6), 0);
    std::string text;
    EXPECT_TRUE(WaitUntil([&] {
        char chunk[2048];
        ReadStrFromSerialDebug(&trace, chunk, sizeof chunk - 1);
        text += chunk;
        return text.find(
                   "[0A]BASE 012345678 /[0D]\n CPT[3,1]=12345678\n\t\t[0A]PTEC HP..  [0D]\n "
                   "TOR[4,1]=1\n\t\t") != std::string::npos &&
               text.find("[02][0A]ADCO") != std::string::npos;
    })) << text;
    CloseSerialDebug(&trace);

    s.driver_.Signal(SIGINT);
    ProgramResult result = s.driver_.Wait(5s);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.output.find("fin meterlink"), std::string::npos) << result.output;
    EXPECT_EQ(s.box_.ReadFile("/var/log/meterlink.xml.status"), "** Mode Normal **\n");
}

TEST(MeterlinkProgram, ValuesReachChanmgrWithin100msOfTheirGroupsLastCharacterAtLinePace) {
    // meterlink gathers what the line brings instead of waking for every character: that must
    // not hold a value back. Times are the meter's write of the group's CR and the sending time
    // in the header of meterlink's message, both wall-clock.
    MeterlinkStation s(Configuration(kCom, R"(
<TRAME No="1" Etiquette="ISOUSC"/>
<TRAME No="3" Etiquette="BASE"/>)"),
                       {}, false, /*paced=*/true);
    ASSERT_TRUE(WaitUntil([&] { return s.FrameMessages(1) >= 3 && s.FrameMessages(3) >= 3; }))
        << s.box_.Log();
    std::vector<std::pair<std::string, long long>> ends;  // label, microseconds
    std::istringstream times(s.box_.ReadFile("/sim/group-times"));
    std::string label;
    long long us = 0;
    while (times >> label >> us) {
        ends.emplace_back(label, us);
    }
    int checked = 0;
    long long worstUs = 0;
    std::string delays;  // milliseconds, for the failure message
    for (const JournalEntry& e : s.core_.Journal()) {
        if (e.command != 10 || (e.frame != 1 && e.frame != 3)) {
            continue;
        }
        const char* wanted = e.frame == 1 ? "ISOUSC" : "BASE";
        long long sentUs = e.sec * 1000000 + e.usec;
        long long groupEndUs = -1;
        for (const auto& [endLabel, endUs] : ends) {
            if (endLabel == wanted && endUs <= sentUs) {
                groupEndUs = endUs;
            }
        }
        ASSERT_GE(groupEndUs, 0) << e.line;
        worstUs = std::max(worstUs, sentUs - groupEndUs);
        delays.append(" ").append(std::to_string((sentUs - groupEndUs) / 1000));
        ++checked;
    }
    EXPECT_GE(checked, 6);
    EXPECT_LE(worstUs, 100000) << "delays (ms):" << delays;
}

TEST(MeterlinkProgram, BadChecksumDropsOnlyThatGroup) {
    MeterlinkStation s(Configuration(kCom, R"(
<TRAME No="1" Etiquette="ISOUSC"/>
<TRAME No="3" Etiquette="BASE"/>)"),
                       {"--bad-checksum", "ISOUSC"});
    ASSERT_TRUE(WaitUntil([&] { return s.FrameMessages(3) >= 3; })) << s.box_.Log();
    EXPECT_EQ(s.FrameMessages(1), 0);
    EXPECT_EQ(s.core_.ReadLong(13), 12345678);
    EXPECT_TRUE(s.box_.LogHas("trame ISOUSC val 30 pb checksum envoye:58 calcule:57", "err"))
        << s.box_.Log();
}

TEST(MeterlinkProgram, StateChannelRisesWithGoodGroupsAndFallsAfterTheTimeOut) {
    MeterlinkStation s(Configuration(kCom, R"(<TRAME No="3" Etiquette="BASE"/>)"));
    // the journal line of a write may come a moment after the value itself: wait for both
    ASSERT_TRUE(WaitUntil([&] { return s.core_.ReadBool(1) && s.ChannelWrites(1).size() >= 2; }))
        << s.box_.Log();
    std::vector<int> writes = s.ChannelWrites(1);
    EXPECT_EQ(writes[0], 0);  // written 0 when the configuration is read
    EXPECT_EQ(writes[1], 1);
    // the meter goes quiet: after 2 s without a good group the state channel drops
    s.Tell("silence on\n");
    ASSERT_TRUE(WaitUntil([&] { return !s.core_.ReadBool(1); }, 6s)) << s.box_.Log();
    // and rises again with the next good group
    s.Tell("silence off\n");
    ASSERT_TRUE(WaitUntil([&] { return s.core_.ReadBool(1); }, 5s));
}

TEST(MeterlinkProgram, StateChannelStaysDownWhileOnlyBadGroupsArrive) {
    // Frames keep ending on time but not one group in them is good: that is no sign of life.
    std::vector<std::string> cues;
    for (const char* label : {"ADCO", "OPTARIF", "ISOUSC", "BASE", "PTEC", "IINST", "PPOT"}) {
        cues.push_back("--bad-checksum");
        cues.push_back(label);
    }
    MeterlinkStation s(Configuration(kCom, R"(<TRAME No="3" Etiquette="BASE"/>)"), cues,
                       /*verbose=*/true);
    // written 0 when the configuration is read, then again once 2 s have passed
    ASSERT_TRUE(WaitUntil([&] { return s.ChannelWrites(1).size() >= 2; }, 6s)) << s.box_.Log();
    EXPECT_TRUE(s.box_.LogHas("erreur temps de reception trop long", "debug"));
    std::vector<int> writes = s.ChannelWrites(1);
    EXPECT_EQ(std::count(writes.begin(), writes.end(), 1), 0);
    EXPECT_EQ(s.FrameMessages(3), 0);
    EXPECT_TRUE(s.box_.LogHas("trame BASE val 012345678 pb checksum envoye:48 calcule:47", "err"));
}

TEST(MeterlinkProgram, LabelThatStopsArrivingIsWrittenZeroOnce) {
    MeterlinkStation s(Configuration(kCom, R"(
<TRAME No="2" Etiquette="IINST" Timeout="1500"/>
<TRAME No="3" Etiquette="BASE"/>)"));
    ASSERT_TRUE(WaitUntil([&] { return s.FrameWrites(2, 1, 9) > 0; })) << s.box_.Log();
    EXPECT_EQ(s.FrameWrites(2, 1, 0), 0);
    // other labels keep coming, so the line is never silent: the time-out must still be seen
    s.Tell("stop IINST\n");
    ASSERT_TRUE(WaitUntil([&] { return s.FrameWrites(2, 1, 0) == 1; }, 6s)) << s.box_.Log();
    int base = s.FrameMessages(3);
    ASSERT_TRUE(WaitUntil([&] { return s.FrameMessages(3) > base + 60; }, 5s));  // > 1 s later
    EXPECT_EQ(s.FrameWrites(2, 1, 0), 1);
    // received again, then lost again: one more 0
    s.Tell("resume IINST\n");
    ASSERT_TRUE(WaitUntil([&] { return s.core_.ReadFloat(12) == 9.0f; }));
    s.Tell("stop IINST\n");
    ASSERT_TRUE(WaitUntil([&] { return s.FrameWrites(2, 1, 0) == 2; }, 6s));
}

TEST(MeterlinkProgram, InjectionFrameSkipsContractDefinitionsForThatFrameOnly) {
    MeterlinkStation s(Configuration(kCom, R"(
<TRAME No="5" Etiquette="BASE" Appli="CONTRAT"/>
<TRAME No="6" Etiquette="BASE" Appli="INJECTION"/>)"));
    ASSERT_TRUE(WaitUntil([&] { return s.FrameMessages(5) > 0; })) << s.box_.Log();
    EXPECT_EQ(s.FrameMessages(6), 0);
    // one injection frame, carrying a value no normal frame had
    s.Tell("set BASE 000000777\ninject 1\n");
    ASSERT_TRUE(WaitUntil([&] { return s.FrameWrites(5, 1, 777) >= 2; }, 5s)) << s.box_.Log();
    EXPECT_EQ(s.FrameMessages(6), 1);
    EXPECT_EQ(s.FrameWrites(6, 1, 777), 1);
    EXPECT_EQ(s.core_.ReadLong(16), 777);
}

TEST(MeterlinkProgram, ConfigurationErrorsGiveTheDegradedVerdictAndStopTheModule) {
    const char* kBase = R"(<TRAME No="3" Etiquette="BASE"/>)";
    struct Case {
        std::string com;
        const char* trames;
        const char* error;
        const char* port = "Port=6";
    } cases[] = {
        {kCom, R"(<TRAME No="4" Etiquette="PTEC"/>)",
         "pas de valeur pour l'etiquette PTEC (trame No 4)"},
        {kCom, R"(<TRAME No="3" Etiquette="BASE" TypeDonnee="TOR"/>)",
         "pas de valeur pour l'etiquette BASE (trame No 3)"},
        {kCom, R"(<TRAME No="0" Etiquette="BASE"/>)", "numero trame invalide (0)"},
        {kCom, R"(<TRAME No="7"/>)", "pas d' Etiquette definie dans la trame No 7"},
        {kCom, R"(<TRAME No="7" Etiquette="EA(RS)p(1)HCDXYZ"/>)",
         "lng Etiquette errone dans trame No 7"},
        {kCom, R"(<TRAME No="7" Etiquette="BASE">)", "erreur expat=mismatched tag"},
        {R"(<COM Type="meterlink" No="1">)", kBase, "Pas de port de communication parametre"},
        {R"(<COM Type="meterlink" Port="6">)", kBase, "Pas d'idenfication de voie parametree"},
        {R"(<COM Type="meterlink" Port="14" No="1">)", kBase, "Le port 14 n'existe pas", "Port=14"},
    };
    for (const Case& c : cases) {
        Sandbox box;
        StationCore core(box, kSite);
        box.WriteFile("/var/parameters/configuration.xml", Configuration(c.com, c.trames));
        ProgramResult result = RunProgram(ProgramPath("meterlink"), {c.port}, 10s);
        EXPECT_TRUE(result.exited) << c.error;
        EXPECT_EQ(result.status, 255) << c.error;
        std::string status = box.ReadFile("/var/log/meterlink.xml.status");
        EXPECT_NE(status.find(c.error), std::string::npos) << status;
        EXPECT_NE(status.find("** Mode Degrade **\n"), std::string::npos) << status;
        EXPECT_TRUE(box.LogHas("erreur decodage", "err")) << c.error;
        EXPECT_EQ(core.WaitFor([](const JournalEntry& e) { return e.kind == "modmgr"; }).kind,
                  "modmgr")
            << c.error;
    }
}

TEST(MeterlinkProgram, CommunicationBlockSettings) {
    // Without a meter on the line the module stops at the port; the settings it read are in the
    // verbose log by then.
    struct Case {
        std::string com;
        std::string expected;
    } cases[] = {
        {R"(<COM Type="meterlink" Port="6" No="4" Timeout="1500" Silence="10">)",
         "Port=/dev/ttyUSB0 Silence=100 Etat=0 Timeout=2 s VoieCom=4"},
        {R"(<COM Type="METERLINK" Port="6" No="4" Timeout="2000" Silence="1000" Etat="3">)",
         "Port=/dev/ttyUSB0 Silence=100 Etat=3 Timeout=2 s VoieCom=4"},
        {R"(<COM Type="meterlink" Port="6" No="4" Timeout="2001" Silence="999" Etat="32767">)",
         "Port=/dev/ttyUSB0 Silence=999 Etat=0 Timeout=3 s VoieCom=4"},
        {R"(<COM Type="meterlink" Port="6" No="4" Timeout="500" Silence="11">)",
         "Port=/dev/ttyUSB0 Silence=11 Etat=0 Timeout=2 s VoieCom=4"},
        {R"(<COM Type="meterlink" Port="6" No="4" Timeout="0">)",
         "Port=/dev/ttyUSB0 Silence=100 Etat=0 Timeout=6 s VoieCom=4"},
    };
    for (const Case& c : cases) {
        Sandbox box;
        StationCore core(box, kSite);
        box.WriteFile("/var/run/meterlink.debug", "1\n");
        box.WriteFile("/var/parameters/configuration.xml",
                      Configuration(c.com, R"(<TRAME No="3" Etiquette="BASE" Timeout="1500"/>)"));
        ProgramResult result = RunProgram(ProgramPath("meterlink"), {"Port=6"}, 10s);
        EXPECT_EQ(result.status, 255) << c.com;
        EXPECT_TRUE(box.LogHas(c.expected, "debug")) << c.com << "\n" << box.Log();
        EXPECT_TRUE(
            box.LogHas("ajout nouvelle trame No 3 Etiquette=BASE Evt=0 TrameOk=0 "
                       "Timeout=2 injection=1 contrat=1"))
            << c.com;
        EXPECT_TRUE(box.LogHas("ajout surveillance BASE No 3")) << c.com;
        EXPECT_TRUE(box.LogHas("erreur ouverture port serie /dev/ttyUSB0", "err")) << c.com;
        EXPECT_EQ(box.ReadFile("/var/log/meterlink.xml.status"), "** Mode Normal **\n");
    }
}

TEST(MeterlinkProgram, BlockOfAnotherPortLeavesNothingToDispatch) {
    MeterlinkStation s(Configuration(R"(<COM Type="meterlink" Port="3" No="1">)",
                                     R"(<TRAME No="3" Etiquette="BASE"/>)"),
                       {}, /*verbose=*/true);
    ASSERT_TRUE(WaitUntil([&] { return s.box_.LogHas("trame BASE non prise en charge"); }))
        << s.box_.Log();
    EXPECT_TRUE(s.box_.LogHas("Port lu=3 != Port demande=6"));
    EXPECT_EQ(s.FrameMessages(3), 0);
    EXPECT_EQ(s.box_.ReadFile("/var/log/meterlink.xml.status"), "** Mode Normal **\n");
}

TEST(MeterlinkProgram, StartFailures) {
    Sandbox box;
    ProgramResult noPort = RunProgram(ProgramPath("meterlink"), {"Porte"});
    EXPECT_EQ(noPort.status, 1);
    EXPECT_TRUE(box.LogHas("erreur arguments, mauvais Port", "err"));

    StationCore core(box, kSite);
    ProgramResult noFile = RunProgram(ProgramPath("meterlink"), {"Port=6"});
    EXPECT_EQ(noFile.status, 255);
    EXPECT_TRUE(box.LogHas(
        "fichier de configuration /var/parameters/configuration.xml impossible a ouvrir =2", "err"))
        << box.Log();
    EXPECT_TRUE(box.LogHas("erreur decodage", "err"));
}

TEST(MeterlinkProgram, StopsOnSigintWhileWaitingForTheChannelManager) {
    Sandbox box;  // no core: the module waits for chanmgr's pid file (up to 300 s)
    Process meterlink(ProgramPath("meterlink"), {"Port=6"});
    ASSERT_TRUE(
        WaitUntil([&] { return box.LogHas("divers.lib : attente du pid de chanmgr (300 s )"); }));
    auto asked = std::chrono::steady_clock::now();
    meterlink.Signal(SIGINT);
    ProgramResult result = meterlink.Wait(3s);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 0);
    // At once, not after the 300 s wait; the margin is for a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 2s);
    EXPECT_NE(result.output.find("fin meterlink"), std::string::npos);
}

TEST(MeterlinkProgram, StopsOnSigintWhileTheLineIsSilent) {
    MeterlinkStation s(Configuration(kCom, R"(<TRAME No="3" Etiquette="BASE"/>)"));
    ASSERT_TRUE(WaitUntil([&] { return s.FrameMessages(3) > 0; })) << s.box_.Log();
    s.Tell("silence on\n");
    int seen = s.FrameMessages(3);
    // once no frame has come for a while the module is waiting on a silent line
    WaitUntil([&] { return s.FrameMessages(3) > seen + 100; }, 500ms);
    s.driver_.Signal(SIGINT);
    ProgramResult result = s.driver_.Wait(3s);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.output.find("fin meterlink"), std::string::npos);
}

}  // namespace

namespace {

// What the simulator puts on the line for one frame, read from the slave side of its pty.
std::string OneFrameFromSimulator(const Sandbox& box, const std::vector<std::string>& cues) {
    std::vector<std::string> args{"--link",    box.Path("/dev/ttyUSB0"),
                                  "--fast",    "--frames",
                                  "1",         "--group",
                                  "ISOUSC=45", "--group",
                                  "IINST=002"};
    args.insert(args.end(), cues.begin(), cues.end());
    Process sim(ProgramPath("teleinfosim"), args);
    std::string bytes;
    int fd = -1;
    WaitUntil([&] {
        fd = open(box.Path("/dev/ttyUSB0").c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        return fd >= 0 || !sim.Running();
    });
    if (fd < 0) {
        ADD_FAILURE() << sim.Output();
        return "";
    }
    WaitUntil([&] {
        char chunk[256];
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n > 0) {
            bytes.append(chunk, static_cast<size_t>(n));
        }
        return !bytes.empty() && (bytes.back() == '\x03' || bytes.back() == '\x04');
    });
    close(fd);
    ProgramResult result = sim.Wait(5s);
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_FALSE(box.Exists("/dev/ttyUSB0"));  // the link goes with the simulator
    return bytes;
}

}  // namespace

// The simulator is checked against groups whose checksums are known from real meters, so that
// the program tests above do not rest on a simulator that agrees with the decoder by accident.
TEST(TeleinfoSimulator, FramesAndCuesOnTheLine) {
    struct Case {
        std::vector<std::string> cues;
        std::string bytes;
    } cases[] = {
        {{}, "\x02\nISOUSC 45 ?\r\nIINST 002 Y\r\x03"},
        {{"--bad-checksum", "IINST"}, "\x02\nISOUSC 45 ?\r\nIINST 002 Z\r\x03"},
        {{"--no-separator", "ISOUSC"}, "\x02\nISOUSC 45?\r\nIINST 002 Y\r\x03"},
        {{"--stop", "ISOUSC"}, "\x02\nIINST 002 Y\r\x03"},
        {{"--eot-after", "1"}, "\x02\nISOUSC 45 ?\r\x04"},
        {{"--inject"}, "\x02\nAppli INJECTION Y\r\nISOUSC 45 ?\r\nIINST 002 Y\r\x03"},
    };
    for (const Case& c : cases) {
        Sandbox box;
        EXPECT_EQ(OneFrameFromSimulator(box, c.cues), c.bytes)
            << (c.cues.empty() ? "plain" : c.cues[0]);
    }
}

TEST(TeleinfoSimulator, ScriptLinesWithoutAWordAreSkipped) {
    Sandbox box;
    box.WriteFile("/sim/meter.txt", "!\n   \n# a comment\n");
    EXPECT_EQ(OneFrameFromSimulator(box, {"--script", box.Path("/sim/meter.txt")}),
              "\x02\nISOUSC 45 ?\r\nIINST 002 Y\r\x03");
}

TEST(MeterlinkProgram, LineThatHangsUpIsReportedWithoutSpinningAndStillStops) {
    MeterlinkStation s(Configuration(kCom, R"(<TRAME No="3" Etiquette="BASE"/>)"));
    ASSERT_TRUE(WaitUntil([&] { return s.FrameMessages(3) > 0; })) << s.box_.Log();
    s.Tell("quit\n");  // the meter's side of the line closes
    ASSERT_TRUE(WaitUntil([&] { return s.box_.LogHas("erreur scrutation", "err"); }, 5s))
        << s.box_.Log();
    EXPECT_TRUE(s.box_.LogHas("erreur lecture port serie=5", "err")) << s.box_.Log();
    s.driver_.Signal(SIGINT);
    ProgramResult result = s.driver_.Wait(3s);
    EXPECT_EQ(result.status, 0);
    // one report a second at most, not one per poll
    int reports = 0;
    for (const std::string& line : s.box_.LogLines()) {
        reports += line.find("erreur scrutation") != std::string::npos;
    }
    EXPECT_LE(reports, 3);
}

}  // namespace meterlink_test
