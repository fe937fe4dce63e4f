// The message codec: bytes on the wire for every field kind, the header, items, compact runs,
// and the error states and texts a caller relies on.
#include "msgcodec.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fakeclock.h"
#include "sandbox.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Buffer {
    unsigned char bytes[512] = {};
    WorkingReq req;
    explicit Buffer(int capacity = 512) { InitWorkingReq(&req, bytes, capacity, 22792); }
    Bytes Written() const { return Bytes(bytes, bytes + req.position); }
    // Turns what was written into a message to read.
    void Rewind() {
        int size = req.position;
        req.position = 0;
        ASSERT_EQ(SetReceiveSize(&req, size), 1);
    }
};

}  // namespace

TEST(MsgCodec, FieldsAreBigEndianAndReadBack) {
    struct Case {
        const char* name;
        std::function<int(WorkingMsg*)> write;
        Bytes bytes;
        std::function<bool(WorkingMsg*)> readBack;
    } cases[] = {
        {"char",
         [](WorkingMsg* m) { return MsgCharWrite(m, 0xA7); },
         {0xA7},
         [](WorkingMsg* m) { return MsgCharRead(m) == 0xA7; }},
        {"bool true",
         [](WorkingMsg* m) { return MsgBoolWrite(m, 5); },
         {0xFF},
         [](WorkingMsg* m) { return MsgBoolRead(m) == 1; }},
        {"bool false",
         [](WorkingMsg* m) { return MsgBoolWrite(m, 0); },
         {0x00},
         [](WorkingMsg* m) { return MsgBoolRead(m) == 0; }},
        {"short -2",
         [](WorkingMsg* m) { return MsgShortWrite(m, -2); },
         {0xFF, 0xFE},
         [](WorkingMsg* m) { return MsgShortRead(m) == 65534; }},
        {"long",
         [](WorkingMsg* m) { return MsgLongWrite(m, -123456789); },
         {0xF8, 0xA4, 0x32, 0xEB},
         [](WorkingMsg* m) { return MsgLongRead(m) == -123456789; }},
        {"IEEE 1.0",
         [](WorkingMsg* m) { return MsgIEEEWrite(m, 1.0f); },
         {0x3F, 0x80, 0, 0},
         [](WorkingMsg* m) { return MsgIEEERead(m) == 1.0f; }},
        {"double 1.0",
         [](WorkingMsg* m) { return MsgDoubleWrite(m, 1.0); },
         {0x3F, 0xF0, 0, 0, 0, 0, 0, 0},
         [](WorkingMsg* m) { return MsgDoubleRead(m) == 1.0; }},
        {"double -2.5",
         [](WorkingMsg* m) { return MsgDoubleWrite(m, -2.5); },
         {0xC0, 0x04, 0, 0, 0, 0, 0, 0},
         [](WorkingMsg* m) { return MsgDoubleRead(m) == -2.5; }},
        {"string",
         [](WorkingMsg* m) { return MsgStringWrite(m, "AB"); },
         {0x00, 0x02, 'A', 'B'},
         [](WorkingMsg* m) { return std::string(MsgStringRead(m, 255)) == "AB"; }},
        {"null string",
         [](WorkingMsg* m) { return MsgStringWrite(m, nullptr); },
         {0x00, 0x00},
         [](WorkingMsg* m) { return std::string(MsgStringRead(m, 0)).empty(); }},
    };
    for (const Case& c : cases) {
        Buffer b;
        ASSERT_EQ(c.write(&b.req), 1) << c.name;
        EXPECT_EQ(b.Written(), c.bytes) << c.name;
        b.Rewind();
        EXPECT_TRUE(c.readBack(&b.req)) << c.name;
        EXPECT_EQ(b.req.position, static_cast<int>(c.bytes.size())) << c.name;
        EXPECT_EQ(b.req.error, kMsgNoError) << c.name;
    }
}

TEST(MsgCodec, WriteBeyondCapacityWritesNothing) {
    Sandbox box;
    Buffer b(16);
    b.req.position = 13;  // one byte short of room for a long
    b.bytes[13] = 0x55;
    EXPECT_EQ(MsgLongWrite(&b.req, 0x01020304), 0);
    EXPECT_EQ(b.req.error, kMsgOverflow);
    EXPECT_EQ(b.req.position, 13);
    EXPECT_EQ(b.bytes[13], 0x55);
    EXPECT_TRUE(box.LogHas("filemsg.lib : overflow error (emit)", "err"));

    // A short still fits exactly.
    b.req.error = kMsgNoError;
    b.req.position = 14;
    EXPECT_EQ(MsgShortWrite(&b.req, 7), 1);
    EXPECT_EQ(b.req.position, 16);
}

