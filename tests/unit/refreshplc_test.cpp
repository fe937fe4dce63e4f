// The scan engine over the test driver's scripted PLC, with chanmgr's memories and queue made by
// the test: which frames are exchanged when, what the state, trigger and pulse channels receive,
// what reaches chanmgr from read frames and what write frames take from channels and set-points.
// Every wait is on the fake clock.
#include "refreshplc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "chanmgr_memories.h"
#include "conf.h"
#include "driverconfig.h"
#include "fakeclock.h"
#include "logdebug.h"
#include "plctestdriver.h"
#include "plcutilities.h"
#include "sandbox.h"
#include "serialdebug.h"

namespace {

struct Item {
    int number = 0;
    int kind = 0;  // 1 bool, 2 short, 3 long, 4 float
    long long value = 0;
    float real = 0;
};

// One request as chanmgr reads it, decoded from its bytes.
struct Request {
    int command = 0;
    int com = 0;
    int frame = 0;
    std::vector<Item> items;
};

Request Decode(const std::string& body) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(body.data());
    size_t at = 16;
    Request r;
    r.command = b[at++];
    if (r.command == 10) {
        r.com = (b[at] << 8) | b[at + 1];
        r.frame = (b[at + 2] << 8) | b[at + 3];
        at += 4;
    }
    while (at + 3 <= body.size()) {
        Item item;
        item.number = (b[at] << 8) | b[at + 1];
        item.kind = b[at + 2];
        at += 3;
        int width = item.kind == 1 ? 1 : item.kind == 2 ? 2 : 4;
        uint32_t raw = 0;
        for (int i = 0; i < width; ++i) {
            raw = (raw << 8) | b[at + i];
        }
        at += width;
        if (item.number == 0) {
            break;  // the terminator
        }
        item.value = item.kind == 1   ? (raw != 0)
                     : item.kind == 2 ? static_cast<int16_t>(raw)
                                      : static_cast<int32_t>(raw);
        std::memcpy(&item.real, &raw, 4);
        r.items.push_back(item);
    }
    EXPECT_EQ(at, body.size()) << "bytes after the terminator";
    return r;
}

class ScanEngine : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetChannelMaxNb();
        for (int n = 1; n <= 50; ++n) {
            ChannelRecordFields fields;
            fields.name = std::string("v").append(std::to_string(n));
            fields.type = 1;  // any type but 0: the readers give 0 for an unknown channel
            memories.SetRecord(n, fields);
        }
        memories.SetLastChannel(50);
        ASSERT_GE(queue.Id(), 0);
        PlcInitMsg();
    }
    void TearDown() override {
        PlcCloseMsg();
        IsDebug("none");
        ResetChannelMaxNb();
    }

    // Reads the COM (attributes) and frames given, and builds the engine over the PLC.
    void Build(const std::string& com, const std::string& frames, const std::string& voies = "") {
        box.WriteFile(driverconfig::kConfigurationPath,
                      "<STATION><AUTOMATE><COM Type=\"plctest\" No=\"1\" Timeout=\"1000\" " + com +
                          ">" + frames + "</COM></AUTOMATE><VOIES>" + voies + "</VOIES></STATION>");
        ASSERT_EQ(PlcConfigRead(&config, plctest::kDriverName, -1, PlcTestHook, nullptr), 0)
            << box.ReadFile("/var/log/plctest.xml.status");
        ASSERT_EQ(PlcTestRefreshInit(&context, &config, &plc), 0);
    }

    std::vector<Request> Requests() {
        std::vector<Request> requests;
        for (std::string body = queue.Take(); !body.empty(); body = queue.Take()) {
            requests.push_back(Decode(body));
        }
        return requests;
    }
    // Values written to the channel by single writes, in order.
    static std::vector<int> Writes(const std::vector<Request>& requests, int channel) {
        std::vector<int> values;
        for (const Request& r : requests) {
            for (const Item& item : r.items) {
                if (r.command == 3 && item.number == channel) {
                    values.push_back(static_cast<int>(item.value));
                }
            }
        }
        return values;
    }
    static std::vector<Request> FrameMessages(const std::vector<Request>& requests) {
        std::vector<Request> frames;
        for (const Request& r : requests) {
            if (r.command == 10) {
                frames.push_back(r);
            }
        }
        return frames;
    }

    FakeClock clock;
    Sandbox box;
    ChanmgrMemories memories;
    ChanmgrQueue queue;
    ScriptedPlc plc;
    PlcConfig config;
    PlcScanContext context;
};

}  // namespace

