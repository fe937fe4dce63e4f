// gaugereader against the station core stand-in and the M-Bus meter simulator: what reaches the
// channels, the requests on the line, state channels, answers that go wrong, configuration
// verdicts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "driverstation.h"
#include "process.h"
#include "sandbox.h"
#include "serialdebug.h"
#include "stationcore_fixture.h"

// Its own namespace: the program tests are compiled in batches.
namespace gaugereader_test {

namespace {

using namespace std::chrono_literals;

// Communication 4, frame 1 of sensor 5 feeds channels 11..15; channel 1 is sensor 5's state, 2
// its frame's state, 3 sensor 9's state.
const char* kSite = R"(channels 50
channel 1 ETOR "Compteur eau"
channel 2 ETOR "Releve eau"
channel 3 ETOR "Compteur absent"
channel 11 CPT "Volume"
channel 12 TE "Volume m3"
channel 13 EANA "Temp. depart"
channel 14 TE "Temp. retour"
channel 15 CPT "Energie"
frame 4 1 1 11
frame 4 1 2 12
frame 4 1 3 13
frame 4 1 4 14
frame 4 1 5 15
)";

const char* kMeters = R"(meter 5 id=11223344
rec 04 13 123456 +10
rec 44 13 123456
rec 0C 06 12345678
rec 02 5B 421
rec 05 5F 31.25
)";

const char* kData = R"(
<DATA Type="Volume" No="1" Rng="1" Voie="Cpt" Div="10" Mult="2"/>
<DATA Type="Volume" No="2" Voie="IEEE" Div="10" Mult="2" Coef="0.5"/>
<DATA Type="FlowTemperature" No="3"/>
<DATA Type="ReturnTemperature" No="4" Div="100" Mult="7" Coef="3"/>
<DATA Type="Energy" No="5"/>
<DATA Type="Energy" No="6" Fonction="Max"/>)";

std::string Configuration(const std::string& com, const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<STATION>\n<AUTOMATE>\n" + com + "\n" +
           body + "\n</COM>\n</AUTOMATE>\n</STATION>\n";
}

const std::string kCom =
    R"(<COM Type="GaugeReader" Port="6" No="4" Baud="2400" Silence="120" TimeOutAck="150" Pause="100" NbIter="2">)";

std::string TwoSensors(const std::string& data = kData) {
    return R"(<CAPTEUR No="9" Etat="3" NbDef="3"/>
<CAPTEUR No="5" Etat="1"><TRAME No="1" Type="REQ_UD2" Etat="2">)" +
           data + "</TRAME></CAPTEUR>";
}

// The same records in three telegrams.
const char* kTelegrams = R"(meter 5 id=11223344
rec 04 13 123456 +10
rec 44 13 123456
more
rec 0C 06 12345678
rec 02 5B 421
more
rec 05 5F 31.25
)";

// A running station: stand-in, meter simulator on dev/ttyUSB0 (port 6), gaugereader.
DriverSetup GaugeSetup(const std::string& configuration, const std::vector<std::string>& cues,
                       const char* meters) {
    DriverSetup setup{kSite,
                      configuration,
                      {{"/var/run/gaugereader.debug", "1\n"}, {"/sim/meters.txt", meters}},
                      "mbussim",
                      "/dev/ttyUSB0",
                      {"--script", "@/sim/meters.txt", "--log", "@/sim/requests.txt"},
                      "",
                      "gaugereader",
                      {"Port=6"}};
    for (const std::string& cue : cues) {
        setup.simulatorArgs.insert(setup.simulatorArgs.end(), {"--cue", cue});
    }
    return setup;
}

class GaugeStation : public DriverStation {
  public:
    explicit GaugeStation(const std::string& configuration,
                          const std::vector<std::string>& cues = {}, const char* meters = kMeters)
        : DriverStation(GaugeSetup(configuration, cues, meters)) {}

    std::string Requests() const {
        return box_.Exists("/sim/requests.txt") ? box_.ReadFile("/sim/requests.txt") : "";
    }
    int FrameMessages() { return DriverStation::FrameMessages(4, 1); }
};

