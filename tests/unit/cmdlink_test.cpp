// The Sysway command link on the in-memory line and the fake clock: the bytes of a command, the
// rules an answer must pass (with their log and trace texts), attempts and pauses against a
// silent or misbehaving PLC, the communication test, and how often a long answer wakes the link.
#include "cmdlink.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "clock.h"
#include "fakeclock.h"
#include "memoryline.h"
#include "sandbox.h"
#include "serialdebug.h"

namespace {

// The FCS and line ending, written here from the rules: exclusive-or in two upper-case digits.
std::string Framed(const std::string& body) {
    unsigned fcs = 0;
    for (unsigned char c : body) {
        fcs ^= c;
    }
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", fcs);
    return body + digits + "*\r";
}

std::string Hex8(long long seconds) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(seconds));
    return text;
}

class CmdLinkLine : public testing::Test {
  protected:
    void SetUp() override {
        MemoryLineAttach(&link.line, &peer);
        ASSERT_EQ(CmdLinkOpen(&link, 0, 9600, 'E', 7, 2), 0);
        ASSERT_EQ(OpenSerialDebug(&reader, 0), 0);
        link.timeout = 2;
        link.pause = 500;
        link.attempts = 1;
        startMs = clock.ElapsedMs();
    }
    void TearDown() override {
        CloseSerialDebug(&reader);
        CmdLinkClose(&link);
    }
    // The read of two words at 10 of unit 0.
    void Read2() { ASSERT_EQ(CmdLinkSetCommand(&link, 0, "RD", "00100002", 19), 0); }
    std::string Trace() {
        std::string text;
        char chunk[4096];
        int done = 0;
        while (done == 0) {
            done = ReadStrFromSerialDebug(&reader, chunk, sizeof chunk - 1);
            text += chunk;
        }
        return text;
    }
    long long Elapsed() const { return clock.ElapsedMs() - startMs; }

    FakeClock clock;
    Sandbox box;
    MemoryLine peer;
    CmdLink link;
    SerialDebug reader;
    long long startMs = 0;
};

}  // namespace