TEST_F(ScanEngine, ADisabledFrameShowsZeroAndTakesNoInterFrameWait) {
    Build("Intertrame=\"100\" Intercycle=\"1000\"",
          "<TRAME No=\"1\" Type=\"RW\" Lng=\"1\" Active=\"12\" Etat=\"13\"/>");
    PlcRefreshCycle(&context);
    EXPECT_EQ(plc.exchanges, 0);
    EXPECT_EQ(clock.ElapsedMs(), 1000);  // the inter-cycle wait only
    EXPECT_EQ(Writes(Requests(), 13), std::vector<int>{0});

    memories.SetBool(12, 1);
    PlcRefreshCycle(&context);
    EXPECT_EQ(plc.exchanges, 1);
    EXPECT_EQ(clock.ElapsedMs(), 1000 + 100 + 1000);
    EXPECT_EQ(Writes(Requests(), 13), std::vector<int>{1});
}

TEST_F(ScanEngine, ATriggerIsConsumedByAGoodExchangeOnly) {
    Build("", "<TRAME No=\"1\" Type=\"WW\" Lng=\"1\" Voie=\"20\" Declencheur=\"14\" Etat=\"15\"/>");
    PlcRefreshCycle(&context);  // not triggered
    EXPECT_EQ(plc.exchanges, 0);
    std::vector<Request> requests = Requests();
    EXPECT_EQ(Writes(requests, 15), std::vector<int>{0});
    EXPECT_TRUE(Writes(requests, 14).empty());

    memories.SetBool(14, 1);
    plc.failNext = 1;
    PlcRefreshCycle(&context);  // a failure keeps the trigger
    EXPECT_EQ(plc.exchanges, 1);
    EXPECT_TRUE(Writes(Requests(), 14).empty());

    memories.SetShort(20, 77);
    PlcRefreshCycle(&context);
    EXPECT_EQ(plc.exchanges, 2);
    EXPECT_EQ(plc.words[0], 77);
    requests = Requests();
    EXPECT_EQ(Writes(requests, 14), std::vector<int>{0});
    EXPECT_EQ(Writes(requests, 15), std::vector<int>{1});
}

TEST_F(ScanEngine, AChangeOnlyFrameIsSentWhenItsDataDifferFromTheLastGoodExchange) {
    Build("",
          "<TRAME No=\"1\" Type=\"WW\" Lng=\"2\" Adr=\"10\" Voie=\"20\" Modification=\"1\" "
          "Etat=\"15\"/>");
    PlcRefreshCycle(&context);  // all zero: equal to the zeroed reference
    EXPECT_EQ(plc.exchanges, 0);
    EXPECT_EQ(Writes(Requests(), 15), std::vector<int>{0});

    memories.SetShort(21, -5);
    PlcRefreshCycle(&context);
    PlcRefreshCycle(&context);
    EXPECT_EQ(plc.exchanges, 1);
    EXPECT_EQ(plc.words[11], static_cast<uint16_t>(-5));
    EXPECT_EQ(Writes(Requests(), 15), (std::vector<int>{1, 0}));

    memories.SetShort(20, 3);
    plc.failNext = 1;
    PlcRefreshCycle(&context);  // failed: the reference stays, so it is tried again
    PlcRefreshCycle(&context);
    PlcRefreshCycle(&context);
    EXPECT_EQ(plc.exchanges, 3);
    EXPECT_EQ(plc.words[10], 3);
}

TEST_F(ScanEngine, StateChannelsDropOnlyAfterNbDefFailuresInARow) {
    Build("NbDef=\"3\" Etat=\"30\"", "<TRAME No=\"1\" Type=\"RW\" Lng=\"1\" Etat=\"31\"/>");
    plc.failNext = 1;  // before any good exchange one failure shows 0
    PlcRefreshCycle(&context);
    std::vector<Request> requests = Requests();
    EXPECT_EQ(Writes(requests, 31), std::vector<int>{0});
    EXPECT_EQ(Writes(requests, 30), std::vector<int>{0});

    PlcRefreshCycle(&context);
    plc.failNext = 4;
    for (int cycle = 0; cycle < 4; ++cycle) {
        PlcRefreshCycle(&context);
    }
    requests = Requests();
    EXPECT_EQ(Writes(requests, 31), (std::vector<int>{1, 0, 0}));
    EXPECT_EQ(Writes(requests, 30), (std::vector<int>{1, 0, 0}));
}