TEST(GaugereaderProgram, RecordsReachTheirChannelsScaledAndStateChannelsFollowTheSensors) {
    GaugeStation s(Configuration(kCom, TwoSensors()));
    // the frame state is written once every record of the answer was delivered
    ASSERT_TRUE(WaitUntil([&] { return s.core_.ReadBool(2); }, 10s)) << s.box_.Log();
    EXPECT_EQ(s.core_.ReadLong(15), 12345678);
    // 123456 / 10 * 2 as a counter (storage 1); the same scaling (the value grows by 10 at each
    // answer) as a real, with the record's 0.001 and the coefficient 0.5 (storage 0)
    EXPECT_EQ(s.core_.ReadLong(11), 24690);
    float real = s.core_.ReadFloat(12);
    EXPECT_TRUE(real > 12.3449f && real < 12.37f) << real;
    EXPECT_EQ(s.core_.ReadShort(13), 421);           // a 16-bit record goes to a 16-bit item
    EXPECT_FLOAT_EQ(s.core_.ReadFloat(14), 31.25f);  // a real is written as received
    EXPECT_TRUE(s.core_.ReadBool(1));
    // sensor 9 never answers: its state channel goes to 0 at its third unanswered SND_NKE, and
    // again at each later one
    ASSERT_TRUE(WaitUntil([&] { return s.ChannelWrites(3).size() >= 2; }, 10s)) << s.box_.Log();
    EXPECT_TRUE(WaitUntil([&] { return s.Count(s.Requests(), "10 40 09 49 16") >= 4; }, 10s));
    std::vector<int> absent = s.ChannelWrites(3);
    int tests = s.Count(s.Requests(), "10 40 09 49 16");
    EXPECT_EQ(absent, std::vector<int>(absent.size(), 0));
    EXPECT_GE(static_cast<int>(absent.size()), 2);
    EXPECT_LE(static_cast<int>(absent.size()), tests - 2);

    // on the line: sensor 5 (the last configured) is tested first, then read with REQ_UD2
    std::string requests = s.Requests();
    EXPECT_EQ(requests.find("10 40 05 45 16\n"), 0u) << requests;
    EXPECT_NE(requests.find("10 7B 05 80 16\n"), std::string::npos) << requests;

    // the port's trace: requests, answers, header and records
    SerialDebug trace;
    ASSERT_EQ(OpenSerialDebug(&trace, 6), 0);
    std::string text;
    EXPECT_TRUE(WaitUntil([&] {
        char chunk[4096];
        ReadStrFromSerialDebug(&trace, chunk, sizeof chunk - 1);
        text += chunk;
        return text.find("Identification=11223344") != std::string::npos &&
               text.find(
                   " Energy (32 bits) Inst Rng(0) =12345678 x 1.000000e+03 Wh\n  Com(4) "
                   "Trame(1) Donnee(5) Cpt=12345678\n") != std::string::npos;
    })) << text;
    CloseSerialDebug(&trace);
    EXPECT_EQ(s.box_.ReadFile("/var/log/gaugereader.xml.status"), "** Mode Normal **\n");
    EXPECT_TRUE(s.box_.LogHas(
        "No=4 NbIteration=2 TempsSilence=120ms TempsPause=100ms Vitesse=2400 TimeOutAc=150",
        "debug"));
    EXPECT_TRUE(s.box_.LogHas("Capteur No 9 Intertrame=0ms Etat=3 NbDef=3", "debug"));
    EXPECT_TRUE(
        s.box_.LogHas("Donnee No 6 Type=Energy Rng=0 Fonction=2 Forcage=0 "
                      "Coef=1.000000 Multiplieur=1 Diviseur=1",
                      "debug"));
}

TEST(GaugereaderProgram, NoiseIsSkippedAndOneBadAnswerIsRetried) {
    GaugeStation s(Configuration(kCom, TwoSensors()), {"noise 5 20", "badsum 5 1"});
    ASSERT_TRUE(WaitUntil([&] { return s.core_.ReadBool(2) && !s.ChannelWrites(2).empty(); }, 10s))
        << s.box_.Log();
    EXPECT_EQ(s.core_.ReadLong(15), 12345678);
    EXPECT_EQ(s.ChannelWrites(2).front(), 1);
    // the first answer was refused and asked again at once (after the pause)
    std::string requests = s.Requests();
    size_t first = requests.find("10 7B 05 80 16\n");
    ASSERT_NE(first, std::string::npos) << requests;
    EXPECT_EQ(requests.find("10 7B 05 80 16\n", first + 1), first + 15) << requests;
}

