// busbridge's X-WAY driver in-process: its frame table rules (status lines), the request bytes of
// each code and what it makes of the answers, on the in-memory line with the test playing the bus
// master (fake clock), the time limits of an exchange, the wait that serves the bus, and the
// statistics lines.
#include "xway.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "clock.h"
#include "driverconfig.h"
#include "fakeclock.h"
#include "memoryline.h"
#include "plctestdriver.h"
#include "refreshplc.h"
#include "sandbox.h"
#include "serialdebug.h"
#include "unitelway_frames.h"

namespace {

using utwtest::Bytes;
using utwtest::Frame;
using utwtest::Hex;
using utwtest::Poll;

const std::string kEsc = "Esc=\"1,2,3,4,5\" ";
// The answer's first seven data bytes before the answer code.
const std::string kAnswerHead = Bytes({0x20, 0x05, 0x04, 0x03, 0x02, 0x01});

std::string Request(int code, std::initializer_list<int> rest) {
    return Bytes({0x20, 1, 2, 3, 4, 5, code, 0x07}) + Bytes(rest);
}

class Busbridge : public testing::Test {
  protected:
    void TearDown() override {
        if (driver->link.line.open) {
            LineClose(&driver->link.line);
        }
        CloseSerialDebug(&driver->link.trace);
        PlcTestNotices();
    }

    // The COM's attributes and its frames, as the file holds them (the TRAMEs from line 3).
    int Load(const std::string& com, const std::string& trames) {
        box.WriteFile(driverconfig::kConfigurationPath,
                      "<STATION><AUTOMATE>\n<COM Type=\"BusBridge\" Port=\"6\" No=\"1\" "
                      "Timeout=\"1000\" " +
                          com + ">\n" + trames + "\n</COM></AUTOMATE></STATION>\n");
        return PlcConfigRead(&config, xway::kDriverName, -1, BusbridgeHook, nullptr);
    }
    std::string Status() const { return box.ReadFile("/var/log/busbridge.xml.status"); }

    // The engine's context over the in-memory line.
    void Build(const std::string& com, const std::string& trames) {
        ASSERT_EQ(Load(com, trames), 0) << Status();
        MemoryLineAttach(&driver->link.line, &peer);
        context.link = driver.get();
        PlcDriverHooks hooks = BusbridgeHooks();
        ASSERT_EQ(PlcRefreshInit(&context, &config, &hooks), 0);
        driver->link.abortOnReadError = false;
    }
    PlcFrameRuntime& Frame1() { return context.frames.at(0); }
    // Polls for this station every `everyMs`, `count` of them, from now.
    void Polls(int count, int everyMs) {
        for (int i = 0; i < count; ++i) {
            peer.Arrive(Poll(6), i == 0 ? 0 : everyMs);
        }
    }
    std::string Trace() {
        char text[16384] = {};
        ReadStrFromSerialDebug(&reader, text, sizeof text - 1);
        return text;
    }