TEST_F(ScanEngine, GoodExchangesPulseTheLinkAndFrameChannels) {
    Build("TrameOk=\"40\"",
          "<TRAME No=\"1\" Type=\"RW\" Lng=\"1\" TrameOk=\"41\"/>"
          "<TRAME No=\"2\" Type=\"RW\" Lng=\"1\"/>");
    PlcRefreshCycle(&context);
    std::vector<Request> requests = Requests();
    EXPECT_EQ(Writes(requests, 40), (std::vector<int>{1, 0, 1, 1, 0, 1}));
    EXPECT_EQ(Writes(requests, 41), (std::vector<int>{1, 0, 1}));
}

TEST_F(ScanEngine, ReadFramesReachChanmgrInAsManyMessagesAsTheRoomAllows) {
    struct Case {
        const char* type;
        int lng;
        std::vector<size_t> perMessage;  // items a message carries: 491 bytes, closed below 20
    } cases[] = {
        {"RW", 30, {30}},
        {"RW", 200, {95, 95, 10}},    // 5 bytes a word
        {"RL", 100, {68, 32}},        // 7 bytes a 32-bit value
        {"RB", 300, {118, 118, 64}},  // 4 bytes a bit
        {"RF", 3, {3}},
        {"RW", 0, {}},
    };
    for (int i = 0; i < 600; ++i) {
        plc.words[i] = static_cast<uint16_t>(i * 7 + 1);
    }
    for (const Case& c : cases) {
        config = {};
        context = {};
        Build("", "<TRAME No=\"9\" Type=\"" + std::string(c.type) + "\" Lng=\"" +
                      std::to_string(c.lng) + "\"/>");
        PlcRefreshCycle(&context);
        std::vector<Request> messages = FrameMessages(Requests());
        ASSERT_EQ(messages.size(), c.perMessage.size()) << c.type << c.lng;
        std::vector<Item> items;
        for (size_t m = 0; m < messages.size(); ++m) {
            EXPECT_EQ(messages[m].com, 1);
            EXPECT_EQ(messages[m].frame, 9);
            EXPECT_EQ(messages[m].items.size(), c.perMessage[m]) << c.type << c.lng;
            items.insert(items.end(), messages[m].items.begin(), messages[m].items.end());
        }
        ASSERT_EQ(items.size(), static_cast<size_t>(c.lng));
        for (int i = 0; i < c.lng; ++i) {
            EXPECT_EQ(items[i].number, i + 1);
            long long expected = 0;
            if (c.type[1] == 'W') {
                expected = static_cast<int16_t>(plc.words[i]);
            } else if (c.type[1] == 'L') {
                expected = static_cast<int32_t>(plc.Long(2 * i));
            } else if (c.type[1] == 'B') {
                expected = (plc.words[i / 16] >> (i % 16)) & 1;
            }
            if (c.type[1] == 'F') {
                EXPECT_EQ(items[i].real, plc.Real(2 * i));
            } else {
                EXPECT_EQ(items[i].value, expected) << c.type << " value " << i + 1;
            }
        }
    }
}

