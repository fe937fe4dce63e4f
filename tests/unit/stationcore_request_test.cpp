// Requests as the core stand-in decodes and applies them, and the journal lines it writes.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "chanimage.h"
#include "corerequest.h"
#include "journal.h"
#include "site.h"
#include "stationcore_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const char* text) {
    Bytes b;
    unsigned v = 0;
    int digits = 0;
    for (const char* p = text; *p != 0; ++p) {
        if (*p == ' ') {
            continue;
        }
        v = v * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(*p))
                                               ? *p - '0'
                                               : std::tolower(*p) - 'a' + 10);
        if (++digits == 2) {
            b.push_back(static_cast<uint8_t>(v));
            v = 0;
            digits = 0;
        }
    }
    return b;
}

const char* kHead = "A55A5904 0001 0102 00000010 00000020 ";

std::unique_ptr<CoreRequest> Decode(const std::string& hex, int& status) {
    auto request = std::make_unique<CoreRequest>();
    Bytes body = Hex(hex.c_str());
    status = DecodeCoreRequest(body.data(), body.size(), *request);
    return request;
}

TEST(StationCoreRequest, DecodesEveryItemKind) {
    int status = 0;
    auto r = Decode(std::string(kHead) +
                        "03"
                        "0001 01 FF  0002 01 00  0003 01 7E"  // any non-zero byte is true
                        "0004 02 FFFE  0005 03 80000000  0006 04 3FC00000"
                        "0007 06 3FF0000000000000  0008 05 0003 616263"
                        "0000 01 00",
                    status);
    ASSERT_EQ(status, 0) << r->error;
    EXPECT_EQ(r->header.number, 1);
    EXPECT_EQ(r->header.pid, 0x0102);
    EXPECT_EQ(r->header.seconds, 0x10u);
    EXPECT_EQ(r->header.microseconds, 0x20u);
    ASSERT_EQ(r->itemCount, 8);
    EXPECT_EQ(r->items[0].raw, 1u);
    EXPECT_EQ(r->items[1].raw, 0u);
    EXPECT_EQ(r->items[2].raw, 1u);
    EXPECT_EQ(static_cast<int32_t>(r->items[3].raw), -2);
    EXPECT_EQ(static_cast<int32_t>(r->items[4].raw), INT32_MIN);
    EXPECT_EQ(r->items[5].raw, 0x3FC00000u);
    EXPECT_EQ(r->items[6].real, 1.0);
    EXPECT_EQ(r->items[7].textLength, 3);
    EXPECT_EQ(r->items[7].textOffset, 64);
}

TEST(StationCoreRequest, RefusesEveryMalformedBody) {
    struct Case {
        std::string hex;
        const char* error;
    };
    const std::string h = kHead;
    const Case cases[] = {
        {"A55A5904 0001 0102 00000010 000000", "body of 15 bytes is shorter than a header"},
        {h, "body of 16 bytes is shorter than a header and a command"},
        {"A55A5905 0001 0102 00000010 00000020 03 0000 01 00", "wrong marker A55A5905"},
        {"A55A5904 0000 0102 00000010 00000020 03 0000 01 00", "message number 0"},
        {h + "03", "items end at byte 17 without the terminator item"},
        {h + "03 0001 02 00", "item 1 (short) at byte 17 is cut short"},
        {h + "03 0001 03 000000", "item 1 (long) at byte 17 is cut short"},
        {h + "03 0001 04", "item 1 (float) at byte 17 is cut short"},
        {h + "03 0001 05 0010 6162 0000 0100", "item 1 (string) at byte 17 is cut short"},
        {h + "03 0001 07 00 0000 01 00", "item 1 at byte 17 has unknown kind 7"},
        {h + "03 0000", "items end at byte 17 without the terminator item"},
        {h + "03 0000 01", "terminator item at byte 17 is not 00 00 01 00"},
        {h + "03 0000 02 0000", "terminator item at byte 17 is not 00 00 01 00"},
        {h + "03 0000 01 FF", "terminator item at byte 17 is not 00 00 01 00"},
        {h + "03 0000 01 00 00", "1 bytes after the terminator item"},
        {h + "0A 0001 00", "frame request without its communication and frame numbers"},
        {h + "36 000000", "time request without its time"},
        {h + "36 00000001 00", "1 bytes after the time"},
        {h + "83 0000 01 00", "unknown command 131"},
        {h + "28", "unknown command 40"},
    };
    for (const Case& c : cases) {
        int status = 0;
        auto r = Decode(c.hex, status);
        EXPECT_EQ(status, -1) << c.hex;
        EXPECT_NE(std::string(r->error).find(c.error), std::string::npos)
            << c.hex << " -> " << r->error;
    }

    // Longer than chanmgr's 512-byte bodies, even if well formed.
    std::string big = h + "03";
    for (int i = 0; i < 124; ++i) {
        big += "0001 03 00000001";
    }
    int status = 0;
    auto ok = Decode(big + "0000 01 00", status);  // 17 + 124 x 7 + 4 = 889
    EXPECT_EQ(status, -1);
    EXPECT_STREQ(ok->error, "body of 889 bytes exceeds 512");
}

