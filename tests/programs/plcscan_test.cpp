// The scan engine with the test driver against the station core stand-in: values read from the
// scripted PLC reach the channels through the stand-in's frame map, and write frames carry the
// channels and set-points the stand-in publishes to the PLC.
#include <gtest/gtest.h>

#include <string>

#include "conf.h"
#include "driverconfig.h"
#include "plctestdriver.h"
#include "plcutilities.h"
#include "refreshplc.h"
#include "sandbox.h"
#include "stationcore_fixture.h"
#include "xmlplc.h"

// Its own namespace: the program tests are compiled in batches.
namespace plcscan_test {

namespace {

const char* kSite = R"(channels 50
channel 1 ETOR "Liaison automate"
channel 2 ETOR "Trame mesures"
channel 10 EANA "Niveau"
channel 11 EANA "Debit"
channel 12 CPT "Volume"
channel 13 ETOR "Pompe en marche"
channel 20 SANA "Vitesse" value=1500
channel 21 SANA "Pression" value=-3
channel 22 STOR "Marche" value=1
setpoint int 5 4321
setpoint real 2 12.5
frame 1 1 1-4 10
)";

const char* kConfiguration = R"(<?xml version="1.0" encoding="ISO-8859-1"?>
<STATION>
<AUTOMATE>
<COM Type="plctest" Port="-1" No="1" Etat="1" Timeout="1000">
<TRAME No="1" Type="RW" Adr="100" Lng="4" Etat="2">
<ANA No="1" Adr="1"/><ANA No="2" Adr="2"/><CPT No="3" Adr="3"/><BIT No="4" Adr="1,4"/>
</TRAME>
<TRAME No="2" Type="WW" Adr="200" Lng="2" Voie="20"/>
<TRAME No="3" Type="WW" Adr="300" Lng="1" ConsigneE="5"/>
<TRAME No="4" Type="WF" Adr="400" Lng="1" ConsigneR="2"/>
<TRAME No="5" Type="WB" Adr="500" Lng="8"/>
</COM>
</AUTOMATE>
<VOIES><VOIE No="22"><DST Automate="1,5,3"/></VOIE></VOIES>
</STATION>
)";

}  // namespace

TEST(PlcScanWithStationCore, ValuesTravelBothWaysThroughTheFrames) {
    Sandbox box;
    StationCore core(box, kSite);
    ASSERT_TRUE(core.Ready()) << core.Output();
    box.WriteFile(driverconfig::kConfigurationPath, kConfiguration);
    ResetChannelMaxNb();

    PlcConfig config;
    ASSERT_EQ(PlcConfigRead(&config, plctest::kDriverName, -1, PlcTestHook, nullptr), 0)
        << box.ReadFile("/var/log/plctest.xml.status");
    ScriptedPlc plc;
    plc.words[100] = 250;     // Niveau, and its bit 4 (from 1) for the pump: 250 = 0b11111010
    plc.words[101] = 0xFFFE;  // Debit: -2
    plc.words[102] = 0x0001;  // Volume: 0x0001 0x86A0 = 100000
    plc.words[103] = 0x86A0;
    PlcScanContext context;
    ASSERT_EQ(PlcTestRefreshInit(&context, &config, &plc), 0);
    PlcInitMsg();
    PlcRefreshCycle(&context);
    PlcRefreshCycle(&context);

    EXPECT_TRUE(WaitUntil([&] {
        return core.ReadShort(10) == 250 && core.ReadShort(11) == -2 &&
               core.ReadLong(12) == 100000 && core.ReadBool(13) && core.ReadBool(1) &&
               core.ReadBool(2);
    })) << core.ReadShort(10)
        << " " << core.ReadShort(11) << " " << core.ReadLong(12) << " " << core.ReadBool(13)
        << core.ReadBool(1) << core.ReadBool(2) << "\n"
        << box.ReadFile("/var/log/stationcore.journal");
    EXPECT_EQ(plc.words[200], 1500);
    EXPECT_EQ(plc.words[201], static_cast<uint16_t>(-3));
    EXPECT_EQ(plc.words[300], 4321);
    EXPECT_EQ(plc.Real(400), 12.5f);
    EXPECT_EQ(plc.words[500], 1 << 2);  // channel 22 feeds data index 3

    // nothing the engine sent was refused by the stand-in
    EXPECT_EQ(core.Count([](const JournalEntry& e) { return e.kind == "error"; }), 0);
    PlcCloseMsg();
}

}  // namespace plcscan_test
