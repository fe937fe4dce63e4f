// Channel write requests: the bytes chanmgr receives on queue 22792 for single writes and
// batches, the split of a long frame, and the send's behaviour on a full or failing queue.
#include "plcutilities.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <fstream>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "chanmgr_memories.h"
#include "conf.h"
#include "fakeclock.h"
#include "logdebug.h"
#include "sandbox.h"

// The queue takes the system's message structure: a long type word, the body right after it.
static_assert(std::is_same_v<decltype(PlcMessage::type), long>);
static_assert(offsetof(PlcMessage, body) == sizeof(long));

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// Sets an IPC limit of this test's namespace, and puts it back.
class ScopedIpcLimit {
  public:
    ScopedIpcLimit(const char* name, int value) : path_(std::string("/proc/sys/kernel/") + name) {
        std::ifstream(path_) >> saved_;
        Write(value);
    }
    ~ScopedIpcLimit() { Write(saved_); }
    ScopedIpcLimit(const ScopedIpcLimit&) = delete;
    ScopedIpcLimit& operator=(const ScopedIpcLimit&) = delete;

  private:
    void Write(int value) { std::ofstream(path_) << value << "\n"; }
    std::string path_;
    int saved_ = 0;
};

class PlcUtilities : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetChannelMaxNb();
        ASSERT_GE(queue.Id(), 0);
        PlcInitMsg();
    }
    void TearDown() override {
        PlcCloseMsg();
        IsDebug("none");
        ResetChannelMaxNb();
    }
    void Verbose() {
        box.WriteFile("/var/run/plctest.debug", "1\n");
        ASSERT_EQ(IsDebug("plctest"), 1);
    }
    // The next request on the queue, its header checked and cut off.
    Bytes NextBody() {
        Bytes body = ToBytes(queue.Take());
        if (body.size() < 16) {
            ADD_FAILURE() << "no request of " << body.size() << " bytes";
            return {};
        }
        uint16_t pid = static_cast<uint16_t>(getpid());
        EXPECT_EQ(Bytes(body.begin(), body.begin() + 4), (Bytes{0xA5, 0x5A, 0x59, 0x04}));
        EXPECT_EQ(Bytes(body.begin() + 6, body.begin() + 8),
                  (Bytes{static_cast<uint8_t>(pid >> 8), static_cast<uint8_t>(pid)}));
        return Bytes(body.begin() + 16, body.end());
    }
    int LogCount(const std::string& text) {
        int n = 0;
        for (const std::string& line : box.LogLines()) {
            n += line.find(text) != std::string::npos ? 1 : 0;
        }
        return n;
    }

    Sandbox box;
    ChanmgrMemories memories;
    ChanmgrQueue queue;
};

}  // namespace

TEST_F(PlcUtilities, ShortWriteIsOneWholeRequest) {
    ASSERT_EQ(PlcWriteShort(5, -2), 0);
    std::string body = queue.Take();
    ASSERT_EQ(body.size(), 26u);
    Bytes bytes = ToBytes(body);
    EXPECT_EQ(Bytes(bytes.begin() + 16, bytes.end()),
              (Bytes{0x03, 0x00, 0x05, 0x02, 0xFF, 0xFE, 0x00, 0x00, 0x01, 0x00}));
    EXPECT_EQ(queue.Take(), "");
}

