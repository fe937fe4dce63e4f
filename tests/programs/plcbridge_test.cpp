// plcbridge against the station core stand-in and the Sysway PLC simulator on a pty: reads reach
// the channels, writes reach the PLC's memory, the state channels follow the PLC's misbehaviour,
// and what ends the program at its start.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include "driverstation.h"
#include "process.h"
#include "sandbox.h"
#include "serialdebug.h"
#include "stationcore_fixture.h"

// Its own namespace: the program tests are compiled in batches.
namespace plcbridge_test {

namespace {

using namespace std::chrono_literals;

// Communication 1: frame 1 feeds channels 10 and 11; channel 1 shows the link, 2 the read frame,
// 3 the test frame; channels 12 and 13 feed the write frame.
const char* kSite = R"(channels 50
channel 1 ETOR "Liaison automate"
channel 2 ETOR "Trame lecture"
channel 3 ETOR "Trame test"
channel 10 EANA "Mot 10"
channel 11 EANA "Mot 11"
channel 12 SANA "Consigne 1" value=80
channel 13 SANA "Consigne 2" value=4660
frame 1 1 1 10
frame 1 1 2 11
)";

std::string Configuration(const std::string& com, const std::string& trames) {
    return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<STATION>\n<AUTOMATE>\n" + com + "\n" +
           trames + "\n</COM>\n</AUTOMATE>\n</STATION>\n";
}

const std::string kCom =
    R"(<COM Type="plcbridge" Port="2" No="1" Etat="1" Timeout="1000" Pause="100">)";
const std::string kRead = R"(<TRAME No="1" Type="RD" Esc="0" Adr="10" Lng="2" Etat="2"/>)";

// A running station: stand-in, PLC simulator on dev/orxcom0 (port 2), plcbridge.
class PlcbridgeStation : public DriverStation {
  public:
    explicit PlcbridgeStation(const std::string& configuration)
        : DriverStation({kSite,
                         configuration,
                         {},
                         "syswaysim",
                         "/dev/orxcom0",
                         {"--control", "@/sim/plc.ctl", "--cue", "set 0 10 1234 0042"},
                         "/sim/plc.ctl",
                         "plcbridge",
                         {"Port=2"}}) {}
};

}  // namespace