TEST(MsgCodec, ReadBeyondReceiveSizeFails) {
    Sandbox box;
    Buffer b;
    b.bytes[0] = 0x12;
    ASSERT_EQ(SetReceiveSize(&b.req, 3), 1);
    EXPECT_EQ(MsgShortRead(&b.req), 0x1200);
    EXPECT_EQ(MsgShortRead(&b.req), 0);
    EXPECT_EQ(b.req.error, kMsgOverflow);
    EXPECT_EQ(b.req.position, 2);
    EXPECT_TRUE(box.LogHas("filemsg.lib : overflow error (receive)", "err"));

    EXPECT_EQ(SetReceiveSize(&b.req, 513), 0);
    EXPECT_EQ(b.req.error, kMsgSizeError);
    EXPECT_TRUE(box.LogHas("filemsg.lib : error in setting receive size"));
}

TEST(MsgCodec, StringsLongerThan255AreRefused) {
    Sandbox box;
    Buffer b;
    std::string longest(255, 'x');
    std::string tooLong(256, 'x');
    EXPECT_EQ(MsgStringWrite(&b.req, tooLong.c_str()), 0);
    EXPECT_EQ(b.req.error, kMsgSizeError);
    EXPECT_EQ(b.req.position, 0);
    EXPECT_EQ(NumberStringWrite(&b.req, 4, tooLong.c_str()), 0);
    EXPECT_EQ(b.req.position, 0);

    b.req.error = kMsgNoError;
    ASSERT_EQ(MsgStringWrite(&b.req, longest.c_str()), 1);
    EXPECT_EQ(b.req.position, 257);
    b.Rewind();
    EXPECT_EQ(std::string(MsgStringRead(&b.req, 255)), longest);
}

TEST(MsgCodec, StringAboveTheMaximumIsLeftUnread) {
    Buffer b;
    ASSERT_EQ(MsgStringWrite(&b.req, "hello"), 1);
    b.Rewind();
    EXPECT_EQ(MsgStringRead(&b.req, 4), nullptr);
    EXPECT_EQ(b.req.position, 2);
    // A maximum above 255 is taken as 255, never as room beyond the string buffer.
    b.req.position = 0;
    EXPECT_STREQ(MsgStringRead(&b.req, 100000), "hello");

    // A length that runs past the message leaves the empty string.
    Buffer cut;
    cut.bytes[1] = 10;
    cut.bytes[2] = 'a';
    ASSERT_EQ(SetReceiveSize(&cut.req, 3), 1);
    EXPECT_STREQ(MsgStringRead(&cut.req, 255), "");
    EXPECT_EQ(cut.req.error, kMsgOverflow);
}

TEST(MsgCodec, HeaderCarriesMarkerNumberPidAndTime) {
    FakeClock clock;
    clock.SetWallTime(0x12345678);
    clock.AdvanceMs(250);
    Buffer b;
    b.req.msgNumber = 0x0102;
    ASSERT_EQ(SetHeader(&b.req), 1);
    uint16_t pid = static_cast<uint16_t>(getpid());
    Bytes expected = {0xA5,
                      0x5A,
                      0x59,
                      0x04,
                      0x01,
                      0x02,
                      static_cast<uint8_t>(pid >> 8),
                      static_cast<uint8_t>(pid),
                      0x12,
                      0x34,
                      0x56,
                      0x78,
                      0x00,
                      0x03,
                      0xD0,
                      0x90};
    EXPECT_EQ(b.Written(), expected);
    EXPECT_EQ(b.req.msgNumber, 0x0103);
    EXPECT_EQ(GetSizeHeader(), 16);

    b.Rewind();
    ASSERT_EQ(GetHeader(&b.req), 1);
    EXPECT_EQ(b.req.msgNumber, 0x0102);
    EXPECT_EQ(b.req.pid, pid);
    EXPECT_EQ(b.req.timeSec, 0x12345678u);
    EXPECT_EQ(b.req.timeUsec, 250000u);
    clock.AdvanceMs(1500);
    EXPECT_EQ(GetFrameTime(&b.req), 1500000);
}