TEST_F(CmdLinkLine, AnAnswerMustBeWholeCheckedAndForTheCommandSent) {
    const std::string good = Framed("@00RD0000010002");
    std::string badFcs = good;
    badFcs[badFcs.size() - 3] = '4';                     // 54 instead of 55
    std::string lowerFcs = Framed("@00RD000000080002");  // 5C
    ASSERT_EQ(lowerFcs.substr(lowerFcs.size() - 4, 2), "5C");
    lowerFcs[lowerFcs.size() - 3] = 'c';
    struct Case {
        const char* name;
        std::string answer;
        int result;
        int endCode;
        std::string log;    // a line the system log must have ("" none)
        std::string trace;  // a text the trace must have ("" none)
    } cases[] = {
        {"good", good, 1, 0, "", "Rec(19) : @00RD0000010002"},
        {"good, FCS in lower case", lowerFcs, 1, 0, "", ""},
        {"end code 15", Framed("@00RD15"), 1, 0x15, "", "Error answer : status=21\n"},
        {"no carriage return after the star", good.substr(0, good.size() - 1), 0, 0, "",
         "Waiting for 500 ms\n"},
        {"another unit", Framed("@01RD0000010002"), 0, 0, "",
         "Incoherence commande et/ou no automate\n"},
        {"another command", Framed("@00RR0000010002"), 0, 0, "",
         "Incoherence commande et/ou no automate\n"},
        {"wrong FCS", badFcs, 0, 0, "FCS $54 au lieu de $55", "FCS error\n"},
        {"too short", Framed("@00R"), 0, 0, "", ""},
        {"no start", Framed("x00RD0000010002"), 0, 0, "", ""},
        {"no star", "@00RD0000010002\r", 0, 0, "", ""},
        {"characters after the star", "@00RD00000100*02\r", 0, 0, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Trace();
        Read2();
        peer.Answer("@00RD0010000255*\r", c.answer, 5);
        EXPECT_EQ(CmdLinkTransact(&link), c.result);
        if (c.result == 1) {
            EXPECT_EQ(link.endCode, c.endCode);
        }
        std::string trace = Trace();
        if (!c.trace.empty()) {
            EXPECT_NE(trace.find(c.trace), std::string::npos) << trace;
        }
        if (!c.log.empty()) {
            EXPECT_TRUE(box.LogHas(c.log, "err")) << box.Log();
        }
        peer.Flush();
    }
    EXPECT_EQ(link.badlyFormed, 2);  // no carriage return; characters after the star

    // Units and types that would not fit their two characters are refused, not sent.
    EXPECT_EQ(CmdLinkSetCommand(&link, 100, "RD", "00100002", 19), -1);
    EXPECT_EQ(CmdLinkSetCommand(&link, 0, "R", "00100002", 19), -1);
}

TEST_F(CmdLinkLine, AttemptsAndPausesOnTheClock) {
    const std::string good = Framed("@00RD0000010002");
    struct Case {
        const char* name;
        int attempts;
        std::vector<std::string> answers;  // one per attempt ("" silence)
        int result;
        int sends;
        long long elapsedMs;  // time-out 2 s, pause 500 ms
    } cases[] = {
        {"no carriage return costs an attempt",
         3,
         {good.substr(0, good.size() - 1), good},
         1,
         2,
         2500},
        {"another unit costs an attempt", 2, {Framed("@01RD0000010002"), good}, 1, 2, 500},
        {"a late answer is too late", 1, {"late"}, 0, 1, 2500},
        // Last: the peer answers what was sent since its last answer, and nothing is.
        {"silence: every attempt costs its time-out and its pause", 3, {}, 0, 3, 3 * 2500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        long long sendsBefore = link.sends;
        link.attempts = c.attempts;
        for (const std::string& answer : c.answers) {
            if (answer == "late") {
                peer.Answer("@00RD0010000255*\r", good, 2100);
            } else if (!answer.empty()) {
                peer.Answer("@00RD0010000255*\r", answer);
            }
        }
        long long start = clock.ElapsedMs();
        Read2();
        EXPECT_EQ(CmdLinkTransact(&link), c.result);
        EXPECT_EQ(link.sends - sendsBefore, c.sends);
        // The answers take their line time too: at most a few tens of ms.
        EXPECT_GE(clock.ElapsedMs() - start, c.elapsedMs);
        EXPECT_LE(clock.ElapsedMs() - start, c.elapsedMs + 50);
        clock.AdvanceMs(5000);  // past anything still scripted
        peer.Flush();
    }
}

TEST_F(CmdLinkLine, AHungUpLineStillTakesItsTimeOutPerAttempt) {
    peer.HangUp();
    link.attempts = 2;
    link.pause = 0;
    Read2();
    EXPECT_EQ(CmdLinkTransact(&link), 0);
    EXPECT_EQ(Elapsed(), 2 * 2000);
}

TEST_F(CmdLinkLine, ALongAnswerWakesTheLinkOnceItsFirstCharacterHasCome) {
    // 30 words at 9600 baud, 11 bits a character: 131 characters, 150 ms of line.
    std::string body = "@00RD00";
    for (int i = 0; i < 30; ++i) {
        char word[5];
        std::snprintf(word, sizeof word, "%04X", i * 1111);
        body += word;
    }
    std::string answer = Framed(body);
    ASSERT_EQ(answer.size(), 131u);
    constexpr long long kCharUs = 11 * 1000000 / 9600;
    peer.SetPace(kCharUs);
    peer.Answer("@00RD01000030", answer, 20);
    ASSERT_EQ(CmdLinkSetCommand(&link, 0, "RD", "01000030", 131), 0);
    long long start = clock.ElapsedMs();
    int wakesBefore = peer.Wakes();
    ASSERT_EQ(CmdLinkTransact(&link), 1);
    EXPECT_EQ(std::string(link.answer, link.answerLength), answer);
    long long lastCharMs = 20 + 130 * kCharUs / 1000;
    EXPECT_LE(clock.ElapsedMs() - start, lastCharMs + 3);
    EXPECT_LE(peer.Wakes() - wakesBefore, 2);
}

TEST_F(CmdLinkLine, TheCommunicationTestEchoesATextMadeFromTheTime) {
    // The fake wall clock starts at 1700000000 s; the open took 100 ms of it.
    const long long t0 = 1700000000;
    struct Case {
        const char* name;
        int test;
        bool firstEchoed;   // the echo before the initialisation line
        bool secondEchoed;  // the one after it
        bool mismatch;      // the PLC echoes another text
        int result;
        std::string sent;  // kinds of lines sent, in order
        long long elapsedMs;
    } cases[] = {
        {"echo test answered at once", 1, true, false, false, 1, "K", 0},
        {"echo test unanswered, then init and a good echo", 1, false, true, false, 1, "KIT",
         2000 + 1500},
        {"no echo test: init first", 0, false, true, false, 1, "IT", 1500},
        {"a PLC that echoes another text", 0, false, true, true, 0, "IT", 1500},
        {"a PLC that never answers", 0, false, false, false, 0, "IT", 1500 + 2000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clock.AdvanceMs(10000 - clock.ElapsedMs() % 10000);  // a whole ten seconds
        long long start = clock.ElapsedMs();
        long long now = t0 + start / 1000;
        std::string first = "KESTR" + Hex8(now) + "AL";
        std::string second =
            "TU" + Hex8(now + (c.test ? (c.firstEchoed ? 0 : 2) : 0) + 1) + "RBINE";
        if (c.firstEchoed) {
            peer.Answer("@00TS" + first, Framed("@00TS" + first));
        }
        if (c.secondEchoed) {
            peer.Answer("@00TS" + second, Framed("@00TS" + (c.mismatch ? "X" + second : second)));
        }
        peer.TakeSent();
        Trace();
        EXPECT_EQ(CmdLinkTest(&link, 0, c.test, 1500), c.result);
        std::string kinds;
        std::string sent = peer.TakeSent();
        for (size_t at = 0; at < sent.size();) {
            size_t end = sent.find('\r', at);
            std::string line = sent.substr(at, end - at);
            kinds += line == "@**" ? "I" : line.rfind("@00TSKESTR", 0) == 0 ? "K" : "T";
            at = end + 1;
        }
        EXPECT_EQ(kinds, c.sent);
        EXPECT_GE(clock.ElapsedMs() - start, c.elapsedMs);
        EXPECT_LE(clock.ElapsedMs() - start, c.elapsedMs + 60);
        std::string trace = Trace();
        EXPECT_EQ(trace.find("String mismatch between received and emitted\n") != std::string::npos,
                  c.mismatch)
            << trace;
        if (c.sent.find('I') != std::string::npos) {
            EXPECT_NE(trace.find("waiting 1500 ms\n"), std::string::npos) << trace;
        }
        clock.AdvanceMs(5000);
        peer.Flush();
    }
}
