// busbridge against the station core stand-in and the Uni-Telway bus master simulator on a pty:
// words, double words, bits and objects read from the PLC into channels, a channel written to a
// PLC word, the state channels through the simulator's misbehaviours, and the status verdicts.
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
namespace busbridge_test {

namespace {

using namespace std::chrono_literals;

const char* kSite = R"(channels 50
channel 1 ETOR "Liaison automate"
channel 2 ETOR "Trame niveau"
channel 10 EANA "Niveau"
channel 11 CPT "Volume"
channel 12 ETOR "Pompe 1"
channel 13 ETOR "Pompe 2"
channel 14 EANA "Debit"
channel 15 EANA "Pression"
channel 16 ETOR "Defaut"
channel 20 SANA "Consigne" value=1500
frame 1 1 1 10
frame 1 2 1 11
frame 1 3 1-2 12
frame 1 4 1-2 14
frame 1 4 3 16
)";

const char* kPlc = R"(mem 4 100 250
mem 64 10 123456
mem 0 16 1
mem 0 17 0
obj 104 7 0 -5
obj 104 7 1 77
obj 104 7 2 4
)";

std::string Configuration(const std::string& com, const std::string& trames) {
    return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<STATION>\n<AUTOMATE>\n" + com + "\n" +
           trames + "\n</COM>\n</AUTOMATE>\n</STATION>\n";
}

const std::string kCom =
    R"(<COM Type="busbridge" Port="6" No="1" Etat="1" NbDef="2" Timeout="400" TimeoutAck="200">)";
const std::string kFrames = R"(
<TRAME No="1" Esc="0,254,0,16,0" Code="4" Adr="100" Etat="2"/>
<TRAME No="2" Esc="0,254,0,16,0" Code="64" Adr="10"/>
<TRAME No="3" Esc="0,254,0,16,0" Code="0" Adr="16"/>
<TRAME No="4" Esc="0,254,0,16,0" Code="54" Type="7" Segment="104" Adr="0" Lng="3">
<ANA No="1" Adr="1"/><ANA No="2" Adr="2"/><BIT No="3" Adr="3,3"/>
</TRAME>
<TRAME No="5" Esc="0,254,0,16,0" Code="20" Adr="200" Voie="20"/>)";

// A running station: stand-in, bus master on dev/ttyUSB0 (port 6) polling every 5 ms, busbridge.
class BusbridgeStation : public DriverStation {
  public:
    explicit BusbridgeStation(const std::string& configuration)
        : DriverStation({kSite,
                         configuration,
                         {{"/sim/plc.txt", kPlc}},
                         "unitelwaysim",
                         "/dev/ttyUSB0",
                         {"--script", "@/sim/plc.txt", "--control", "@/sim/plc.ctl", "--written",
                          "@/sim/written", "--status", "@/sim/status", "--period", "5"},
                         "/sim/plc.ctl",
                         "busbridge",
                         {"Port=6"}}) {}
    std::string Status() const { return box_.ReadFile("/sim/status"); }
};

TEST(BusbridgeProgram, ValuesTravelBothWaysBetweenThePlcAndTheChannels) {
    BusbridgeStation s(Configuration(kCom, kFrames));
    ASSERT_TRUE(s.core_.Ready()) << s.core_.Output();
    ASSERT_TRUE(WaitUntil([&] {
        return s.core_.ReadShort(10) == 250 && s.core_.ReadLong(11) == 123456 &&
               s.core_.ReadBool(12) && s.core_.ReadShort(14) == -5 && s.core_.ReadShort(15) == 77 &&
               s.core_.ReadBool(16) && s.core_.ReadBool(1) && s.core_.ReadBool(2);
    })) << s.box_.Log()
        << s.Status();
    EXPECT_FALSE(s.core_.ReadBool(13));
    ASSERT_TRUE(WaitUntil([&] {
        return s.box_.ReadFile("/sim/written").find("20 200 1500\n") == 0;
    })) << s.sim_.Output();

    // a value changed in the PLC reaches its channel at the next cycles
    s.Tell("mem 4 100 -300\n");
    EXPECT_TRUE(WaitUntil([&] { return s.core_.ReadShort(10) == -300; }));
    EXPECT_EQ(s.box_.ReadFile("/var/log/busbridge.xml.status"), "** Mode Normal **\n");
    EXPECT_EQ(s.core_.Count([](const JournalEntry& e) { return e.kind == "error"; }), 0);

    // the statistics lines after each cycle
    SerialDebug trace;
    ASSERT_EQ(OpenSerialDebug(&trace, 6), 0);
    std::string text;
    EXPECT_TRUE(WaitUntil([&] {
        char chunk[4096];
        ReadStrFromSerialDebug(&trace, chunk, sizeof chunk - 1);
        text += chunk;
        // No frame error of any kind; an answer may still come late on a loaded machine.
        return text.find("Polling=") != std::string::npos &&
               text.find("Error(Bcc=0 Dle=0 Sync=0 TimeoutAnswer=") != std::string::npos &&
               text.find(" NegativeAnswer=0) \n") != std::string::npos &&
               text.find("Rec(Ack=") != std::string::npos;
    })) << text;
    CloseSerialDebug(&trace);
}

