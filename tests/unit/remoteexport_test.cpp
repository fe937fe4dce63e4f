// What remoteexport decides before it talks to the server: the layout its "From" options give,
// and what its trace may show of libcurl's texts (never the password).
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

}  // namespace
