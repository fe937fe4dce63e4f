// What remoteexport decides before it talks to the server: the layout its "From" options give,
// what its trace may show of libcurl's texts (never the password), and its records of uploads
// cut partway.
#include "remoteexport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(RemoteApplyFrom, OptionsAndLayout) {
    struct Case {
        const char* from;
        int comma, station, comm;
        const char* separator;
        int csv;
    } cases[] = {
        {"011,", 0, 1, 1, ",", 1}, {"", 1, 1, 1, " ", 0},
        {"01", 1, 1, 1, " ", 0},   // two characters: all defaults
        {"100", 1, 0, 0, " ", 0},  // no separator given: one blank, not none
        {"0x1;", 0, 1, 1, ";", 0}, {"11 ,;|#", 1, 1, 1, ",;|#", 0},  // at most four characters
        {"01,,", 0, 1, 1, ",", 1}, {"00,,,", 0, 0, 1, ",,", 0},
        {"1a0,", 1, 1, 0, ",", 0},  // the comma on: not CSV
    };
    for (const Case& c : cases) {
        ExportCursor cursor;
        cursor.decimalComma = 7;
        int station = 7, comm = 7;
        RemoteApplyFrom(c.from, &cursor, &station, &comm);
        EXPECT_EQ(cursor.decimalComma, c.comma) << c.from;
        EXPECT_EQ(station, c.station) << c.from;
        EXPECT_EQ(comm, c.comm) << c.from;
        EXPECT_STREQ(cursor.separator, c.separator) << c.from;
        EXPECT_EQ(cursor.csv, c.csv) << c.from;
        EXPECT_EQ(cursor.dateForm, c.csv) << c.from;
    }
}

// libcurl's texts as the trace shows them: at most 80 bytes, the password nowhere, even cut by
// the 80th byte or by the end of a text.
TEST(RemoteMaskSecret, ThePasswordNeverShows) {
    struct Case {
        std::string data;
        const char* secret;
        std::string shown;
    } cases[] = {
        {"PASS p@ss:w/rd\r\n", "p@ss:w/rd", "PASS ****\r\n"},
        {"PASS p@ss:w/rd\r\n", "", "PASS ****\r\n"},
        {"PASS p@ss", "p@ss:w/rd", "PASS ****"},
        {"USER tech\r\n", "p@ss:w/rd", "USER tech\r\n"},
        {"Server said p@ss:w/rd twice p@ss:w/rd\n", "p@ss:w/rd", "Server said **** twice ****\n"},
        {"ends with p@ss:", "p@ss:w/rd", "ends with ****"},
        {std::string(75, '.') + "p@ss:w/rd", "p@ss:w/rd", std::string(75, '.') + "****"},
        {std::string(78, '.') + "p@ss:w/rd", "p@ss:w/rd", std::string(78, '.') + "**"},
        {std::string(100, 'x'), "p@ss:w/rd", std::string(80, 'x')},
    };
    for (const Case& c : cases) {
        char out[80];
        const size_t n = RemoteMaskSecret(c.data.data(), c.data.size(), c.secret, out, sizeof out);
        EXPECT_EQ(std::string(out, n), c.shown) << c.data;
    }
}

TEST(RemoteUrlBase, PathPartsAreEncodedAndCredentialsLeftOut) {
    RemoteArguments args;
    std::snprintf(args.server, sizeof args.server, "ftp.example:2121");
    std::snprintf(args.login, sizeof args.login, "rx@site");
    std::snprintf(args.password, sizeof args.password, "x:y@z/1");
    std::snprintf(args.to, sizeof args.to, "a b/#1?%%/");
    char base[remoteexport::kUrlSize];
    ASSERT_EQ(RemoteUrlBase(&args, 0, 0x12, 3, base, sizeof base), 0);
    EXPECT_STREQ(base, "ftp://ftp.example:2121/a%20b/%231%3F%25/CSV001203");
    ASSERT_EQ(RemoteUrlBase(&args, 1, -1, -1, base, sizeof base), 0);
    EXPECT_STREQ(base, "ftp://ftp.example:2121/a%20b/%231%3F%25/");
    char shown[remoteexport::kUrlSize];
    RemoteShownBase(&args, base, shown, sizeof shown);
    EXPECT_STREQ(shown, "ftp://rx@site:****@ftp.example:2121/a%20b/%231%3F%25/");
    char small[30];
    EXPECT_EQ(RemoteUrlBase(&args, 1, 1, 1, small, sizeof small), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
}

// A record of an upload that failed partway (the file was 10 bytes, 20 were handed over), and
// how much of the text the server holds by the file's size now.
TEST(RemotePartial, RecordsAndWhatTheServerHolds) {
    struct Case {
        const char* line;
        int result;
        long long size = 0;
        long long held = 0;
    } cases[] = {
        {"A;14;6553F100;1008;3E8;ftp://h/B 2.csv\n", 0, 10 + 20, 20},
        {"A;14;6553F100;1008;3E8;ftp://h/B 2.csv", 0, 10 + 7, 7},
        {"A;14;6553F100;1008;3E8;ftp://h/B 2.csv\r\n", 0, 10, 0},
        {"A;14;6553F100;1008;3E8;ftp://h/B 2.csv", 0, 9, -1},        // the file was changed
        {"A;14;6553F100;1008;3E8;ftp://h/B 2.csv", 0, 10 + 21, -1},  // more than was sent
        {"A;14;6553F100;10000;3E8;ftp://h/x", -1},                   // a word of 17 bits
        {"A;14;100000000;0;3E8;ftp://h/x", -1},
        {"A;14;6553F100;0;3E8;", -1},
        {"A;14;6553F100;0;ftp://h/x", -1},
        {"A;14;6553F100;0;3E8;ftp://h/x\nftp://h/y", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        RemotePartial partial;
        ASSERT_EQ(RemoteParsePartial(c.line, &partial), c.result);
        if (c.result != 0) {
            continue;
        }
        EXPECT_STREQ(partial.url, "ftp://h/B 2.csv");
        EXPECT_EQ(partial.first.time, 0x6553F100u);
        EXPECT_EQ(partial.first.word, 0x1008);
        EXPECT_EQ(partial.first.value, 0x3E8u);
        EXPECT_EQ(RemotePartialHeld(&partial, c.size), c.held);
        char line[remoteexport::kUrlSize + 64];
        ASSERT_EQ(RemoteFormatPartial(&partial, line, sizeof line), 0);
        EXPECT_STREQ(line, "A;14;6553F100;1008;3E8;ftp://h/B 2.csv\n");
    }
}

}  // namespace