TEST(GaugereaderProgram, AFrameThatKeepsFailingDropsItsStateAndTheSensorIsTestedAgain) {
    GaugeStation s(Configuration(kCom, TwoSensors()), {"badlen 5"});
    ASSERT_TRUE(WaitUntil([&] { return !s.ChannelWrites(2).empty(); }, 10s)) << s.box_.Log();
    EXPECT_EQ(s.ChannelWrites(2)[0], 0);
    EXPECT_EQ(s.FrameMessages(), 0);
    // two attempts (NbIter), then SND_NKE again at the next pass
    ASSERT_TRUE(WaitUntil([&] { return s.Count(s.Requests(), "10 40 05 45 16") >= 2; }, 10s))
        << s.Requests();
    std::string requests = s.Requests();
    size_t first = requests.find("10 7B 05 80 16\n");
    ASSERT_NE(first, std::string::npos) << requests;
    EXPECT_EQ(requests.find("10 7B 05 80 16\n", first + 15), first + 15) << requests;
    EXPECT_EQ(requests.find("10 7B 05 80 16\n", first + 30), std::string::npos) << requests;
    EXPECT_TRUE(s.core_.ReadBool(1));  // it still answers SND_NKE
}

// Suite="1": the telegrams a meter announces with DIF 1F are asked for with the frame count bit
// toggled, and a meter that sends the same telegram again ends the reading. Without Suite, only
// the first telegram's records come, every request being 0x7B. A meter read by secondary address
// is selected before each reading, its telegrams started again by a SND_NKE to 0xFD at first.
TEST(GaugereaderProgram, TelegramsThatFollowAreReadWithSuite) {
    const std::string suite = " Suite=\"1\"",
                      toggled = "7B 05 80 16\n10 5B 05 60 16\n10 7B 05 80 16\n10 5B",
                      select = "68 0B 0B 68 53 FD 52 44 33 22 11 FF FF FF FF 48 16\n";
    struct Case {
        std::string suite;
        std::vector<std::string> cues;
        std::string requests;  // the first ones after the presence test and the first selection
        bool all;              // records of the second and third telegrams too
        const char* trace;
        const char* sensor = "No=\"5\"";
        std::string presence = "10 40 05 45 16\n";
    } cases[] = {
        {suite, {}, toggled, true, "Trame(1) Donnee(4) Reel=31.250000\n"},
        {suite, {"repeat 5"}, toggled, false, "telegramme repete : fin de lecture\n"},
        {"", {}, "7B 05 80 16\n10 7B 05 80 16\n10 7B", false, "Trame(1) Donnee(1) Cpt=24690\n"},
        {suite,
         {},
         "7B FD 78 16\n10 5B FD 58 16\n10 7B FD 78 16\n" + select + "10 5B",
         true,
         "Donnee(4) Reel=31.250000\n",
         "Secondaire=\"11223344\"",
         select + "10 40 FD 3D 16\n" + select},
    };
    for (const Case& c : cases) {
        GaugeStation s(Configuration(kCom, std::string("<CAPTEUR ") + c.sensor +
                                               R"(><TRAME No="1" Type="REQ_UD2" Etat="2")" +
                                               c.suite + ">" + kData + "</TRAME></CAPTEUR>"),
                       c.cues, kTelegrams);
        std::string expected = c.presence + "10 " + c.requests, text;
        SerialDebug trace;
        ASSERT_TRUE(WaitUntil([&] { return OpenSerialDebug(&trace, 6) == 0; }));
        ASSERT_TRUE(WaitUntil(
            [&] {
                char chunk[4096];
                ReadStrFromSerialDebug(&trace, chunk, sizeof chunk - 1);
                text += chunk;
                return s.ChannelWrites(2).size() >= 2 && s.Requests().size() >= expected.size();
            },
            10s))
            << s.Requests();
        CloseSerialDebug(&trace);
        EXPECT_EQ(s.Requests().substr(0, expected.size()), expected) << c.suite;
        EXPECT_EQ(s.ChannelWrites(2), std::vector<int>(s.ChannelWrites(2).size(), 1));
        EXPECT_EQ(s.core_.ReadLong(11), 24690);                            // first telegram
        EXPECT_EQ(s.core_.ReadLong(15), c.all ? 12345678 : 0) << c.suite;  // second
        EXPECT_FLOAT_EQ(s.core_.ReadFloat(14), c.all ? 31.25f : 0.0f);     // third
        EXPECT_NE(text.find(c.trace), std::string::npos) << text;
    }
}

