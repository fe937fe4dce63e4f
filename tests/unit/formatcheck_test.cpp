// Formats from outside the program: those that fit their arguments give printf's text, the
// others are refused before any argument is read.
#include "formatcheck.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

TEST(FormatCheck, FormatsThatFitGivePrintfsText) {
    struct Case {
        const char* format;
        std::vector<FormatArg> args;
        std::string expected;
    } cases[] = {
        {"--> Cycle %d : ", {IntArg(3)}, "--> Cycle 3 : "},
        {"Entite %c ", {IntArg('B')}, "Entite B "},
        {"[%d.%d.%d.%d]", {IntArg(10), IntArg(0), IntArg(2), IntArg(254)}, "[10.0.2.254]"},
        {"voie \"%s\" $%.4X", {TextArg("Niveau"), IntArg(0x1602)}, "voie \"Niveau\" $1602"},
        {"%6.2f m", {DoubleArg(2.155)}, "  2.15 m"},
        {"%-8.1e|", {DoubleArg(1234.5)}, "1.2e+03 |"},
        {"%lf %Lg", {DoubleArg(1.5), DoubleArg(2)}, "1.500000 2"},
        {"%ld %lld %hhd %hu %zx",
         {IntArg(-5), IntArg(1LL << 40), IntArg(300), IntArg(70000), IntArg(255)},
         "-5 1099511627776 44 4464 ff"},
        {"100 %% plein", {}, "100 % plein"},
        {"sans conversion", {IntArg(1), IntArg(2)}, "sans conversion"},
        {"%s", {TextArg(nullptr)}, ""},
        {"%'+08d", {IntArg(42)}, "+0000042"},
    };
    for (const Case& c : cases) {
        char text[64];
        int n = FormatChecked(text, sizeof text, c.format, c.args.data(),
                              static_cast<int>(c.args.size()));
        EXPECT_EQ(std::string(text), c.expected) << c.format;
        EXPECT_EQ(n, static_cast<int>(c.expected.size())) << c.format;
    }
}

TEST(FormatCheck, FormatsThatDoNotFitAreRefused) {
    struct Case {
        const char* format;
        std::vector<FormatArg> args;
        const char* why;
    } cases[] = {
        {"Port %s", {IntArg(3)}, "conversion of another kind than its argument"},
        {"%d", {DoubleArg(3)}, "conversion of another kind than its argument"},
        {"%f", {IntArg(3)}, "conversion of another kind than its argument"},
        {"%d %d", {IntArg(3)}, "more conversions than arguments"},
        {"%s%s%s%s%s%s%s%s", {}, "more conversions than arguments"},
        {"abc%n", {IntArg(0)}, "%n conversion"},
        {"%p", {IntArg(0)}, "unknown conversion"},
        {"%m", {}, "unknown conversion"},
        {"%*d", {IntArg(5), IntArg(1)}, "width taken from an argument"},
        {"%.*f", {IntArg(5), DoubleArg(1)}, "precision taken from an argument"},
        {"%2$d %1$d", {IntArg(1), IntArg(2)}, "numbered argument"},
        {"%9999999999d", {IntArg(1)}, "width too large"},
        {"%.300f", {DoubleArg(1)}, "precision too large"},
        {"%------d", {IntArg(1)}, "too many flags"},
        {"%hf", {DoubleArg(1)}, "length modifier that does not fit the conversion"},
        {"%ls", {TextArg("x")}, "length modifier that does not fit the conversion"},
        {"fin %", {}, "format ends inside a conversion"},
        {"fin %5.", {IntArg(1)}, "format ends inside a conversion"},
    };
    for (const Case& c : cases) {
        const char* why = nullptr;
        errno = 0;
        EXPECT_EQ(CheckFormat(c.format, c.args.data(), static_cast<int>(c.args.size()), &why), -1)
            << c.format;
        EXPECT_EQ(errno, EINVAL) << c.format;
        EXPECT_STREQ(why, c.why) << c.format;
        char text[32] = "previous";
        EXPECT_EQ(FormatChecked(text, sizeof text, c.format, c.args.data(),
                                static_cast<int>(c.args.size())),
                  -1)
            << c.format;
        EXPECT_STREQ(text, "") << c.format;
    }
    EXPECT_EQ(CheckFormat(nullptr, nullptr, 0), -1);
    EXPECT_EQ(errno, EFAULT);
}

TEST(FormatCheck, TextIsCutToTheBufferAndStaysTerminated) {
    const FormatArg args[] = {TextArg("abcdefghij"), IntArg(12345)};
    for (size_t size : {1u, 2u, 5u, 11u, 12u, 16u, 40u}) {
        char text[40];
        std::memset(text, 'Z', sizeof text);
        int n = FormatChecked(text, size, "%s-%d!", args, 2);
        std::string full = "abcdefghij-12345!";
        std::string expected = full.substr(0, size - 1);
        EXPECT_EQ(std::string(text), expected) << size;
        EXPECT_EQ(n, static_cast<int>(expected.size())) << size;
        if (size < sizeof text) {
            EXPECT_EQ(text[size], 'Z') << size;  // nothing written past the buffer
        }
    }
}