TEST(MsgCodec, MessageNumberRunsFrom1To65535) {
    struct Case {
        int before;
        uint16_t sent;
        int after;
    } cases[] = {{65535, 65535, 1}, {0, 1, 2}, {1, 1, 2}};
    for (const Case& c : cases) {
        Buffer b;
        b.req.msgNumber = c.before;
        ASSERT_EQ(SetHeader(&b.req), 1);
        EXPECT_EQ((b.bytes[4] << 8) | b.bytes[5], c.sent) << c.before;
        EXPECT_EQ(b.req.msgNumber, c.after) << c.before;
    }
}

TEST(MsgCodec, HeaderSentWithAGivenTimeKeepsIt) {
    Buffer b;
    b.req.timeSec = 1000;
    b.req.timeUsec = 7;
    ASSERT_EQ(SetHeader(&b.req), 1);
    EXPECT_EQ(Bytes(b.bytes + 8, b.bytes + 16), (Bytes{0, 0, 0x03, 0xE8, 0, 0, 0, 7}));
    // A request always carries the current time.
    ASSERT_EQ(SetHeaderReq(&b.req, 3), 1);
    EXPECT_NE(Bytes(b.bytes + 8, b.bytes + 12), (Bytes{0, 0, 0x03, 0xE8}));
    EXPECT_EQ(b.bytes[16], 3);
}

TEST(MsgCodec, BadHeadersAreRefusedWithTheirText) {
    Sandbox box;
    Buffer good;
    good.req.msgNumber = 9;
    ASSERT_EQ(SetHeader(&good.req), 1);
    int pid = getpid() & 0xFFFF;

    struct Case {
        const char* name;
        int size;
        std::function<void(unsigned char*)> spoil;
        std::string text;
    } cases[] = {
        {"15 bytes", 15, [](unsigned char*) {},
         "filemsg.lib : error Index 12 != sizeheader 16 Pid=" + std::to_string(pid)},
        {"marker", 16, [](unsigned char* p) { p[3] = 0x05; },
         "filemsg.lib : error key A55A5905 pid=" + std::to_string(pid) + " received"},
        {"number 0", 16, [](unsigned char* p) { p[4] = p[5] = 0; },
         "filemsg.lib : error Msg Number null pid=" + std::to_string(pid)},
    };
    for (const Case& c : cases) {
        Buffer b;
        std::memcpy(b.bytes, good.bytes, 16);
        c.spoil(b.bytes);
        ASSERT_EQ(SetReceiveSize(&b.req, c.size), 1);
        EXPECT_EQ(GetHeader(&b.req), 0) << c.name;
        EXPECT_TRUE(box.LogHas(c.text, "err")) << c.name << ": " << box.Log();
    }
}

TEST(MsgCodec, RequestHeaderAndCommand) {
    Buffer b;
    ASSERT_EQ(SetHeaderReq(&b.req, SetReplyCode(12)), 1);
    ASSERT_EQ(AddReqNumber(&b.req, 300), 1);
    int size = b.req.position;
    EXPECT_EQ(size, 19);

    Buffer in;
    std::memcpy(in.bytes, b.bytes, size);
    ASSERT_EQ(GetHeaderReq(&in.req, size), 1);
    EXPECT_EQ(GetCommandCode(&in.req), 12);
    EXPECT_EQ(IsReqReply(&in.req), 1);
    EXPECT_EQ(ReadReqNumber(&in.req), 300);
    EXPECT_EQ(GetHeaderReq(&in.req, 16), 0);  // no command byte
}