TEST_F(ScanEngine, DataItemsAreSentFromTheLastToTheFirstInTheFrameWordOrder) {
    struct Case {
        int bigEndianLong;
        long long counter;
    } cases[] = {{1, 65538}, {0, 131073}};
    for (const Case& c : cases) {
        config = {};
        context = {};
        plc.words[4] = 1;  // word 5
        plc.words[5] = 2;  // word 6
        plc.words[1] = 0x8001;
        Build("", "<TRAME No=\"3\" Type=\"RW\" Lng=\"6\" BigEndianLong=\"" +
                      std::to_string(c.bigEndianLong) +
                      "\"><BIT No=\"4\" Adr=\"2,16\"/><ANA No=\"5\" Adr=\"2\"/>"
                      "<CPT No=\"6\" Adr=\"5\"/><CPT No=\"7\" Adr=\"6\"/></TRAME>");
        PlcRefreshCycle(&context);
        std::vector<Request> messages = FrameMessages(Requests());
        ASSERT_EQ(messages.size(), 1u);
        // the counter at word 6 would need word 7: it was left out when the engine was built
        ASSERT_EQ(messages[0].items.size(), 3u);
        EXPECT_EQ(messages[0].items[0].number, 6);
        EXPECT_EQ(messages[0].items[0].kind, 3);
        EXPECT_EQ(messages[0].items[0].value, c.counter);
        EXPECT_EQ(messages[0].items[1].number, 5);
        EXPECT_EQ(static_cast<uint16_t>(messages[0].items[1].value), 0x8001);
        EXPECT_EQ(messages[0].items[2].number, 4);
        EXPECT_EQ(messages[0].items[2].value, 1);
    }
    EXPECT_TRUE(box.LogHas("divers.lib : Frame No 3 data No 7 at 6 outside the frame (6)", "err"))
        << box.Log();
}

TEST_F(ScanEngine, WriteFramesTakeTheirDataFromChannelsAndSetPoints) {
    memories.SetShortSetpoint(3, 111);
    memories.SetShortSetpoint(4, 222);
    memories.SetShort(21, 333);  // Voie wins over the set-point for word 2
    memories.SetFloatSetpoint(5, 1.5f);
    memories.SetFloat(31, 2.5f);
    memories.SetLong(40, 0x12345678);
    memories.SetBool(25, 1);
    memories.SetBool(27, 1);
    memories.SetBool(45, 1);
    memories.SetShort(46, -2);
    Build("",
          "<TRAME No=\"1\" Type=\"WW\" Adr=\"0\" Lng=\"2\" ConsigneE=\"3\"/>"
          "<TRAME No=\"2\" Type=\"WW\" Adr=\"10\" Lng=\"2\" ConsigneE=\"3\" Voie=\"20\"/>"
          "<TRAME No=\"3\" Type=\"WF\" Adr=\"20\" Lng=\"1\" ConsigneR=\"5\"/>"
          "<TRAME No=\"4\" Type=\"WF\" Adr=\"30\" Lng=\"2\" ConsigneR=\"5\" Voie=\"30\"/>"
          "<TRAME No=\"5\" Type=\"WL\" Adr=\"40\" Lng=\"1\" Voie=\"40\"/>"
          "<TRAME No=\"6\" Type=\"WL\" Adr=\"50\" Lng=\"1\" Voie=\"40\" Conversion=\"1\"/>"
          "<TRAME No=\"7\" Type=\"WL\" Adr=\"60\" Lng=\"1\" Voie=\"40\" Conversion=\"1\" "
          "BigEndianLong=\"0\"/>"
          "<TRAME No=\"8\" Type=\"WB\" Adr=\"70\" Lng=\"4\" Voie=\"24\"/>"
          "<TRAME No=\"9\" Type=\"WW\" Adr=\"80\" Lng=\"3\"/>"
          "<TRAME No=\"10\" Type=\"WB\" Adr=\"90\" Lng=\"12\"/>",
          "<VOIE No=\"46\"><DST Automate=\"1,9,3\"/></VOIE>"
          "<VOIE No=\"45\"><DST Automate=\"1,10,11\"/><DST Automate=\"2,10,1\"/></VOIE>");
    PlcRefreshCycle(&context);
    EXPECT_EQ(plc.exchanges, 10);
    EXPECT_EQ(plc.words[0], 111);
    EXPECT_EQ(plc.words[1], 222);
    EXPECT_EQ(plc.words[10], 0);  // channel 20
    EXPECT_EQ(plc.words[11], 333);
    EXPECT_EQ(plc.Real(20), 1.5f);
    EXPECT_EQ(plc.Real(30), 0.0f);  // channel 30
    EXPECT_EQ(plc.Real(32), 2.5f);
    EXPECT_EQ(plc.Long(40), 0x12345678u);
    EXPECT_EQ(plc.words[50], 0x1234);  // most significant word first
    EXPECT_EQ(plc.words[51], 0x5678);
    EXPECT_EQ(plc.words[60], 0x5678);
    EXPECT_EQ(plc.words[61], 0x1234);
    EXPECT_EQ(plc.words[70] & 0xFF, 0b1010);  // channels 24..27: 25 and 27
    EXPECT_EQ(plc.words[82], static_cast<uint16_t>(-2));
    EXPECT_EQ(plc.words[90], 1 << 10);  // data index 11, the other communication's not
}