TEST(StationCoreRequest, AppliesItemsByKindAndTheFrameMap) {
    Site site;
    std::vector<std::string> errors;
    ASSERT_EQ(ParseSite("channel 2 EANA a coef=0.5 offset=10\n"
                        "channel 3 EANA b flags=unsigned coef=2\n"
                        "channel 4 ETOR c\n"
                        "channel 5 CPT d coef=3\n"
                        "frame 7 8 1-2 4\n",
                        "t", site, errors),
              0);
    HeapImage heap(50);
    ImageFill(heap.image, site);
    int status = 0;
    auto r = Decode(std::string(kHead) +
                        "03 0002 02 FFFC  0003 02 FFFF  0005 03 00000064  0004 04 40000000"
                        "0033 01 FF  0001 06 3FF0000000000000  0000 01 00",
                    status);
    ASSERT_EQ(status, 0) << r->error;
    ItemOutcome outcomes[kCoreMaxItems];
    EXPECT_EQ(ApplyCoreRequest(*r, site, heap.image, outcomes), 4);
    EXPECT_EQ(ImageReadShort(heap.image, 2), -4);
    EXPECT_EQ(ImageReadFloat(heap.image, 2), 8.0f);       // -4 x 0.5 + 10
    EXPECT_EQ(ImageReadFloat(heap.image, 3), 131070.0f);  // 65535 x 2
    EXPECT_EQ(ImageReadLong(heap.image, 5), 100);
    EXPECT_EQ(ImageReadFloat(heap.image, 5), 0.0f) << "counters keep their float";
    EXPECT_EQ(ImageReadFloat(heap.image, 4), 2.0f);
    EXPECT_STREQ(outcomes[4].note, "channel outside 1..N");  // channel 51
    EXPECT_STREQ(outcomes[5].note, "kind not held by a channel");

    r = Decode(std::string(kHead) + "0A 0007 0008 0001 01 FF 0002 01 FF 0003 01 FF 0000 01 00",
               status);
    ASSERT_EQ(status, 0) << r->error;
    EXPECT_EQ(ApplyCoreRequest(*r, site, heap.image, outcomes), 2);
    EXPECT_EQ(outcomes[0].target, 4);
    EXPECT_EQ(outcomes[1].target, 5);
    EXPECT_EQ(outcomes[2].target, 0);
    EXPECT_STREQ(outcomes[2].note, "index not in the frame map");
    EXPECT_TRUE(ImageReadBool(heap.image, 4));
    EXPECT_TRUE(ImageReadBool(heap.image, 5));
}

TEST(StationCoreRequest, JournalLinesAreJsonThatTheFixtureReads) {
    int status = 0;
    auto r = Decode(
        std::string(kHead) + "0C 0001 04 7FC00000  0002 04 FF800000  0003 02 8000  0000 01 00",
        status);
    ASSERT_EQ(status, 0);
    HeapImage heap(50);
    ItemOutcome outcomes[kCoreMaxItems];
    ApplyCoreRequest(*r, Site{}, heap.image, outcomes);
    Journal journal;  // not opened: the line is built all the same
    journal.Request(22792, 1, 31, *r, outcomes);
    JournalEntry entry;
    ASSERT_TRUE(ParseJournalLine(journal.Last(), entry)) << journal.Last();
    EXPECT_EQ(entry.command, 12);
    EXPECT_EQ(entry.pid, 0x0102);
    ASSERT_EQ(entry.items.size(), 3u);
    EXPECT_TRUE(std::isnan(entry.items[0].value));
    EXPECT_EQ(entry.items[0].bits, "7FC00000");
    EXPECT_EQ(entry.items[1].value, -HUGE_VAL);
    EXPECT_EQ(entry.items[2].value, -32768);
    EXPECT_EQ(entry.items[2].target, 3);
    EXPECT_TRUE(entry.items[2].applied);
    EXPECT_EQ(ImageReadFloat(heap.image, 1), 0.0f) << "set-points are not channels";

    Bytes odd = Hex("22 5C 00 FF");
    journal.Error(22792, 5, odd.data(), odd.size(), "quote \" and backslash \\");
    ASSERT_TRUE(ParseJournalLine(journal.Last(), entry)) << journal.Last();
    EXPECT_EQ(entry.kind, "error");
    EXPECT_EQ(entry.error, "quote \" and backslash \\");
    EXPECT_EQ(entry.bytes, "225c00ff");
    EXPECT_EQ(entry.type, 5);
}

}  // namespace