TEST(MsgCodec, ItemsRoundTripUntilNumberZero) {
    Buffer b;
    ASSERT_EQ(SetHeaderReq(&b.req, 3), 1);
    ASSERT_EQ(NumberBoolWrite(&b.req, 1, 1), 1);
    ASSERT_EQ(NumberShortWrite(&b.req, 2, -2), 1);
    ASSERT_EQ(NumberLongWrite(&b.req, 3, -70000), 1);
    ASSERT_EQ(NumberIEEEWrite(&b.req, 4, 2.5f), 1);
    ASSERT_EQ(NumberDoubleWrite(&b.req, 5, -0.125), 1);
    ASSERT_EQ(NumberStringWrite(&b.req, 6, "abc"), 1);
    ASSERT_EQ(NumberBoolWrite(&b.req, 0, 0), 1);
    EXPECT_EQ(Bytes(b.bytes + 17, b.bytes + 26), (Bytes{0, 1, 1, 0xFF, 0, 2, 2, 0xFF, 0xFE}));

    b.Rewind();
    ASSERT_EQ(GetHeaderReq(&b.req, b.req.receiveSize), 1);
    int number = -1;
    int kind = -1;
    std::vector<std::string> seen;
    while (GetReplyNumberAndType(&b.req, &number, &kind) == 1 && number != 0) {
        switch (kind) {
            case kItemBool:
                seen.push_back(std::to_string(NumberBoolRead(&b.req)));
                break;
            case kItemShort:
                seen.push_back(std::to_string(NumberShortRead(&b.req)));
                break;
            case kItemLong:
                seen.push_back(std::to_string(NumberLongRead(&b.req)));
                break;
            case kItemIEEE:
                seen.push_back(std::to_string(NumberIEEERead(&b.req)));
                break;
            case kItemDouble:
                seen.push_back(std::to_string(NumberDoubleRead(&b.req)));
                break;
            case kItemString:
                seen.push_back(NumberStringRead(&b.req));
                break;
            default:
                FAIL() << "kind " << kind;
        }
    }
    EXPECT_EQ(seen,
              (std::vector<std::string>{"1", "65534", "-70000", "2.500000", "-0.125000", "abc"}));
    EXPECT_EQ(kind, 0);
    // The terminator's number was read; its kind and value are not.
    EXPECT_EQ(b.req.position, b.req.receiveSize - 2);
}

TEST(MsgCodec, ReaderOfAnotherKindReadsNothing) {
    Buffer b;
    ASSERT_EQ(NumberIEEEWrite(&b.req, 7, 1.5f), 1);
    b.Rewind();
    int number = 0;
    int kind = 0;
    GetReplyNumberAndType(&b.req, &number, &kind);
    ASSERT_EQ(kind, kItemIEEE);
    int position = b.req.position;
    EXPECT_EQ(NumberShortRead(&b.req), 0);
    EXPECT_EQ(NumberLongRead(&b.req), 0);
    EXPECT_STREQ(NumberStringRead(&b.req), "");
    EXPECT_EQ(b.req.position, position);
    EXPECT_EQ(NumberIEEERead(&b.req), 1.5f);
}

TEST(MsgCodec, AnItemThatDoesNotFitIsNotWrittenAtAll) {
    Sandbox box;
    Buffer b(10);
    ASSERT_EQ(NumberShortWrite(&b.req, 1, 5), 1);  // 5 bytes
    EXPECT_EQ(NumberLongWrite(&b.req, 2, 5), 0);   // 7 more: no room
    EXPECT_EQ(b.req.position, 5);
    EXPECT_EQ(b.req.error, kMsgOverflow);
    EXPECT_EQ(NumberBoolWrite(&b.req, 3, 1), 1);  // 4 more: fits
    EXPECT_EQ(b.req.position, 9);
}

TEST(MsgCodec, CompactBooleansPackEightToAByteFirstInBit0) {
    Buffer b;
    ASSERT_EQ(SetCompactTransfert(&b.req, 10, 9, kItemBool), 1);
    const int values[9] = {1, 0, 0, 0, 0, 0, 0, 0, 1};
    for (int v : values) {
        ASSERT_EQ(BoolCompactWrite(&b.req, v), 1);
    }
    EXPECT_EQ(BoolCompactWrite(&b.req, 1), 0);  // a tenth is not expected
    EXPECT_EQ(b.Written(), (Bytes{0, 10, 0, 9, 1, 0x01}));
    ASSERT_EQ(EndingCompactTransfert(&b.req), 1);
    EXPECT_EQ(b.Written(), (Bytes{0, 10, 0, 9, 1, 0x01, 0x01}));

    b.Rewind();
    int first = 0;
    int count = 0;
    int kind = 0;
    ASSERT_EQ(GetCompactTransfert(&b.req, &first, &count, &kind), 1);
    EXPECT_EQ(first, 10);
    EXPECT_EQ(count, 9);
    EXPECT_EQ(kind, kItemBool);
    for (int v : values) {
        EXPECT_EQ(BoolCompactRead(&b.req), v);
    }
    EXPECT_EQ(BoolCompactRead(&b.req), 0);
    EXPECT_EQ(b.req.position, 7);
}

