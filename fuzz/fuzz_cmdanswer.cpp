// Fuzz target of the Sysway answer: the first byte picks the command the answer is for (a read
// of 1 to 30 words, a write, an echo), the rest arrives on the in-memory line and goes through
// the link's receive and check, then, for a read, the driver's parsing of the data words. The
// same bytes are also checked as an answer already received. An answer taken as valid must have
// the shape the rules give it, and parsed words must come from an answer of exactly their size.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "clock.h"
#include "cmdlink.h"
#include "fuzz_support.h"
#include "memoryline.h"
#include "plcbridge.h"

namespace {

// Time that moves only when the code under test sleeps or waits, as in the unit tests.
class FuzzClock final : public StationClock {
  public:
    long Uptime() override { return 1000 + static_cast<long>(ns_ / 1000000000LL); }
    timespec Monotonic() override {
        return {static_cast<time_t>(ns_ / 1000000000LL), static_cast<long>(ns_ % 1000000000LL)};
    }
    timeval Now() override {
        return {static_cast<time_t>(1700000000 + ns_ / 1000000000LL),
                static_cast<suseconds_t>(ns_ / 1000 % 1000000)};
    }
    int Sleep(const timespec& delay, timespec* remaining) override {
        ns_ += delay.tv_sec * 1000000000LL + delay.tv_nsec;
        if (remaining != nullptr) {
            *remaining = {0, 0};
        }
        return 0;
    }

  private:
    long long ns_ = 0;
};

using fuzzsupport::Check;

// The shape of an answer the link took as valid, for the command in the buffer.
void CheckValid(const CmdLink& link) {
    int n = link.answerLength;
    Check(n >= 9 && n <= cmdlink::kAnswerMax);
    Check(link.answer[0] == '@' && link.answer[n - 2] == '*' && link.answer[n - 1] == '\r');
    Check(std::memcmp(link.answer + 1, link.command + 1, 4) == 0);
    unsigned fcs = 0;
    for (int i = 0; i < n - 4; ++i) {
        fcs ^= static_cast<unsigned char>(link.answer[i]);
    }
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", fcs);
    Check(std::toupper(link.answer[n - 4]) == digits[0] &&
          std::toupper(link.answer[n - 3]) == digits[1]);
}

void Parse(const CmdLink& link, int words) {
    uint16_t parsed[plcbridge::kMaxLng];
    std::memset(parsed, 0xA5, sizeof parsed);
    if (PlcbridgeParseWords(link.answer, link.answerLength, words, parsed) == 0) {
        Check(link.answerLength == cmdlink::kAnswerHead + 4 * words + cmdlink::kAnswerTail);
        for (int i = 0; i < words; ++i) {
            char text[5];
            std::snprintf(text, sizeof text, "%04X", parsed[i]);
            for (int k = 0; k < 4; ++k) {
                Check(std::toupper(link.answer[cmdlink::kAnswerHead + 4 * i + k]) == text[k]);
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FuzzClock clock;
    SetClock(&clock);
    if (size < 1) {
        return 0;
    }
    int pick = data[0];
    const char* answer = reinterpret_cast<const char*>(data + 1);
    int length = static_cast<int>(size - 1);
    int unit = pick % 3;
    int words = pick % 30 + 1;

    CmdLink link;
    MemoryLine peer;
    MemoryLineAttach(&link.line, &peer);
    LineProfile profile;
    profile.device = "/dev/ttymxc0";
    if (LineOpen(&link.line, profile) != 0) {
        return 0;
    }
    link.charUs = pick % 2 == 0 ? 1145 : 0;
    char parameters[16];
    if (pick >= 200) {
        CmdLinkSetCommand(&link, unit, "TS", "KESTR6553F100AL", 24);
    } else if (pick >= 100) {
        CmdLinkSetCommand(&link, unit, "WD", "00100001", 11);
    } else {
        std::snprintf(parameters, sizeof parameters, "0010%04d", words);
        CmdLinkSetCommand(&link, unit, "RD", parameters, 11 + 4 * words);
    }

    peer.Arrive(std::string(answer, static_cast<size_t>(length)));
    int valid = CmdLinkCheck(&link) == 0;
    Check(link.answerLength >= 0 && link.answerLength <= cmdlink::kAnswerMax);
    if (valid) {
        CheckValid(link);
        if (pick < 100) {
            Parse(link, words);
        }
    }

    valid = CmdLinkCheckAnswer(&link, answer, length) == 0;
    Check(link.answerLength == (length < cmdlink::kAnswerMax ? length : cmdlink::kAnswerMax));
    if (valid) {
        CheckValid(link);
    }
    Parse(link, words);
    LineClose(&link.line);
    return 0;
}
