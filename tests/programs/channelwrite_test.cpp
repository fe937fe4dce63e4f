// Channel writes end to end: this test process is the module. It attaches the running station
// core stand-in the way a module does (WaitPidFile, PlcInitMsg), sends single writes, set-points,
// a pulse and a frame longer than one message (split on the free room, as the scan engine
// does), then reads the values back through the channel database readers and checks in the
// core's journal that every request arrived once and whole.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>

#include "channeldb.h"
#include "conf.h"
#include "pidfile.h"
#include "plcutilities.h"
#include "sandbox.h"
#include "stationcore.h"
#include "stationcore_fixture.h"

// Its own namespace: the program tests are compiled in batches.
namespace channelwrite_test {

namespace {

constexpr int kCom = 3;
constexpr int kFrame = 7;
constexpr int kFrameValues = 130;  // far more than one 512-byte message holds
constexpr int kFrameFirstChannel = 101;

// Frame index i feeds channel 100 + i: 1-40 booleans, 41-80 shorts, 81-120 longs, 121-130
// floats.
std::string Site() {
    std::string site =
        "channels 250\n"
        "channel 1 ETOR \"Porte\"\n"
        "channel 2 STOR \"Commande pompe\"\n"
        "channel 10 EANA \"Niveau\" coef=0.5\n"
        "channel 20 CPT \"Index\"\n"
        "channel 30 EANA \"Puissance\"\n"
        "setpoint int 1 7\n"
        "setpoint real 2 0.5\n";
    for (int i = 1; i <= kFrameValues; ++i) {
        const char* type = i <= 40 ? "ETOR" : i <= 80 ? "EANA" : i <= 120 ? "CPT" : "EANA";
        site +=
            "channel " + std::to_string(100 + i) + " " + type + " \"F" + std::to_string(i) + "\"\n";
    }
    site += "frame " + std::to_string(kCom) + " " + std::to_string(kFrame) + " 1-" +
            std::to_string(kFrameValues) + " " + std::to_string(kFrameFirstChannel) + "\n";
    return site;
}

int16_t FrameShort(int i) {
    return static_cast<int16_t>(-3 * i);
}
int32_t FrameLong(int i) {
    return i * 100000;
}
float FrameFloat(int i) {
    return static_cast<float>(i) + 0.25f;
}

// Sends the frame as a scan engine does: a new message when less than 20 bytes are free.
// The number of messages sent.
int SendFrame() {
    int messages = 0;
    EXPECT_EQ(PlcBeginSend(kCom, kFrame), 1);
    for (int i = 1; i <= kFrameValues; ++i) {
        if (i <= 40) {
            EXPECT_EQ(PlcWriteMsgBool(i, i % 2), 1);
        } else if (i <= 80) {
            EXPECT_EQ(PlcWriteMsgShort(i, FrameShort(i)), 1);
        } else if (i <= 120) {
            EXPECT_EQ(PlcWriteMsgLong(i, FrameLong(i)), 1);
        } else {
            EXPECT_EQ(PlcWriteMsgFloat(i, FrameFloat(i)), 1);
        }
        if (PlcGetFree() < 20 || i == kFrameValues) {
            EXPECT_EQ(PlcTerminateSend(), 0);
            ++messages;
            if (i != kFrameValues) {
                EXPECT_EQ(PlcBeginSend(kCom, kFrame), 1);
            }
        }
    }
    return messages;
}

}  // namespace

TEST(ChannelWrite, RequestsReachTheCoreOnceAndReadBack) {
    Sandbox box;
    StationCore core(box, Site());
    ASSERT_TRUE(core.Ready());

    ResetChannelMaxNb();
    ResetModbusAddr();
    ASSERT_EQ(WaitPidFile(kChanmgrName), core.Pid());
    PlcInitMsg();
    ASSERT_EQ(GetChannelMaxNb(), 250);

    ASSERT_EQ(PlcWriteBool(1, 1), 0);                 // msgno 1
    ASSERT_EQ(PlcWriteShort(10, -2), 0);              // 2
    ASSERT_EQ(PlcWriteLong(20, 123456789), 0);        // 3
    ASSERT_EQ(PlcWriteFloat(30, 2.5f), 0);            // 4
    ASSERT_EQ(PlcWritePointValueShort(1, 500), 0);    // 5
    ASSERT_EQ(PlcWritePointValueFloat(2, 1.25f), 0);  // 6
    ASSERT_EQ(PlcWritePulseBool(2), 0);               // 7
    int frameMessages = SendFrame();                  // 8 ...
    EXPECT_GE(frameMessages, 2);                      // 710 bytes of items
    int lastMsgno = 7 + frameMessages;

    JournalEntry last = core.WaitFor([&](const JournalEntry& e) { return e.msgno == lastMsgno; });
    ASSERT_EQ(last.msgno, lastMsgno) << box.ReadFile("/var/log/stationcore.journal");

    // Every request once, whole, from this process, in order.
    std::vector<JournalEntry> journal = core.Journal();
    std::map<int, int> perMsgno;
    std::map<int, int> perIndex;
    for (const JournalEntry& e : journal) {
        ASSERT_EQ(e.kind, "request") << e.line;
        EXPECT_EQ(e.pid, getpid() & 0xFFFF) << e.line;
        ++perMsgno[e.msgno];
        for (const JournalItem& item : e.items) {
            EXPECT_TRUE(item.applied) << e.line;
            if (e.command == 10) {
                EXPECT_EQ(e.com, kCom);
                EXPECT_EQ(e.frame, kFrame);
                EXPECT_EQ(item.target, 100 + item.number) << e.line;
                ++perIndex[item.number];
            }
        }
    }
    ASSERT_EQ(static_cast<int>(perMsgno.size()), lastMsgno);
    for (const auto& [msgno, count] : perMsgno) {
        EXPECT_EQ(count, 1) << "message " << msgno;
    }
    ASSERT_EQ(static_cast<int>(perIndex.size()), kFrameValues);
    for (const auto& [index, count] : perIndex) {
        EXPECT_EQ(count, 1) << "frame index " << index;
    }

    struct Expected {
        int msgno;
        int command;
        std::vector<std::pair<std::string, double>> items;  // kind, value
    } singles[] = {
        {1, 3, {{"bool", 1}}},
        {2, 3, {{"short", -2}}},
        {3, 3, {{"long", 123456789}}},
        {4, 3, {{"float", 2.5}}},
        {5, 12, {{"short", 500}}},
        {6, 12, {{"float", 1.25}}},
        {7, 3, {{"bool", 1}, {"bool", 0}, {"bool", 1}}},
    };
    for (const Expected& x : singles) {
        const JournalEntry& e = journal[x.msgno - 1];
        ASSERT_EQ(e.msgno, x.msgno);
        EXPECT_EQ(e.command, x.command) << e.line;
        ASSERT_EQ(e.items.size(), x.items.size()) << e.line;
        for (size_t k = 0; k < x.items.size(); ++k) {
            EXPECT_EQ(e.items[k].kind, x.items[k].first) << e.line;
            EXPECT_EQ(e.items[k].value, x.items[k].second) << e.line;
        }
    }

    // The values, read back as a module reads them.
    EXPECT_TRUE(WaitUntil([] { return PlcReadFloat(kFrameFirstChannel + 129) == FrameFloat(130); },
                          std::chrono::seconds(5)));
    EXPECT_EQ(PlcReadBool(1), 1);
    EXPECT_EQ(PlcReadBool(2), 1);  // the pulse ends true
    EXPECT_EQ(PlcReadShort(10), -2);
    EXPECT_EQ(PlcReadLong(20), 123456789);
    EXPECT_EQ(PlcReadFloat(30), 2.5f);
    EXPECT_EQ(PlcReadPointValueShort(1), 500);
    EXPECT_EQ(PlcReadPointValueFloat(2), 1.25f);
    for (int i = 1; i <= kFrameValues; ++i) {
        int channel = 100 + i;
        if (i <= 40) {
            EXPECT_EQ(PlcReadBool(channel), i % 2) << i;
        } else if (i <= 80) {
            EXPECT_EQ(PlcReadShort(channel), FrameShort(i)) << i;
        } else if (i <= 120) {
            EXPECT_EQ(PlcReadLong(channel), FrameLong(i)) << i;
        } else {
            EXPECT_EQ(PlcReadFloat(channel), FrameFloat(i)) << i;
        }
    }
    EXPECT_EQ(GetChannelType(GetInfoChannelAddr(), 20), 5);
    EXPECT_STREQ(GetChannelName(GetInfoChannelAddr(), 30), "Puissance");
    PlcCloseMsg();
}

}  // namespace channelwrite_test