TEST(MsgCodec, CompactWordsAndVelunHeader) {
    Buffer b;
    ASSERT_EQ(SetVelunTransfert(&b.req, 1, 2, 2, kItemShort), 1);
    ASSERT_EQ(ShortCompactWrite(&b.req, -1), 1);
    ASSERT_EQ(ShortCompactWrite(&b.req, 3), 1);
    EXPECT_EQ(EndingCompactTransfert(&b.req), 0);  // words have nothing to close
    EXPECT_EQ(b.Written(), (Bytes{0, 1, 0, 2, 0, 2, 2, 0xFF, 0xFF, 0, 3}));

    b.Rewind();
    int first = 0;
    int second = 0;
    int count = 0;
    int kind = 0;
    ASSERT_EQ(GetVelunTransfert(&b.req, &first, &second, &count, &kind), 1);
    EXPECT_EQ(second, 2);
    EXPECT_EQ(ShortCompactRead(&b.req), 65535);
    EXPECT_EQ(ShortCompactRead(&b.req), 3);

    Buffer none;
    ASSERT_EQ(SetCompactTransfert(&none.req, 1, 0, kItemLong), 1);
    EXPECT_EQ(LongCompactWrite(&none.req, 5), 0);
    EXPECT_EQ(IEEECompactWrite(&none.req, 5.0f), 0);
}

TEST(MsgCodec, FixedPayloadsRoundTrip) {
    Buffer b;
    ASSERT_EQ(SetPlcWrite(&b.req, 3, 0x1234), 1);
    ASSERT_EQ(SetIOWrite(&b.req, 1, 2, 1), 1);
    ASSERT_EQ(SetIOPerformanceCounterRead(&b.req, 1.0f, 2.0f, 3.0f), 1);
    ASSERT_EQ(SetIODiagCounterRead(&b.req, 4, 5, -6, 7), 1);
    const unsigned char data[5] = {9, 8, 7, 6, 5};
    ASSERT_EQ(SetIOSlotAsynchExchange(&b.req, 1, 500, data, 5), 1);
    ASSERT_EQ(SetIOSlotStatusAnswer(&b.req, 1, 2, 3), 1);
    ASSERT_EQ(SetIOSlotStatusQuestion(&b.req, 4), 1);
    ASSERT_EQ(SetAlarmInhibitData(&b.req, 1, 0, 100000, 7), 1);
    ASSERT_EQ(ReqShortWrite(&b.req, -5), 1);
    ASSERT_EQ(ReqCharWrite(&b.req, 200), 1);
    ASSERT_EQ(ReqBoolWrite(&b.req, 1), 1);
    EXPECT_EQ(Bytes(b.bytes, b.bytes + 4), (Bytes{0, 3, 0x12, 0x34}));

    b.Rewind();
    int x = 0, y = 0, z = 0;
    ASSERT_EQ(GetPlcWrite(&b.req, &x, &y), 1);
    EXPECT_EQ(x, 3);
    EXPECT_EQ(y, 0x1234);
    ASSERT_EQ(GetIOWrite(&b.req, &x, &y, &z), 1);
    EXPECT_EQ(z, 1);
    float f1 = 0, f2 = 0, f3 = 0;
    ASSERT_EQ(GetIOPerformanceCounterRead(&b.req, &f1, &f2, &f3), 1);
    EXPECT_EQ(f3, 3.0f);
    int32_t l1 = 0, l2 = 0, l3 = 0;
    ASSERT_EQ(GetIODiagCounterRead(&b.req, &x, &l1, &l2, &l3), 1);
    EXPECT_EQ(l2, -6);
    unsigned char got[3] = {};
    // Only 3 of the 5 bytes fit the caller's room; the rest is skipped, keeping step.
    EXPECT_EQ(GetIOSlotAsynchExchange(&b.req, &x, &y, got, 3), 3);
    EXPECT_EQ(y, 500);
    EXPECT_EQ(Bytes(got, got + 3), (Bytes{9, 8, 7}));
    ASSERT_EQ(GetIOSlotStatusAnswer(&b.req, &x, &y, &z), 1);
    EXPECT_EQ(z, 3);
    ASSERT_EQ(GetIOSlotStatusQuestion(&b.req, &x), 1);
    EXPECT_EQ(x, 4);
    int32_t l = 0;
    ASSERT_EQ(GetAlarmInhibitData(&b.req, &x, &y, &l, &z), 1);
    EXPECT_EQ(l, 100000);
    EXPECT_EQ(z, 7);
    EXPECT_EQ(ReqShortRead(&b.req), -5);
    EXPECT_EQ(ReqCharRead(&b.req), 200);
    EXPECT_EQ(MsgBoolRead(&b.req), 1);
    EXPECT_EQ(b.req.position, b.req.receiveSize);
    // Past the end: failure, not stale values.
    EXPECT_EQ(GetPlcWrite(&b.req, &x, &y), 0);
    EXPECT_EQ(x, 0);
}
