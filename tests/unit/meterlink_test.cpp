// meterlink's scan loop in-process: Teleinfo bytes on the in-memory line, paced and with
// silences on the fake clock, and the requests chanmgr receives, decoded by the station core
// stand-in's own decoder, each with the time it was sent.
#include "meterlink.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "chanmgr_memories.h"
#include "clock.h"
#include "corerequest.h"
#include "fakeclock.h"
#include "memoryline.h"
#include "plcutilities.h"
#include "sandbox.h"
#include "teleinfo_frames.h"

namespace {

constexpr long long kCharUs = 8334;  // 1200 baud, 10 bits a character
constexpr long long kWallBaseMs = 1700000000LL * 1000;

struct Sent {
    long long atMs;    // when meterlink sent it (fake clock)
    std::string what;  // "f3 L1=12345678" (frame message), "ch40=0" (single write)
};

struct Def {
    const char* label;
    int frame;
    const char* val = "";
    int trameOk = 0;
    int timeout = 0;  // seconds
};

class MeterlinkLine : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_GE(queue.Id(), 0);
        PlcInitMsg();
        Restart();
    }
    void TearDown() override {
        MeterlinkClose(m.get());
        PlcCloseMsg();
    }
    // A new module on a new line, its clock back at 0.
    void Restart() {
        if (m != nullptr) {
            MeterlinkClose(m.get());
        }
        clock.reset();
        clock = std::make_unique<FakeClock>();
        m = std::make_unique<Meterlink>();
        peer = std::make_unique<MemoryLine>();
        sent.clear();
    }

    void Configure(const std::vector<Def>& defs, int etat = 0, int timeout = 6) {
        MeterlinkInit(m.get(), 6);
        m->noVoieCom = 1;
        m->etat = etat;
        m->timeout = timeout;
        for (const Def& def : defs) {
            TeleinfoDefinition d;
            TeleinfoDefinitionInit(&d, def.label);
            d.frame = def.frame;
            snprintf(d.val, sizeof d.val, "%s", def.val);
            d.trameOk = def.trameOk;
            d.timeout = def.timeout;
            d.lastReception = Clock().Uptime();
            m->definitions.insert(m->definitions.begin(), d);
        }
        MemoryLineAttach(&m->line, peer.get());
        ASSERT_EQ(MeterlinkOpenPort(m.get()), 0);
        MeterlinkStart(m.get());
    }

    // Scans until the peer's hang-up ends one; what chanmgr received, in order.
    std::vector<Sent> Run() {
        for (int scans = 0; scans < 10000 && MeterlinkScanFrame(m.get()) == 0; ++scans) {
            Drain();
        }
        Drain();
        return sent;
    }

    void Drain() {
        static CoreRequest request;
        for (std::string body = queue.Take(); !body.empty(); body = queue.Take()) {
            if (DecodeCoreRequest(reinterpret_cast<const uint8_t*>(body.data()), body.size(),
                                  request) != 0) {
                ADD_FAILURE() << request.error;
                continue;
            }
            long long atMs = (static_cast<long long>(request.header.seconds) * 1000000 +
                              request.header.microseconds) /
                                 1000 -
                             kWallBaseMs;
            std::string what;
            if (request.command == kCmdFrameValues) {
                what = std::string("f").append(std::to_string(request.frame));
            }
            for (int i = 0; i < request.itemCount; ++i) {
                const CoreItem& item = request.items[i];
                char text[64];
                if (request.command != kCmdFrameValues) {
                    snprintf(text, sizeof text, "ch%d=%u", item.number, item.raw);
                } else if (item.kind == kKindFloat) {
                    float value = 0;
                    memcpy(&value, &item.raw, sizeof value);
                    snprintf(text, sizeof text, " F%d=%g", item.number, static_cast<double>(value));
                } else {
                    snprintf(text, sizeof text, " %c%d=%d", item.kind == kKindBool ? 'B' : 'L',
                             item.number, static_cast<int32_t>(item.raw));
                }
                what += text;
            }
            sent.push_back({atMs, what});
        }
    }

    Sandbox box;
    ChanmgrMemories memories;
    ChanmgrQueue queue;
    std::unique_ptr<FakeClock> clock;
    std::unique_ptr<Meterlink> m;
    std::unique_ptr<MemoryLine> peer;
    std::vector<Sent> sent;
};