TEST(PlcbridgeProgram, ReadsReachTheChannelsAndWritesReachThePlc) {
    PlcbridgeStation s(Configuration(kCom, kRead + R"(
<TRAME No="2" Type="WD" Esc="0" Adr="20" Lng="2" Voie="12"/>
<TRAME No="3" Type="**" Esc="0" Test="1" Etat="3"/>)"));
    ASSERT_TRUE(WaitUntil([&] {
        return s.core_.ReadShort(10) == 0x1234 && s.core_.ReadShort(11) == 0x42 &&
               s.core_.ReadBool(1) && s.core_.ReadBool(2) && s.core_.ReadBool(3);
    })) << s.box_.Log();
    ASSERT_TRUE(WaitUntil([&] {
        return s.sim_.Output().find("write unit 00 WD 0020: 0050 1234") != std::string::npos;
    })) << s.sim_.Output();
    // Echoed at once: the initialisation line is never needed.
    EXPECT_EQ(s.sim_.Output().find(" init"), std::string::npos);
    EXPECT_EQ(s.box_.ReadFile("/var/log/plcbridge.xml.status"), "** Mode Normal **\n");

    // A unit that stops answering: the test frame goes through the initialisation line.
    s.Tell("unit 0 off\n");
    ASSERT_TRUE(WaitUntil(
        [&] { return !s.core_.ReadBool(3) && !s.core_.ReadBool(2) && !s.core_.ReadBool(1); }, 20s))
        << s.box_.Log();
    EXPECT_NE(s.sim_.Output().find(" init"), std::string::npos);
    s.Tell("unit 0 on\n");
    ASSERT_TRUE(WaitUntil([&] { return s.core_.ReadBool(3) && s.core_.ReadBool(2); }, 15s));
}

TEST(PlcbridgeProgram, StateChannelsFallAtEachMisbehaviourAndRiseAtTheNextGoodAnswer) {
    PlcbridgeStation s(Configuration(kCom, kRead));
    ASSERT_TRUE(WaitUntil([&] { return s.core_.ReadBool(1) && s.core_.ReadBool(2); }))
        << s.box_.Log();
    SerialDebug trace;
    ASSERT_EQ(OpenSerialDebug(&trace, 2), 0);
    struct Case {
        const char* cue;
        const char* trace;  // what the port's trace says about it
    } cases[] = {
        {"badfcs 1", "FCS error\n"},
        {"otherunit 1", "Incoherence commande et/ou no automate\n"},
        {"endcode 15 1", "Error answer : status=21\n"},
        {"garble 1", "FCS error\n"},
        {"nocr 1", "*\nWaiting for 100 ms\n"},
        {"silence 1", "Rec(0) : \nWaiting for 100 ms\n"},
    };
    std::vector<int> before = s.ChannelWrites(1);
    long falls = std::count(before.begin(), before.end(), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cue);
        std::string text;
        char chunk[4096];
        ReadStrFromSerialDebug(&trace, chunk, sizeof chunk - 1);  // what came before the cue
        s.Tell(std::string(c.cue) + "\n");
        ++falls;
        // Each cue spoils one answer: both state channels fall once, then rise again.
        EXPECT_TRUE(WaitUntil(
            [&] {
                std::vector<int> link = s.ChannelWrites(1);
                std::vector<int> frame = s.ChannelWrites(2);
                return !link.empty() && !frame.empty() &&
                       std::count(link.begin(), link.end(), 0) == falls && link.back() == 1 &&
                       std::count(frame.begin(), frame.end(), 0) == falls && frame.back() == 1;
            },
            6s))
            << s.box_.Log();
        for (int more = 0; more == 0;) {
            more = ReadStrFromSerialDebug(&trace, chunk, sizeof chunk - 1);
            text += chunk;
        }
        EXPECT_NE(text.find(c.trace), std::string::npos) << text;
    }
    CloseSerialDebug(&trace);
    // The simulator's wrong FCS is the right one with bits 0x5A changed.
    EXPECT_TRUE(s.box_.LogHas("FCS $0E au lieu de $54", "err")) << s.box_.Log();
}

TEST(PlcbridgeProgram, WhatEndsItAtTheStart) {
    struct Case {
        std::string com;
        std::string trames;
        std::string log;     // a line of the log
        std::string status;  // the status file ("" when it is not written)
    } cases[] = {
        {kCom, R"(<TRAME No="1" Type="RD" Esc="0" Lng="31"/>)", "Parsing Error line 5 :",
         "1 : Line 5 \"Lng 31 dans trame No 1 doit etre entre 1 et 30\"\n** Mode Degrade **\n"},
        // The short port table: no USB adapters for plcbridge.
        {R"(<COM Type="plcbridge" Port="6" No="1">)", kRead, "the port 6 does not exist",
         "1 : Line 4 \"the port 6 does not exist\"\n** Mode Degrade **\n"},
        {R"(<COM Type="plcbridge" Port="3" No="1">)", kRead,
         "erreur d'ouverture du port serie /dev/orxcom1 : 2",
         "1 : Line 4 \"erreur d'ouverture du port serie /dev/orxcom1 : 2\"\n** Mode Degrade **\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log);
        Sandbox box;
        StationCore core(box, kSite);
        box.WriteFile("/var/parameters/configuration.xml", Configuration(c.com, c.trames));
        ProgramResult result = RunProgram(ProgramPath("plcbridge"), {}, 10s);
        EXPECT_FALSE(result.exited);
        EXPECT_EQ(result.signal, SIGABRT);
        EXPECT_TRUE(box.LogHas(c.log)) << box.Log();
        EXPECT_EQ(box.ReadFile("/var/log/plcbridge.xml.status"), c.status);
    }
}

}  // namespace plcbridge_test
