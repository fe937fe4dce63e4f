// The Uni-Telway slave link on the in-memory line (fake clock): the bytes of a frame it sends,
// the events and counters the receive state machine makes of what the master sends (whole or one
// byte at a time), the acknowledgement wait, a silent line and a hang-up.
#include "unitelway.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "clock.h"
#include "fakeclock.h"
#include "memoryline.h"
#include "sandbox.h"
#include "serialdebug.h"
#include "unitelway_frames.h"

namespace {

using unitelway::Event;
using utwtest::Bytes;
using utwtest::Frame;
using utwtest::Hex;
using utwtest::Poll;

class SlaveLinkTest : public testing::Test {
  protected:
    void SetUp() override {
        MemoryLineAttach(&link->line, &peer);
        ASSERT_EQ(SlaveLinkInit(link.get(), "/dev/ttyUSB0", 19200, 'E'), 0);
        link->abortOnReadError = false;
    }
    void TearDown() override {
        LineClose(&link->line);
        CloseSerialDebug(&link->trace);
    }

    // Events until the line has been silent for a pacing period.
    std::vector<Event> Events() {
        std::vector<Event> events;
        for (Event e = SlaveLinkReceive(link.get()); e != Event::kSilence && events.size() < 50;
             e = SlaveLinkReceive(link.get())) {
            events.push_back(e);
        }
        return events;
    }
    std::string Received() const {
        return std::string(reinterpret_cast<const char*>(link->received + 1), link->received[0]);
    }