TEST_F(PlcUtilities, SingleWritesCarryCommandItemAndTerminator) {
    struct Case {
        const char* name;
        std::function<int()> write;
        Bytes body;
    } cases[] = {
        {"bool", [] { return PlcWriteBool(7, 1); }, {3, 0, 7, 1, 0xFF, 0, 0, 1, 0}},
        {"bool false", [] { return PlcWriteBool(7, 0); }, {3, 0, 7, 1, 0x00, 0, 0, 1, 0}},
        {"long",
         [] { return PlcWriteLong(300, -2); },
         {3, 0x01, 0x2C, 3, 0xFF, 0xFF, 0xFF, 0xFE, 0, 0, 1, 0}},
        {"float",
         [] { return PlcWriteFloat(2, 1.0f); },
         {3, 0, 2, 4, 0x3F, 0x80, 0, 0, 0, 0, 1, 0}},
        {"set-point short",
         [] { return PlcWritePointValueShort(128, -1); },
         {12, 0, 128, 2, 0xFF, 0xFF, 0, 0, 1, 0}},
        {"set-point float",
         [] { return PlcWritePointValueFloat(64, 0.5f); },
         {12, 0, 64, 4, 0x3F, 0, 0, 0, 0, 0, 1, 0}},
        {"pulse",
         [] { return PlcWritePulseBool(9); },
         {3, 0, 9, 1, 0xFF, 0, 9, 1, 0x00, 0, 9, 1, 0xFF, 0, 0, 1, 0}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(c.write(), 0) << c.name;
        EXPECT_EQ(NextBody(), c.body) << c.name;
    }
}

TEST_F(PlcUtilities, NumbersOfZeroOrLessSendNothing) {
    EXPECT_EQ(PlcWriteBool(0, 1), -1);
    EXPECT_EQ(PlcWriteShort(-1, 1), -1);
    EXPECT_EQ(PlcWriteLong(0, 1), -1);
    EXPECT_EQ(PlcWriteFloat(0, 1), -1);
    EXPECT_EQ(PlcWritePointValueShort(0, 1), -1);
    EXPECT_EQ(PlcWritePointValueFloat(-3, 1), -1);
    EXPECT_EQ(PlcWritePulseBool(0), -1);
    // A number that does not fit the message's 16 bits would write another channel.
    EXPECT_EQ(PlcWriteShort(65536 + 5, 1), -1);
    EXPECT_EQ(queue.Take(), "");
}

TEST_F(PlcUtilities, EachRequestTakesTheNextNumber) {
    ASSERT_EQ(PlcWriteBool(1, 1), 0);
    ASSERT_EQ(PlcWriteBool(1, 0), 0);
    Bytes first = ToBytes(queue.Take());
    Bytes second = ToBytes(queue.Take());
    ASSERT_EQ(first.size(), 25u);
    ASSERT_EQ(second.size(), 25u);
    int a = (first[4] << 8) | first[5];
    int b = (second[4] << 8) | second[5];
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
}

TEST_F(PlcUtilities, FrameSplitByFreeRoomCarriesEveryValueOnce) {
    const int kValues = 200;
    std::vector<int> messagesSizes;
    ASSERT_EQ(PlcBeginSend(2, 17), 1);
    for (int i = 1; i <= kValues; ++i) {
        ASSERT_EQ(PlcWriteMsgLong(i, i * 1000), 1) << i;
        if (PlcGetFree() < 20 || i == kValues) {
            ASSERT_EQ(PlcTerminateSend(), 0);
            if (i != kValues) {
                ASSERT_EQ(PlcBeginSend(2, 17), 1);
            }
        }
    }

    std::vector<int> seen;
    for (std::string body = queue.Take(); !body.empty(); body = queue.Take()) {
        ASSERT_LE(body.size(), 512u);
        unsigned char bytes[512];
        std::memcpy(bytes, body.data(), body.size());
        WorkingReq req;
        InitWorkingReq(&req, bytes, 512, 22792);
        ASSERT_EQ(GetHeaderReq(&req, static_cast<int>(body.size())), 1);
        EXPECT_EQ(GetCommandCode(&req), 10);
        int communication = 0;
        int frame = 0;
        ASSERT_EQ(GetPlcWrite(&req, &communication, &frame), 1);
        EXPECT_EQ(communication, 2);
        EXPECT_EQ(frame, 17);
        int number = 0;
        int kind = 0;
        while (GetReplyNumberAndType(&req, &number, &kind) == 1 && number != 0) {
            ASSERT_EQ(kind, 3);
            EXPECT_EQ(NumberLongRead(&req), number * 1000);
            seen.push_back(number);
        }
        // The terminator ends the message: number 0, kind 1, false.
        EXPECT_EQ(MsgCharRead(&req), 1);
        EXPECT_EQ(MsgBoolRead(&req), 0);
        EXPECT_EQ(req.position, req.receiveSize);
        EXPECT_EQ(req.error, kMsgNoError);
    }
    ASSERT_EQ(static_cast<int>(seen.size()), kValues);
    for (int i = 0; i < kValues; ++i) {
        EXPECT_EQ(seen[i], i + 1);
    }
}

TEST_F(PlcUtilities, ItemsThatDoNotFitAreDroppedAndTheRequestStillEnds) {
    ASSERT_EQ(PlcBeginWriteChannel(), 1);
    int written = 0;
    while (PlcWriteMsgFloat(written + 1, 1.0f) == 1) {
        ++written;
    }
    EXPECT_EQ(written, (512 - 17 - 4) / 7);
    EXPECT_EQ(GetPlcUtilBuf()->error, kMsgOverflow);
    EXPECT_TRUE(box.LogHas("filemsg.lib : overflow error (emit)", "err"));
    EXPECT_EQ(PlcGetFree(), 512 - 17 - written * 7);
    ASSERT_EQ(PlcTerminateSend(), 0);
    Bytes body = NextBody();
    ASSERT_EQ(body.size(), static_cast<size_t>(1 + written * 7 + 4));
    EXPECT_EQ(Bytes(body.end() - 4, body.end()), (Bytes{0, 0, 1, 0}));
}

TEST_F(PlcUtilities, ARequestFilledToTheEndByHandIsRefusedNotSentWithoutItsTerminator) {
    ASSERT_EQ(PlcBeginWriteChannel(), 1);
    WorkingReq* req = GetPlcUtilBuf();
    // A module adding its own items may leave less than the terminator's 4 bytes.
    while (NumberShortWrite(req, 9, 1) == 1) {
    }
    ASSERT_LT(PlcGetFree(), 4);
    EXPECT_EQ(PlcTerminateSend(), -1);
    EXPECT_EQ(queue.Take(), "") << "nothing goes out without its end-of-list";
    EXPECT_TRUE(box.LogHas("filemsg.lib : overflow error (emit)", "err"));
    EXPECT_EQ(PlcTerminateSend(), -1) << "and the refused batch is closed";
}

TEST_F(PlcUtilities, ABeginDiscardsAnUnsentBatch) {
    ASSERT_EQ(PlcBeginWriteChannel(), 1);
    ASSERT_EQ(PlcWriteMsgShort(4, 1), 1);
    ASSERT_EQ(PlcBeginWritePointValue(), 1);
    ASSERT_EQ(PlcWriteMsgShort(5, 2), 1);
    ASSERT_EQ(PlcWriteMsgBool(6, 1), 1);
    ASSERT_EQ(PlcTerminateSend(), 0);
    EXPECT_EQ(NextBody(), (Bytes{12, 0, 5, 2, 0, 2, 0, 6, 1, 0xFF, 0, 0, 1, 0}));
    EXPECT_EQ(queue.Take(), "");
}

TEST_F(PlcUtilities, NothingIsAppendedOrSentOutsideABatch) {
    ASSERT_EQ(PlcWriteBool(3, 1), 0);
    ASSERT_FALSE(queue.Take().empty());
    EXPECT_EQ(PlcWriteMsgShort(1, 1), 0);
    EXPECT_EQ(PlcTerminateSend(), -1);
    EXPECT_EQ(queue.Take(), "");

    ASSERT_EQ(PlcBeginWriteChannel(), 1);
    EXPECT_EQ(PlcWriteMsgShort(0, 1), 0);  // number 0 would end the list
    EXPECT_EQ(PlcWriteMsgShort(70000, 1), 0);
    ASSERT_EQ(PlcTerminateSend(), 0);
    EXPECT_EQ(NextBody(), (Bytes{3, 0, 0, 1, 0}));
}

TEST_F(PlcUtilities, VerboseTexts) {
    Verbose();
    ASSERT_EQ(PlcWriteShort(5, -2), 0);
    ASSERT_EQ(PlcWriteFloat(2, 1.5f), 0);
    ASSERT_EQ(PlcWritePointValueShort(3, -1), 0);
    ASSERT_EQ(PlcWritePulseBool(4), 0);
    ASSERT_EQ(PlcBeginSend(3, 4), 1);
    ASSERT_EQ(PlcWriteMsgShort(1, -1), 1);
    ASSERT_EQ(PlcWriteMsgLong(2, -7), 1);
    ASSERT_EQ(PlcWriteMsgBool(3, 1), 1);
    ASSERT_EQ(PlcWriteMsgFloat(4, 0.5f), 1);
    ASSERT_EQ(PlcTerminateSend(), 0);
    for (const char* text : {
             "filemsg.lib : Write Short=-2 Channel(5)",
             "filemsg.lib : msg to chanmgr : size=26 / 512",
             "filemsg.lib : Write Float=1.500000 Channel(2)",
             "filemsg.lib : Write short=65535 0xFFFF PointValue(3)",
             "filemsg.lib : Write Pulse Channel(4)",
             "filemsg.lib : Write header Com(3) Frame(4) No(5)",
             "filemsg.lib : Write Short(1)=65535",
             "filemsg.lib : Write Long(2)=-7",
             "filemsg.lib : Write Bool(3)=1",
             "filemsg.lib : Write Float(4)=0.500000",
         }) {
        EXPECT_TRUE(box.LogHas(text, "debug")) << text << "\n" << box.Log();
    }
}

TEST_F(PlcUtilities, QuietWithoutVerbose) {
    ASSERT_EQ(PlcWriteShort(5, -2), 0);
    EXPECT_EQ(LogCount("Write Short"), 0);
}

TEST_F(PlcUtilities, FullQueuePausesAndDropsWithoutLog) {
    msqid_ds state{};
    ASSERT_EQ(msgctl(queue.Id(), IPC_STAT, &state), 0);
    state.msg_qbytes = 26;  // room for one short write
    ASSERT_EQ(msgctl(queue.Id(), IPC_SET, &state), 0);
    FakeClock clock;
    ASSERT_EQ(PlcWriteShort(5, 1), 0);
    EXPECT_EQ(clock.ElapsedMs(), 0);
    std::string before = box.Log();
    EXPECT_EQ(PlcWriteShort(5, 2), 0);
    EXPECT_EQ(clock.ElapsedMs(), 100);
    EXPECT_EQ(clock.Sleeps(), 1);
    EXPECT_EQ(box.Log(), before);
    Bytes kept = NextBody();
    EXPECT_EQ(kept[5], 1);  // the first one; the second was dropped
    EXPECT_EQ(queue.Take(), "");
}

TEST_F(PlcUtilities, ALastingFaultIsLoggedOnceAndItsEndOnce) {
    FakeClock clock;
    {
        // Messages above the namespace's size limit are refused (EINVAL).
        ScopedIpcLimit limit("msgmax", 10);
        EXPECT_EQ(PlcWriteShort(5, 1), -1);
        EXPECT_EQ(clock.ElapsedMs(), 0);
        EXPECT_EQ(PlcWriteShort(5, 2), 0);
        EXPECT_EQ(clock.ElapsedMs(), 100);
        EXPECT_EQ(PlcWriteShort(5, 3), 0);
    }
    EXPECT_EQ(LogCount("filemsg.lib :msg sending error : 22"), 1);
    EXPECT_TRUE(box.LogHas("filemsg.lib :msg sending error : 22", "err"));
    EXPECT_EQ(LogCount("Return to normalcy"), 0);
    EXPECT_EQ(PlcWriteShort(5, 4), 0);
    EXPECT_EQ(PlcWriteShort(5, 5), 0);
    EXPECT_EQ(LogCount("filemsg.lib: msg sending Return to normalcy"), 1);
    EXPECT_EQ(NextBody()[5], 4);
    EXPECT_EQ(NextBody()[5], 5);
}

TEST_F(PlcUtilities, ARemovedQueueIsASendError) {
    queue.Remove();
    EXPECT_EQ(PlcWriteBool(1, 1), -1);
    EXPECT_EQ(LogCount("filemsg.lib :msg sending error : "), 1);
}

TEST_F(PlcUtilities, SecondInitKeepsTheFirstQueue) {
    PlcInitMsg();
    EXPECT_TRUE(box.LogHas("filesmg.lib : Msg IP deja initialise"));
    ASSERT_EQ(PlcWriteBool(1, 1), 0);
    EXPECT_FALSE(queue.Take().empty());
}

TEST_F(PlcUtilities, MissingQueueIsFatal) {
    PlcCloseMsg();
    queue.Remove();
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_DEATH(PlcInitMsg(), "");
    bool found = false;
    for (const std::string& line : box.LogLines()) {
        found = found || (line.rfind("crit ", 0) == 0 &&
                          line.find("erreur sur msgget a la ligne No ") != std::string::npos &&
                          line.find(" du fichier plcutilities ") != std::string::npos);
    }
    EXPECT_TRUE(found) << box.Log();
}

TEST_F(PlcUtilities, ChannelTypeOnTheProcessHandle) {
    ChannelRecordFields fields;
    fields.type = 4;
    memories.SetRecord(12, fields);
    EXPECT_EQ(PlcGetChannelType(12), 4);
    EXPECT_EQ(PlcGetChannelType(13), 0);
}