// Three meters at primary address 0, told apart by their secondary addresses; the first two share
// their first digit, so that a search must narrow past it.
const char* kBusOfZeros = R"(meter 0 id=12345678 man=ABC version=2 medium=7
rec 04 13 1000
meter 0 id=13345678 man=QRS version=1 medium=4
rec 04 13 2000
meter 0 id=55500001 man=ABC version=3 medium=6
rec 04 13 3000
)";

TEST(GaugereaderProgram, SensorsBySecondaryAddressAreSelectedAndReadIntoTheirOwnChannels) {
    GaugeStation s(Configuration(kCom, R"(<CAPTEUR Secondaire="99999999" Etat="3"/>
<CAPTEUR Secondaire="12345678" Fabricant="ABC" Version="2" Medium="7" Etat="1">
<TRAME No="1" Type="REQ_UD2"><DATA Type="Volume" No="1" Voie="Cpt"/></TRAME></CAPTEUR>
<CAPTEUR Secondaire="13345678"><TRAME No="1" Type="REQ_UD2"><DATA Type="Volume" No="3" Voie="Ana"/>
</TRAME></CAPTEUR>
<CAPTEUR Secondaire="555FFFFF"><TRAME No="1" Type="REQ_UD2"><DATA Type="Volume" No="5"/>
</TRAME></CAPTEUR>)"),
                   {}, kBusOfZeros);
    // the last configured is read first
    ASSERT_TRUE(WaitUntil([&] { return s.core_.ReadLong(11) == 1000; }, 10s)) << s.box_.Log();
    EXPECT_EQ(s.core_.ReadShort(13), 2000);
    EXPECT_EQ(s.core_.ReadLong(15), 3000);
    EXPECT_TRUE(s.core_.ReadBool(1));
    // the absent one never acknowledges its selection
    ASSERT_TRUE(WaitUntil([&] { return !s.ChannelWrites(3).empty(); }, 10s)) << s.box_.Log();
    EXPECT_EQ(s.ChannelWrites(3), std::vector<int>(s.ChannelWrites(3).size(), 0));
    std::string requests = s.Requests();
    EXPECT_NE(requests.find("10 7B FD 78 16\n"), std::string::npos) << requests;
    EXPECT_EQ(requests.find("10 7B 00"), std::string::npos) << requests;
    EXPECT_EQ(s.box_.ReadFile("/var/log/gaugereader.xml.status"), "** Mode Normal **\n");
}

TEST(Mbusscan, FindsTheMetersOfABusWhoseAddressesAreAllZero) {
    Sandbox box;
    box.WriteFile("/sim/m.txt", kBusOfZeros);
    Process sim(ProgramPath("mbussim"), {"--link", box.Path("/dev/ttyUSB0"), "--script",
                                         box.Path("/sim/m.txt"), "--log", box.Path("/sim/r.txt")});
    ASSERT_TRUE(WaitUntil([&] { return box.Exists("/dev/ttyUSB0"); }));
    ProgramResult scan = RunProgram(ProgramPath("mbusscan"),
                                    {"Port=6", "Baud=9600", "TimeOutAck=60", "Silence=20"}, 30s);
    EXPECT_EQ(scan.status, 0) << scan.output;
    EXPECT_EQ(scan.output,
              "Secondaire=12345678 Fabricant=ABC Version=2 Medium=7 No=0\n"
              "Secondaire=13345678 Fabricant=QRS Version=1 Medium=4 No=0\n"
              "Secondaire=55500001 Fabricant=ABC Version=3 Medium=6 No=0\n");
    // the collision of the first digit 1 was narrowed on the second
    EXPECT_NE(box.ReadFile("/sim/r.txt").find("53 FD 52 FF FF FF 12 FF"), std::string::npos);
    sim.Signal(SIGTERM);
    sim.Wait(5s);
    // nothing on the line: no meter, and a failure
    ProgramResult none = RunProgram(ProgramPath("mbusscan"), {"Port=6"}, 10s);
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.output.find("mbusscan: cannot open /dev/ttyUSB0"), std::string::npos)
        << none.output;
}