    FakeClock clock;
    Sandbox box;
    MemoryLine peer;
    std::unique_ptr<SlaveLink> link = std::make_unique<SlaveLink>();
};

TEST_F(SlaveLinkTest, OpensEightBitsOneStopWithRs485AndTheDefaults) {
    EXPECT_EQ(peer.Profile().speed, 19200);
    EXPECT_EQ(peer.Profile().parity, 'E');
    EXPECT_EQ(peer.Profile().dataBits, 8);
    EXPECT_EQ(peer.Profile().stopBits, 1);
    EXPECT_TRUE(peer.Profile().rs485);
    EXPECT_EQ(peer.Flushes(), 1);
    EXPECT_EQ(link->address, 6);
    EXPECT_EQ(link->pacingMs, 100);
    EXPECT_EQ(link->ackAttempts, 10);
    EXPECT_NE(link->trace.segment, nullptr);

    SlaveLink missing;
    EXPECT_EQ(SlaveLinkInit(&missing, "/dev/ttyUSB3", 9600, 'O'), -1);
    EXPECT_TRUE(box.LogHas("error in opening of /dev/ttyUSB3 : 2", "err")) << box.Log();
}

TEST_F(SlaveLinkTest, WhatTheMasterSendsBecomesEventsAndCounters) {
    const std::string data = Bytes({0x20, 0x10, 0x00, 0x01, 0x02, 0x03, 0x34, 0xCD, 0xAB});
    const std::string sixteen(16, '\x10');
    // A frame whose BCC comes out as a DLE, which is never doubled.
    const std::string bccIsDle = Bytes({0x20, 0, 0, 0, 0, 0xD2});
    struct Case {
        const char* name;
        std::string bytes;
        std::vector<Event> events;
        std::string data;  // of the last frame event
        SlaveLinkCounters counts;
        const char* log = nullptr;
    } cases[] = {
        {"a poll for this station", Poll(6), {Event::kPolled}, "", {.polls = 1}},
        {"a poll for another station", Poll(7), {}, "", {}},
        {"a frame for this station", Frame(6, data), {Event::kFrame}, data, {.framesReceived = 1}},
        {"a frame for another station",
         Frame(7, data) + Poll(6),
         {Event::kPolled},
         "",
         {.polls = 1}},
        {"a wrong BCC", Frame(6, data, 1), {}, "", {.bccErrors = 1}, "checksum error"},
        {"a length below 6",
         Bytes({0x10, 0x02, 0x06, 0x05, 1, 2, 3, 4, 5, 0x2D}),
         {},
         "",
         {.bccErrors = 1, .syncErrors = 5},  // 1, 2, 3, 5 and the BCC; EOT is no error
         "lng error 5 not in [6,507]"},
        {"a lone DLE in the data ends the frame; the next poll is seen",
         Bytes({0x10, 0x02, 0x06, 0x06, 0x20, 0x10, 0x41}) + Poll(6),
         {Event::kPolled},
         "",
         {.dleErrors = 1, .polls = 1},
         "DLE error"},
        {"DLE STX inside the data starts a new frame",
         Bytes({0x10, 0x02, 0x06, 0x08, 0x20, 0x01}) + Frame(6, data),
         {Event::kFrame},
         data,
         {.dleErrors = 1, .framesReceived = 1},
         "DLE error"},
        {"a lone DLE in the length",
         Bytes({0x10, 0x02, 0x06, 0x10, 0x07}) + Poll(6),
         {Event::kPolled},
         "",
         {.dleErrors = 1, .polls = 1},
         "DLE error"},
        {"ACK and NAK are events, EOT is not, a stray byte is a sync error",
         Bytes({0x06, 0x04, 0x41, 0x15}),
         {Event::kAck, Event::kNak},
         "",
         {.syncErrors = 1}},
        {"a length of 16 and data DLEs doubled",
         Frame(6, sixteen),
         {Event::kFrame},
         sixteen,
         {.framesReceived = 1}},
        {"a BCC of 0x10 alone",
         Frame(6, bccIsDle),
         {Event::kFrame},
         bccIsDle,
         {.framesReceived = 1}},
    };
    ASSERT_EQ(static_cast<uint8_t>(Frame(6, bccIsDle).back()), 0x10);
    for (long long pace : {0LL, 1042LL}) {  // all at once, and one byte at a time at 9600 baud
        for (const Case& c : cases) {
            std::string what = std::string(c.name) + (pace > 0 ? " (paced)" : "");
            link->counters = {};
            SlaveLinkResetReceiver(link.get());
            peer.SetPace(pace);
            peer.Arrive(c.bytes);
            EXPECT_EQ(Events(), c.events) << what;
            if (!c.data.empty()) {
                EXPECT_EQ(Hex(Received()), Hex(c.data)) << what;
            }
            const SlaveLinkCounters& n = link->counters;
            EXPECT_EQ(n.bccErrors, c.counts.bccErrors) << what;
            EXPECT_EQ(n.dleErrors, c.counts.dleErrors) << what;
            EXPECT_EQ(n.syncErrors, c.counts.syncErrors) << what;
            EXPECT_EQ(n.polls, c.counts.polls) << what;
            EXPECT_EQ(n.framesReceived, c.counts.framesReceived) << what;
            if (c.log != nullptr) {
                EXPECT_TRUE(box.LogHas(c.log, "err")) << what;
            }
        }
    }
    EXPECT_EQ(peer.TakeSent(), "");  // receiving never answers by itself
}

TEST_F(SlaveLinkTest, AFrameGoesOutStuffedWithItsBccAndWaitsForItsAcknowledgement) {
    SerialDebug reader;
    ASSERT_EQ(OpenSerialDebug(&reader, 6), 0);
    const std::string payload = Bytes({0x20, 0x10, 0x00, 0x00, 0x00, 0x00});
    const std::string onLine = Bytes({0x10, 0x02, 0x06, 0x06, 0x20, 0x10, 0x10, 0, 0, 0, 0, 0x5E});
    ASSERT_EQ(Frame(6, payload), onLine);  // the test's own encoder agrees

    struct Case {
        const char* name;
        std::string answer;  // the master's bytes once the frame is out
        int result;
        long long tookMs;  // on the fake clock
        SlaveLinkCounters counts;
    } cases[] = {
        {"acknowledged", utwtest::kAck, 1, 0, {.ackReceived = 1, .framesSent = 1}},
        {"refused", utwtest::kNak, 0, 0, {.nakReceived = 1, .framesSent = 1}},
        {"polled and acknowledged within the attempts",
         Poll(6) + Poll(6) + utwtest::kAck,
         1,
         0,
         {.polls = 2, .ackReceived = 1, .framesSent = 1}},
        {"three polls use the three attempts",
         Poll(6) + Poll(6) + Poll(6) + utwtest::kAck,
         0,
         0,
         {.polls = 3, .ackTimeouts = 1, .framesSent = 1}},
        {"a silent line uses an attempt every pacing period",
         "",
         0,
         300,
         {.ackTimeouts = 1, .framesSent = 1}},
    };
    link->ackAttempts = 3;
    for (const Case& c : cases) {
        link->counters = {};
        SlaveLinkResetReceiver(link.get());
        peer.Answer(onLine, c.answer);
        long long start = clock.ElapsedMs();
        EXPECT_EQ(SlaveLinkSendFrame(link.get(), reinterpret_cast<const uint8_t*>(payload.data()),
                                     static_cast<int>(payload.size())),
                  c.result)
            << c.name;
        EXPECT_EQ(clock.ElapsedMs() - start, c.tookMs) << c.name;
        EXPECT_EQ(Hex(peer.TakeSent()), Hex(onLine)) << c.name;
        const SlaveLinkCounters& n = link->counters;
        EXPECT_EQ(n.polls, c.counts.polls) << c.name;
        EXPECT_EQ(n.ackReceived, c.counts.ackReceived) << c.name;
        EXPECT_EQ(n.nakReceived, c.counts.nakReceived) << c.name;
        EXPECT_EQ(n.ackTimeouts, c.counts.ackTimeouts) << c.name;
        EXPECT_EQ(n.framesSent, c.counts.framesSent) << c.name;
        Events();  // what the master sent too late
    }

    EXPECT_EQ(SlaveLinkReply(link.get(), 1), 0);
    EXPECT_EQ(SlaveLinkReply(link.get(), 0), 0);
    EXPECT_EQ(SlaveLinkSendEot(link.get()), 0);
    EXPECT_EQ(peer.TakeSent(), Bytes({0x06, 0x15, 0x04}));
    EXPECT_EQ(link->counters.ackSent, 1);
    EXPECT_EQ(link->counters.nakSent, 1);

    char text[8192] = {};
    ReadStrFromSerialDebug(&reader, text, sizeof text - 1);
    std::string trace = text;
    EXPECT_NE(trace.find("Snd : 10 02 06 06 20 10 10 00 00 00 00 5E \n"), std::string::npos)
        << trace;
    EXPECT_NE(trace.find("Rec : 10 05 06 \n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("Rec : 06 \n"), std::string::npos) << trace;
    CloseSerialDebug(&reader);
}

TEST_F(SlaveLinkTest, AHangUpIsALineFailureNotAnEndlessWait) {
    peer.Arrive(Poll(6));
    peer.HangUp(5);
    EXPECT_EQ(SlaveLinkReceive(link.get()), Event::kPolled);
    EXPECT_EQ(SlaveLinkReceive(link.get()), Event::kLineFailed);
    EXPECT_TRUE(box.LogHas("error in serial read=5", "err")) << box.Log();
    EXPECT_EQ(SlaveLinkSendFrame(link.get(), reinterpret_cast<const uint8_t*>("abcdef"), 6), 0);
}

}  // namespace