TEST(BusbridgeProgram, StateChannelsFallAfterNbDefFailedExchangesAndRiseAgain) {
    // Each misbehaviour of the bus fails the exchanges; the link's state channel (1) falls after
    // two of them (NbDef 2) and rises at the next good one.
    BusbridgeStation s(Configuration(kCom, R"(
<TRAME No="1" Esc="0,254,0,16,0" Code="4" Adr="100" Etat="2"/>)"));
    ASSERT_TRUE(WaitUntil([&] { return s.core_.ReadBool(1) && s.core_.ReadBool(2); }))
        << s.box_.Log() << s.Status();
    for (const char* cue :
         {"negative", "short", "nak", "noack", "badbcc", "lonedle", "silence on", "pause 100000"}) {
        s.Tell(std::string(cue) + "\n");
        EXPECT_TRUE(WaitUntil([&] { return !s.core_.ReadBool(1); }, 5s)) << cue << s.Status();
        s.Tell("clear\n");
        EXPECT_TRUE(WaitUntil([&] { return s.core_.ReadBool(1) && s.core_.ReadBool(2); }, 5s))
            << cue << s.Status();
    }
    // An answer that starts over inside itself (DLE STX) is read all the same.
    int before = static_cast<int>(s.ChannelWrites(1).size());
    s.Tell("mem 4 100 99\ndlestx 3\n");
    EXPECT_TRUE(WaitUntil([&] { return s.core_.ReadShort(10) == 99; }));
    std::vector<int> writes = s.ChannelWrites(1);
    EXPECT_EQ(std::count(writes.begin() + before, writes.end(), 0), 0);
    EXPECT_TRUE(s.driver_.Running());
}

TEST(BusbridgeProgram, ARefusedFrameTableEndsTheDriverWithTheDegradedVerdict) {
    struct Case {
        std::string trames;
        std::string status;
    } cases[] = {
        {R"(<TRAME No="4" Esc="0,254,0,16,0" Code="54" Type="5" Lng="12"/>)",
         "1 : Line 5 \"Lng (12) of frame No 4  is not a multiple of 8\"\n** Mode Degrade **\n"},
        {R"(<TRAME No="1" Esc="0,254,0,16" Code="4"/>)",
         "1 : Line 5 \"Esc of frame No 1  needs 5 numbers from 0 to 255\"\n** Mode Degrade **\n"},
        // A good table, but no bus master has made the port's device.
        {R"(<TRAME No="1" Esc="0,254,0,16,0" Code="4"/>)",
         "1 : Line 4 \"error in opening of /dev/ttyUSB0 : 2\"\n** Mode Degrade **\n"},
    };
    for (const Case& c : cases) {
        Sandbox box;
        StationCore core(box, kSite);
        box.WriteFile("/var/parameters/configuration.xml", Configuration(kCom, c.trames));
        ProgramResult result = RunProgram(ProgramPath("busbridge"), {"Port=6"}, 10s);
        EXPECT_FALSE(result.exited) << c.status;
        EXPECT_EQ(result.signal, SIGABRT) << c.status;
        EXPECT_EQ(box.ReadFile("/var/log/busbridge.xml.status"), c.status);
        EXPECT_TRUE(core.WaitFor([](const JournalEntry& e) { return e.kind == "modmgr"; }).kind ==
                    "modmgr");
    }
}

}  // namespace

}  // namespace busbridge_test