TEST(GaugereaderProgram, ConfigurationVerdicts) {
    struct Case {
        std::string body;
        const char* status;  // the status file, whole
        bool sleeps;         // no sensor left: the module goes to sleep
        const char* warning = nullptr;
    } cases[] = {
        {TwoSensors(R"(<DATA Type="Volumen" No="1"/><DATA Type="Volume" No="2" Rng="2"/>
<DATA Type="Volume" No="3" Div="0"/><DATA Type="Volume" No="4"/>)"),
         "type inconnu\nerreur sur le rang\nErreur diviseur\n** Mode Normal **\n", false},
        {R"(<CAPTEUR No="251"/>)", "numero capteur (251) invalide", true},
        {R"(<CAPTEUR Secondaire="1234567"/>)", "adresse secondaire invalide (1234567)", true},
        {R"(<CAPTEUR Secondaire="12345678" Fabricant="A1C"/>)",
         "fabricant de l'adresse secondaire invalide (A1C)", true},
        {R"(<CAPTEUR No="5" Medium="7"/>)", "Medium sans adresse secondaire", true},
        {R"(<CAPTEUR No="5"><TRAME No="101" Type="REQ_UD2"/></CAPTEUR>)",
         "numero trame invalide (101)", true},
        {R"(<CAPTEUR No="5"><TRAME No="1"/></CAPTEUR>)", "pas de type defini dans la trame No 1",
         true},
        {R"(<CAPTEUR No="5"><TRAME No="1" Type="SND_UD"/></CAPTEUR>)",
         "pas de type valide pour trame No 1", true},
        {R"(<CAPTEUR No="5"><TRAME No="1" Type="REQ_UD2"><DATA No="1"/></TRAME></CAPTEUR>)",
         "pas de type defini de donnee", true},
        {R"(<CAPTEUR No="5"><TRAME No="1" Type="REQ_UD2"></CAPTEUR>)",
         "erreur expat=mismatched tag", true},
        // a second COM of the port, with its sensor, is left out
        {TwoSensors() + R"(</COM><COM Type="gaugereader" Port="6" No="7"><CAPTEUR No="8"/>)",
         "** Mode Normal **\n", false, "COM No 7 ignored : communication 4 already selected"},
    };
    for (const Case& c : cases) {
        GaugeStation s(Configuration(kCom, c.body));
        ASSERT_TRUE(WaitUntil([&] { return s.box_.Exists("/var/log/gaugereader.xml.status"); }))
            << c.status;
        std::string status;
        WaitUntil([&] {
            status = s.box_.ReadFile("/var/log/gaugereader.xml.status");
            return status.find("** Mode") != std::string::npos;
        });
        if (c.sleeps) {
            EXPECT_NE(status.find(c.status), std::string::npos) << status;
            EXPECT_NE(status.find("** Mode Degrade **\n"), std::string::npos) << status;
            EXPECT_TRUE(WaitUntil([&] {
                return s.box_.LogHas("pas de protocole Gaugereader parametre : mise en sommeil",
                                     "debug");
            })) << c.status;
            EXPECT_EQ(
                s.core_.WaitFor([](const JournalEntry& e) { return e.kind == "modmgr"; }).kind,
                "modmgr");
            EXPECT_EQ(s.Requests(), "");
        } else {
            EXPECT_EQ(status, c.status);
            EXPECT_TRUE(WaitUntil([&] { return s.FrameMessages() > 0; }, 10s)) << s.box_.Log();
        }
        if (c.warning != nullptr) {
            EXPECT_TRUE(s.box_.LogHas(c.warning, "warning")) << s.box_.Log();
            EXPECT_EQ(s.Requests().find("10 40 08 48 16"), std::string::npos) << s.Requests();
        }
    }
}

TEST(GaugereaderProgram, StartWithoutAUsablePort) {
    struct Case {
        std::string com;
        const char* log;
        bool aborts;
    } cases[] = {
        {R"(<COM Type="gaugereader" Port="6" Baud="19200">)", "erreur vitesse 19200", true},
        {R"(<COM Type="gaugereader" Port="6">)",
         "erreur d'ouverture du port serie /dev/ttyUSB0 : 2", true},
        {R"(<COM Type="gaugereader" Port="3">)", "Com 3 != Com impose 6", false},
        {R"(<COM Type="gaugereader">)", "Pas de port de communication parametre", false},
    };
    for (const Case& c : cases) {
        Sandbox box;
        StationCore core(box, kSite);
        box.WriteFile("/var/run/gaugereader.debug", "1\n");
        box.WriteFile("/var/parameters/configuration.xml",
                      Configuration(c.com, R"(<CAPTEUR No="5"/>)"));
        Process reader(ProgramPath("gaugereader"), {"Port=6"});
        EXPECT_TRUE(WaitUntil([&] { return box.LogHas(c.log); })) << c.com << "\n" << box.Log();
        if (c.aborts) {
            ProgramResult result = reader.Wait(5s);
            EXPECT_FALSE(result.exited) << c.com;
            bool asserted = false;
            for (const std::string& line : box.LogLines()) {
                asserted |=
                    line.rfind("crit gaugereader", 0) == 0 &&
                    line.find("erreur ouverture port serie a la ligne") != std::string::npos;
            }
            EXPECT_TRUE(asserted) << box.Log();
        } else {
            EXPECT_TRUE(WaitUntil([&] {
                return box.LogHas("pas de protocole Gaugereader parametre : mise en sommeil");
            }));
            reader.Signal(SIGTERM);
            reader.Wait(5s);
        }
    }
}

}  // namespace