TEST_F(MeterlinkLine, ValuesReachChanmgrSoonAfterTheirGroupOnAPacedLine) {
    Configure({{"ISOUSC", 1}, {"BASE", 3, "", /*trameOk=*/2}, {"PTEC", 4, "HP.."}});
    std::string frame =
        Frame(Group("ADCO", "524563565245") + Group("ISOUSC", "30") + Group("BASE", "012345678") +
              Group("PTEC", "HP..") + Group("IINST", "009"));
    std::string stream = frame + frame + frame;
    peer->SetPace(kCharUs);
    peer->Arrive(stream);
    peer->HangUp(500);
    std::vector<Sent> got = Run();

    // Each frame's messages, and when the last character of the group behind each came.
    std::vector<std::string> expected;
    std::vector<long long> groupEndMs;
    for (size_t at = 0; (at = stream.find('\r', at)) != std::string::npos; ++at) {
        long long endMs = static_cast<long long>(at) * kCharUs / 1000;
        std::string label = stream.substr(stream.rfind('\n', at) + 1, 4);
        if (label == "ISOU") {
            expected.push_back("f1 F1=30");
        } else if (label == "BASE") {
            expected.insert(expected.end(), {"f3 L1=12345678", "ch2=1", "ch2=0", "ch2=1"});
            groupEndMs.insert(groupEndMs.end(), 3, endMs);
        } else if (label == "PTEC") {
            expected.push_back("f4 B1=1");
        } else {
            continue;
        }
        groupEndMs.push_back(endMs);
    }
    ASSERT_EQ(got.size(), expected.size());
    long long worstMs = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].what, expected[i]) << i;
        EXPECT_GE(got[i].atMs, groupEndMs[i]) << i;
        worstMs = std::max(worstMs, got[i].atMs - groupEndMs[i]);
    }
    EXPECT_LE(worstMs, 100);
    // The line woke the module about once per gather time, not once per character.
    long long lineMs = static_cast<long long>(stream.size()) * kCharUs / 1000;
    EXPECT_LE(peer->Wakes(), lineMs / meterlink::kGatherMs + 3) << stream.size() << " characters";
    EXPECT_EQ(peer->Profile().speed, 1200);
    EXPECT_EQ(peer->Profile().parity, 'E');
    EXPECT_EQ(peer->Profile().dataBits, 7);
    EXPECT_EQ(peer->Profile().stopBits, 1);
}

TEST_F(MeterlinkLine, SupervisionOfASilentOrGarbledLineOnTheClock) {
    std::string good = Frame(Group("BASE", "012345678"));
    std::string garbled = good;
    garbled[garbled.size() - 3] ^= 1;  // the checksum character
    struct Part {
        std::string bytes;
        long long afterMs;
        int times = 1;
    };
    struct Case {
        const char* name;
        std::vector<Part> script;
        long long hangUpAfterMs;
        std::vector<std::string> sent;  // "<whole seconds>s <what>"
    } cases[] = {
        {"the meter goes quiet: the state drops once, then a reminder per time-out period",
         {{good, 0}},
         9500,
         {"0s ch40=1", "0s f3 L1=12345678", "3s f3 L1=0", "3s ch40=0", "5s ch40=0", "7s ch40=0",
          "9s ch40=0"}},
        {"frames keep coming but no group is good: the same, and never once per character",
         {{garbled, 0}, {garbled, 500, 18}},
         600,
         {"3s f3 L1=0", "3s ch40=0", "5s ch40=0", "7s ch40=0", "9s ch40=0"}},
        {"back after a loss: up again at the first good group",
         {{good, 0}, {good, 4000}},
         1000,
         {"0s ch40=1", "0s f3 L1=12345678", "3s f3 L1=0", "3s ch40=0", "4s ch40=1",
          "4s f3 L1=12345678"}},
    };
    for (const Case& c : cases) {
        Restart();
        Configure({{"BASE", 3, "", 0, /*timeout=*/2}}, /*etat=*/40, /*timeout=*/2);
        for (const Part& part : c.script) {
            for (int i = 0; i < part.times; ++i) {
                peer->Arrive(part.bytes, part.afterMs);
            }
        }
        peer->HangUp(c.hangUpAfterMs);
        std::vector<std::string> got;
        for (const Sent& s : Run()) {
            got.push_back(std::to_string(s.atMs / 1000) + "s " + s.what);
        }
        EXPECT_EQ(got, c.sent) << c.name;
    }
}

}  // namespace