    FakeClock clock;
    Sandbox box;
    MemoryLine peer;
    std::unique_ptr<BusbridgeDriver> driver = std::make_unique<BusbridgeDriver>();
    PlcConfig config;
    PlcScanContext context;
    SerialDebug reader;
};

TEST_F(Busbridge, FrameTableRulesOfTheDriver) {
    struct Case {
        const char* name;
        std::string com;
        std::string trame;
        // Accepted: Lng, direction, kind and size the engine gets. Refused: the status line.
        int lng = 0;
        bool write = false;
        plc::DataKind kind = plc::DataKind::kBits;
        int size = 0;
        std::string refusal = "";
    } cases[] = {
        {"Code 4 reads one word whatever Lng says", "", "Code=\"4\" Lng=\"10\"", 1, false,
         plc::DataKind::kWords, 2},
        {"Code 0 reads 8 bits", "", "Code=\"0\" Lng=\"3\"", 8, false, plc::DataKind::kBits, 8},
        {"Code 16 writes one bit", "", "Code=\"16\"", 1, true, plc::DataKind::kBits, 1},
        {"Code 70 writes a double word", "", "Code=\"70\" Lng=\"4\"", 1, true,
         plc::DataKind::kLongs, 4},
        {"Code 54 Type 5 Lng 16 reads 16 bits into 2 bytes", "",
         "Code=\"54\" Type=\"5\" Lng=\"16\" Segment=\"100\"", 16, false, plc::DataKind::kBits, 2},
        {"Code 55 Type 8 Lng 30 writes 30 double words", "", "Code=\"55\" Type=\"8\" Lng=\"30\"",
         30, true, plc::DataKind::kLongs, 120},
        {"Code 54 Type 5 Lng 12", "", "Code=\"54\" Type=\"5\" Lng=\"12\"", 0, false,
         plc::DataKind::kBits, 0,
         "1 : Line 3 \"Lng (12) of frame No 1  is not a multiple of 8\"\n"},
        {"Code 54 Type 6 Lng 88", "", "Code=\"54\" Type=\"6\" Lng=\"88\"", 0, false,
         plc::DataKind::kBits, 0, "1 : Line 3 \"Lng (88) of frame No 1  is too big\"\n"},
        {"Code 55 Type 7 Lng 61", "", "Code=\"55\" Type=\"7\" Lng=\"61\"", 0, false,
         plc::DataKind::kBits, 0, "1 : Line 3 \"Lng (61) of frame No 1  is too big\"\n"},
        {"Code 54 Type 9", "", "Code=\"54\" Type=\"9\" Lng=\"1\"", 0, false, plc::DataKind::kBits,
         0, "1 : Line 3 \"Type (9) of frame No 1  is unknow\"\n"},
        {"Code 3", "", "Code=\"3\"", 0, false, plc::DataKind::kBits, 0,
         "1 : Line 3 \"code 3 of frame No 1  is not valid\"\n"},
        {"Adr 65535 and Segment 255 are the bounds", "",
         "Code=\"54\" Type=\"7\" Lng=\"1\" Adr=\"65535\" Segment=\"255\"", 1, false,
         plc::DataKind::kWords, 2},
        {"Adr 65536", "", "Code=\"4\" Adr=\"65536\"", 0, false, plc::DataKind::kBits, 0,
         "1 : Line 3 \"Adr (65536) of frame No 1  is not in [0,65535]\"\n"},
        {"Adr -1", "", "Code=\"20\" Adr=\"-1\"", 0, false, plc::DataKind::kBits, 0,
         "1 : Line 3 \"Adr (-1) of frame No 1  is not in [0,65535]\"\n"},
        {"Segment 256", "", "Code=\"55\" Type=\"7\" Lng=\"1\" Segment=\"256\"", 0, false,
         plc::DataKind::kBits, 0,
         "1 : Line 3 \"Segment (256) of frame No 1  is not in [0,255]\"\n"},
        {"AdresseEsclave 254", "AdresseEsclave=\"254\"", "Code=\"4\"", 0, false,
         plc::DataKind::kBits, 0, "1 : Line 2 \"the station 254  is not valid\"\n"},
        {"TimeoutAck below the silence time", "TimeoutAck=\"50\"", "Code=\"4\"", 0, false,
         plc::DataKind::kBits, 0, "1 : Line 2 \"timeoutack except limit [100,10000]\"\n"},
    };
    for (const Case& c : cases) {
        config = PlcConfig{};
        int result = Load(c.com, "<TRAME No=\"1\" " + kEsc + c.trame + "/>");
        if (!c.refusal.empty()) {
            EXPECT_EQ(result, -1) << c.name;
            EXPECT_EQ(Status(), c.refusal + "** Mode Degrade **\n") << c.name;
            continue;
        }
        ASSERT_EQ(result, 0) << c.name << "\n" << Status();
        PlcFrameRuntime frame;
        frame.config = config.frames.at(0);
        ASSERT_EQ(BusbridgeFrameInit(&context, &frame), 0) << c.name;
        EXPECT_EQ(frame.config.lng, c.lng) << c.name;
        EXPECT_EQ(frame.config.write, c.write) << c.name;
        EXPECT_EQ(frame.kind, c.kind) << c.name;
        EXPECT_EQ(frame.size, c.size) << c.name;
        EXPECT_EQ(frame.exchange, XwayExchange) << c.name;
    }
}

TEST_F(Busbridge, AFrameWithoutItsFiveAddressBytesOrItsCodeIsAnErrorWithItsLine) {
    EXPECT_EQ(Load("",
                   "<TRAME No=\"1\" Esc=\"1,2,3,4\" Code=\"4\"/>\n"
                   "<TRAME No=\"2\" Esc=\"1,2,3,4,300\" Code=\"4\"/>\n"
                   "<TRAME No=\"3\" " +
                       kEsc + "/>\n<TRAME No=\"4\" " + kEsc + "Code=\"4\"/>"),
              -1);
    EXPECT_EQ(Status(),
              "1 : Line 3 \"Esc of frame No 1  needs 5 numbers from 0 to 255\"\n"
              "2 : Line 4 \"Esc of frame No 2  needs 5 numbers from 0 to 255\"\n"
              "3 : Line 5 \"Code of frame No 3  is missing\"\n"
              "** Mode Degrade **\n");
    EXPECT_TRUE(box.LogHas("error in analyze", "err"));
}

TEST_F(Busbridge, EachCodeSendsItsRequestAndTakesItsAnswer) {
    struct Case {
        const char* name;
        std::string trame;
        std::string buffer;   // write frames: the data to send (host order)
        std::string request;  // the request's data bytes
        std::string answer;   // the answer's data bytes ("": none comes)
        int result;
        std::string data;  // the frame's buffer after the exchange
        bool acknowledged;
        int tooShort = 0;
        int negative = 0;
        std::string stray = "";  // an answer to another request, before the answer
    } cases[] = {
        {"Code 4 reads a word", "Code=\"4\" Adr=\"300\"", "", Request(4, {0x2C, 0x01}),
         kAnswerHead + Bytes({0x34, 0xCD, 0xAB}), 1, Bytes({0xCD, 0xAB}), true},
        {"Code 0 reads 8 bits into the first byte", "Code=\"0\" Adr=\"16\"", "",
         Request(0, {0x10, 0x00}), kAnswerHead + Bytes({0x30, 0xA5}), 1,
         Bytes({0xA5, 0, 0, 0, 0, 0, 0, 0}), true},
        {"Code 64 reads a double word", "Code=\"64\" Adr=\"2\"", "", Request(64, {0x02, 0x00}),
         kAnswerHead + Bytes({0x70, 0x78, 0x56, 0x34, 0x12}), 1, Bytes({0x78, 0x56, 0x34, 0x12}),
         true},
        {"Code 54 Type 5 Lng 16 reads 16 bits",
         "Code=\"54\" Type=\"5\" Segment=\"100\" Adr=\"8\" "
         "Lng=\"16\"",
         "", Request(54, {100, 5, 0x08, 0x00, 16, 0x00}),
         kAnswerHead + Bytes({0x66, 0x05, 0x34, 0x12}), 1, Bytes({0x34, 0x12}), true},
        {"Code 54 Type 7 reads three words (the data DLEs doubled both ways)",
         "Code=\"54\" Type=\"7\" Segment=\"104\" Adr=\"16\" Lng=\"3\"", "",
         Request(54, {104, 7, 0x10, 0x00, 3, 0x00}),
         kAnswerHead + Bytes({0x66, 0x07, 0x01, 0x00, 0x10, 0x10, 0xFF, 0x7F}), 1,
         Bytes({0x01, 0x00, 0x10, 0x10, 0xFF, 0x7F}), true},
        {"Code 20 writes a word; 0xFE is positive", "Code=\"20\" Adr=\"200\"", Bytes({0xDC, 0x05}),
         Request(20, {0xC8, 0x00, 0xDC, 0x05}), kAnswerHead + Bytes({0xFE}), 1, Bytes({0xDC, 0x05}),
         true},
        {"Code 16 writes data bit 1", "Code=\"16\" Adr=\"5\"", Bytes({0xFF}),
         Request(16, {0x05, 0x00, 0x01}), kAnswerHead + Bytes({0xFE}), 1, Bytes({0xFF}), true},
        {"Code 16 writes data bit 0", "Code=\"16\" Adr=\"5\"", Bytes({0xFE}),
         Request(16, {0x05, 0x00, 0x00}), kAnswerHead + Bytes({0xFE}), 1, Bytes({0xFE}), true},
        {"Code 70 writes a double word", "Code=\"70\" Adr=\"40\"", Bytes({1, 2, 3, 4}),
         Request(70, {40, 0, 1, 2, 3, 4}), kAnswerHead + Bytes({0xFE}), 1, Bytes({1, 2, 3, 4}),
         true},
        {"Code 55 Type 7 writes two words",
         "Code=\"55\" Type=\"7\" Segment=\"104\" Adr=\"20\" "
         "Lng=\"2\"",
         Bytes({0x34, 0x12, 0x78, 0x56}),
         Request(55, {104, 7, 20, 0, 2, 0, 0x34, 0x12, 0x78, 0x56}), kAnswerHead + Bytes({0xFE}), 1,
         Bytes({0x34, 0x12, 0x78, 0x56}), true},
        {"0xFD is negative and still acknowledged", "Code=\"4\" Adr=\"1\"", "", Request(4, {1, 0}),
         kAnswerHead + Bytes({0xFD}), 0, Bytes({0, 0}), true, 0, 1},
        {"an answer of 6 data bytes is refused without acknowledgement", "Code=\"4\" Adr=\"1\"", "",
         Request(4, {1, 0}), kAnswerHead, 0, Bytes({0, 0}), false, 1},
        {"a positive answer without the word asked for is another's", "Code=\"4\" Adr=\"1\"", "",
         Request(4, {1, 0}), kAnswerHead + Bytes({0x34, 0x02, 0x01}), 1, Bytes({0x02, 0x01}), true,
         0, 0, kAnswerHead + Bytes({0x34, 0x01})},
        {"the answer to a read of code 5 is refused by one of code 4", "Code=\"4\" Adr=\"1\"", "",
         Request(4, {1, 0}), kAnswerHead + Bytes({0x34, 0x02, 0x01}), 1, Bytes({0x02, 0x01}), true,
         0, 0, kAnswerHead + Bytes({0x35, 9, 9})},
        {"an answer of four objects to a request of three is refused",
         "Code=\"54\" Type=\"7\" Segment=\"104\" Adr=\"16\" Lng=\"3\"", "",
         Request(54, {104, 7, 0x10, 0x00, 3, 0x00}),
         kAnswerHead + Bytes({0x66, 0x07, 1, 0, 2, 0, 3, 0}), 1, Bytes({1, 0, 2, 0, 3, 0}), true, 0,
         0, kAnswerHead + Bytes({0x66, 0x07, 9, 0, 9, 0, 9, 0, 9, 0})},
        {"a read's answer to a write is refused", "Code=\"20\" Adr=\"200\"", Bytes({0xDC, 0x05}),
         Request(20, {0xC8, 0x00, 0xDC, 0x05}), kAnswerHead + Bytes({0xFE}), 1, Bytes({0xDC, 0x05}),
         true, 0, 0, kAnswerHead + Bytes({0x34, 9, 9})},
    };
    for (const Case& c : cases) {
        TearDown();
        driver = std::make_unique<BusbridgeDriver>();
        peer = MemoryLine();
        context = PlcScanContext();
        Build("", "<TRAME No=\"1\" " + kEsc + c.trame + "/>");
        PlcFrameRuntime& frame = Frame1();
        std::memcpy(frame.data.data(), c.buffer.data(), c.buffer.size());
        std::string request = Frame(6, c.request);
        peer.Arrive(Poll(6));
        std::string stray = c.stray.empty() ? "" : Frame(6, c.stray);
        peer.Answer(request, utwtest::kAck + stray + Frame(6, c.answer), 5);

        EXPECT_EQ(XwayExchange(&context, &frame), c.result) << c.name;
        std::string data(frame.data.begin(), frame.data.end());
        EXPECT_EQ(Hex(data), Hex(c.data)) << c.name;
        std::string refusal = c.stray.empty() ? "" : utwtest::kNak;
        EXPECT_EQ(Hex(peer.TakeSent()),
                  Hex(request + refusal + (c.acknowledged ? utwtest::kAck : "")))
            << c.name;
        const XwayContext& x = driver->xway;
        EXPECT_EQ(x.answers, c.stray.empty() ? 1 : 2) << c.name;
        EXPECT_EQ(x.strayAnswers, c.stray.empty() ? 0 : 1) << c.name;
        EXPECT_EQ(x.tooShort, c.tooShort) << c.name;
        EXPECT_EQ(x.negativeAnswers, c.negative) << c.name;
        EXPECT_EQ(x.answerTimeouts, 0) << c.name;
    }
}

TEST_F(Busbridge, EveryWaitOnTheBusIsBoundedAndKeepsAnsweringPolls) {
    Build("Silence=\"100\" TimeoutAck=\"300\"",
          "<TRAME No=\"1\" " + kEsc + "Code=\"4\" Adr=\"1\"/>");
    EXPECT_EQ(driver->link.ackAttempts, 3);
    ASSERT_EQ(OpenSerialDebug(&reader, 6), 0);
    std::string request = Frame(6, Request(4, {1, 0}));
    std::string eot = utwtest::kEot;
    auto eots = [](const std::string& sent) {
        return static_cast<int>(std::count(sent.begin(), sent.end(), '\x04'));
    };

    // The master acknowledges the request but never answers: polls get EOT until Timeout.
    Polls(100, 20);
    peer.Answer(request, utwtest::kAck);
    long long start = clock.ElapsedMs();
    EXPECT_EQ(XwayExchange(&context, &Frame1()), 0);
    EXPECT_EQ(clock.ElapsedMs() - start, 1000);
    std::string sent = peer.TakeSent();
    EXPECT_EQ(sent.substr(0, request.size()), request);
    EXPECT_EQ(eots(sent.substr(request.size())), 50);
    EXPECT_EQ(driver->xway.answerTimeouts, 1);
    EXPECT_NE(Trace().find("maximum going beyond time for the answer\n"), std::string::npos);

    // A wait of 500 ms under 20 ms polling answers about 25 polls; a frame meanwhile gets NAK.
    peer.ArriveAt(clock.ElapsedMs() + 5, Frame(6, kAnswerHead + Bytes({0x34, 1, 2})));
    XwayWait(&context, 500);
    sent = peer.TakeSent();
    EXPECT_GE(eots(sent), 24);
    EXPECT_LE(eots(sent), 26);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), '\x15'), 1);
    EXPECT_NE(Trace().find("Wait (500 ms)\n"), std::string::npos);
    // A wait of 0 takes one event all the same.
    XwayWait(&context, 0);
    EXPECT_EQ(peer.TakeSent(), eot);
    SlaveLinkResetReceiver(&driver->link);
    clock.AdvanceMs(5000);  // the polls scripted above are long past
    peer.Flush();

    // A PLC that stops polling: the exchange fails after Timeout instead of waiting for ever.
    start = clock.ElapsedMs();
    EXPECT_EQ(XwayExchange(&context, &Frame1()), 0);
    EXPECT_GE(clock.ElapsedMs() - start, 1000);
    EXPECT_LE(clock.ElapsedMs() - start, 1100);
    EXPECT_EQ(peer.TakeSent(), "");
    EXPECT_EQ(driver->xway.answerTimeouts, 2);
    EXPECT_NE(Trace().find("no polling within the time for the answer (1000 ms)\n"),
              std::string::npos);
    // Nor does a silent line hold a wait.
    start = clock.ElapsedMs();
    XwayWait(&context, 250);
    EXPECT_EQ(clock.ElapsedMs() - start, 300);  // whole pacing periods

    // A request that is never acknowledged: three attempts, then the exchange fails.
    Polls(1, 0);
    start = clock.ElapsedMs();
    EXPECT_EQ(XwayExchange(&context, &Frame1()), 0);
    EXPECT_EQ(clock.ElapsedMs() - start, 300);
    EXPECT_EQ(driver->link.counters.ackTimeouts, 1);

    XwayStatistics(&context);
    const SlaveLinkCounters& n = driver->link.counters;
    char expected[256];
    std::snprintf(expected, sizeof expected,
                  "Snd(Ack=0 Nack=1 Frame=2) Rec(Ack=1 Nack=0 TimeoutAck=1 Frame=0) "
                  "Polling=%d Error(Bcc=0 Dle=0 Sync=0 TimeoutAnswer=2 NegativeAnswer=0) \n",
                  n.polls);
    EXPECT_NE(Trace().find(expected), std::string::npos) << expected;
    CloseSerialDebug(&reader);
}

}  // namespace