// The simulator is checked against a frame worked out by hand, so that the program tests above do
// not rest on a simulator that agrees with the decoder by accident.
TEST(MbusSimulator, AnswersAndCuesOnTheLine) {
    const std::string kFrame =
        "68 15 15 68 08 05 72 44 33 22 11 96 15 01 07 00 00 00 00 04 13 40 E2 01 00 16 16";
    const std::string kSelect = "68 0B 0B 68 53 FD 52 44 33 22 11 FF FF FF FF 48 16";
    struct Case {
        std::string cue;
        std::string request;
        std::string answer;
    } cases[] = {
        {"", "10 40 05 45 16", "E5"},
        {"", "10 7B 05 80 16", kFrame},
        {"", "10 40 06 46 16", ""},             // nobody at 6
        {"", "10 40 05 44 16", ""},             // bad checksum: no answer
        {"silent 5 on", "10 40 05 45 16", ""},  // silence for one address
        {"noise 5 2", "10 7B 05 80 16", "A5 AC " + kFrame},
        {"badlen 5", "10 7B 05 80 16", "68 15 16" + kFrame.substr(8)},
        {"wronglen 5", "10 7B 05 80 16", "68 16 16" + kFrame.substr(8)},
        {"badsum 5", "10 7B 05 80 16", kFrame.substr(0, kFrame.size() - 5) + "4C 16"},
        {"nostop 5", "10 7B 05 80 16", kFrame.substr(0, kFrame.size() - 3)},
        {"truncate 5 4", "10 7B 05 80 16", "68 15 15 68"},
        // selected by secondary address, it answers at FD
        {"", kSelect + " 10 7B FD 78 16", "E5 " + kFrame},
        {"", kSelect.substr(0, 21) + "45" + kSelect.substr(23, 22) + "49 16 10 7B FD 78 16", ""},
        {"", kSelect + " 10 40 FD 3D 16 10 7B FD 78 16", "E5 E5"},  // SND_NKE deselects
    };
    for (const Case& c : cases) {
        Sandbox box;
        box.WriteFile("/sim/m.txt", "meter 5 id=11223344\nrec 04 13 123456\n");
        std::vector<std::string> args{"--link", box.Path("/dev/ttyUSB0"), "--script",
                                      box.Path("/sim/m.txt")};
        if (!c.cue.empty()) {
            args.insert(args.end(), {"--cue", c.cue});
        }
        Process sim(ProgramPath("mbussim"), args);
        ASSERT_TRUE(WaitUntil([&] { return box.Exists("/dev/ttyUSB0"); }));
        // The test's own master: raw bytes through the linked pty.
        int fd = open(box.Path("/dev/ttyUSB0").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        std::string request;
        for (size_t i = 0; i < c.request.size(); i += 3) {
            request += static_cast<char>(strtol(c.request.substr(i, 2).c_str(), nullptr, 16));
        }
        ASSERT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
        std::string answer;
        size_t expected = (c.answer.size() + 1) / 3;
        WaitUntil(
            [&] {
                char chunk[512];
                ssize_t n = read(fd, chunk, sizeof chunk);
                for (ssize_t i = 0; i < n; ++i) {
                    char hex[4];
                    snprintf(hex, sizeof hex, "%s%02X", answer.empty() ? "" : " ",
                             static_cast<unsigned char>(chunk[i]));
                    answer += hex;
                }
                return expected > 0 && answer.size() >= c.answer.size();
            },
            expected > 0 ? 5s : 300ms);
        EXPECT_EQ(answer, c.answer) << c.cue << " " << c.request;
        close(fd);
        sim.Signal(SIGTERM);
        EXPECT_EQ(sim.Wait(5s).status, 0);
    }
}

}  // namespace gaugereader_test