TEST_F(ScanEngine, AMappingBeyondTheFrameEndsThatPass) {
    memories.SetShort(20, 5);
    memories.SetShort(21, 6);
    memories.SetShort(22, 7);
    Build("", "<TRAME No=\"4\" Type=\"WW\" Lng=\"2\"/>",
          "<VOIE No=\"20\"><DST Automate=\"1,4,1\"/></VOIE>"
          "<VOIE No=\"21\"><DST Automate=\"1,4,3\"/></VOIE>"
          "<VOIE No=\"22\"><DST Automate=\"1,4,2\"/></VOIE>");
    PlcRefreshCycle(&context);
    EXPECT_EQ(plc.words[0], 5);
    EXPECT_EQ(plc.words[1], 0);  // after the faulty mapping: not applied
    EXPECT_TRUE(box.LogHas("divers.lib : Frame No 4 NoData(3) > Lng(2", "err")) << box.Log();
}

TEST_F(ScanEngine, TheTraceTellsEachCycleAndFrame) {
    plc.withTrace = true;
    Build("Intertrame=\"5\"",
          "<TRAME No=\"1\" Type=\"RW\" Lng=\"1\" Active=\"12\"/>"
          "<TRAME No=\"2\" Type=\"WW\" Lng=\"1\" Modification=\"1\"/>"
          "<TRAME No=\"3\" Type=\"RW\" Lng=\"1\" Declencheur=\"13\"/>"
          "<TRAME No=\"4\" Type=\"RW\" Lng=\"2\"><ANA No=\"1\" Adr=\"2\"/>"
          "</TRAME>");
    SerialDebug reader;
    ASSERT_EQ(OpenSerialDebug(&reader, -1), 0);
    plc.words[1] = 0x10;
    plc.failNext = 4;  // frame 4 of this cycle; nothing else is exchanged
    PlcRefreshCycle(&context);
    plc.failNext = 0;
    memories.SetBool(12, 1);
    PlcRefreshCycle(&context);
    char text[4096];
    ReadStrFromSerialDebug(&reader, text, sizeof text - 1);
    EXPECT_STREQ(text,
                 "Cycle No 1\n"
                 "Frame No 1 Waiting of channel(12)\n"
                 "Frame No 2 \nwaiting of a modification "
                 "Frame No 3 waiting of release on channel(13)\n"
                 "Frame No 4 \nFrame KO\nWaiting (5 ms)\n"
                 "Cycle No 2\n"
                 "Frame No 1 \nWaiting (5 ms)\n"
                 "Frame No 2 \nwaiting of a modification "
                 "Frame No 3 waiting of release on channel(13)\n"
                 "Frame No 4 \nData No 1 Analog=16 $0010\nWaiting (5 ms)\n");
    CloseSerialDebug(&reader);
}

TEST_F(ScanEngine, TheDriverWaitAndStatisticsTakeTheDefaultsPlace) {
    static std::vector<int> calls;  // waits in ms, -1 for the statistics
    calls.clear();
    Build("Intertrame=\"7\" Intercycle=\"300\"",
          "<TRAME No=\"1\" Type=\"RW\" Lng=\"1\"/><TRAME No=\"2\" Type=\"RW\" Lng=\"1\" "
          "Active=\"12\"/><TRAME No=\"3\" Type=\"RW\" Lng=\"1\"/>");
    context.wait = [](PlcScanContext*, int ms) { calls.push_back(ms); };
    context.statistics = [](PlcScanContext*) { calls.push_back(-1); };
    PlcRefreshCycle(&context);
    PlcRefreshCycle(&context);
    EXPECT_EQ(calls, (std::vector<int>{7, 7, 300, -1, 7, 7, 300, -1}));
    EXPECT_EQ(clock.ElapsedMs(), 0);
    EXPECT_EQ(context.cycle, 2);
}
