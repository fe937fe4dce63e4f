// Site descriptions of the core stand-in: what a person writes, and the errors they get.
#include <gtest/gtest.h>

#include "chanimage.h"
#include "site.h"

namespace {

TEST(StationCoreSite, ReadsChannelsTextsSetpointsAndFrameRuns) {
    Site site;
    std::vector<std::string> errors;
    ASSERT_EQ(ParseSite(R"(
# comment
text 3 "kWh"
channel 4 CPT "Index HC" unit="kWh" value=12   # shares text 3
channel 2 ETOR "Porte \"A\"" state0="Fermee" state1="Ouverte" flags=timestamped,undefined
channel 7 EANA Niveau unit="m" flags=0x10 indexes=BD coef=0.5 offset=1 srcno=-3 float=2.5
setpoint real 64 1.5
frame 3 9 2-4 10
)",
                        "t.site", site, errors),
              0)
        << errors[0];
    EXPECT_EQ(site.channelCount, 50);
    ASSERT_EQ(site.channels.size(), 3u);
    const SiteChannel& door = site.channels[0];  // sorted by number
    EXPECT_EQ(door.number, 2);
    EXPECT_EQ(door.name, "Porte \"A\"");
    EXPECT_EQ(door.flags, static_cast<uint32_t>(site::kFlagTimestamped));
    EXPECT_EQ(site.texts[door.text0 - 1], "Fermee");
    EXPECT_EQ(site.texts[door.text1 - 1], "Ouverte");
    EXPECT_EQ(site.channels[1].text0, 3);
    EXPECT_EQ(site.channels[2].flags, 0x10u);
    EXPECT_EQ(site.channels[2].indexes, (1u << 1) | (1u << 3));
    EXPECT_EQ(site.channels[2].sourceNumber, -3);
    EXPECT_EQ(site.texts[site.channels[2].text0 - 1], "m");
    EXPECT_EQ(SiteFrameChannel(site, 3, 9, 2), 10);
    EXPECT_EQ(SiteFrameChannel(site, 3, 9, 4), 12);
    EXPECT_EQ(SiteFrameChannel(site, 3, 9, 5), 0);
    EXPECT_EQ(SiteFrameChannel(site, 9, 3, 2), 0);
    EXPECT_EQ(SiteLastChannel(site), 7);
}

TEST(StationCoreSite, CountDefaultsToWhatTheSiteNames) {
    Site site;
    std::vector<std::string> errors;
    ASSERT_EQ(ParseSite("channel 3 ETOR a\nframe 1 1 1 70\n", "t", site, errors), 0);
    EXPECT_EQ(site.channelCount, 70);
    ASSERT_EQ(ParseSite("channels 60\nchannel 61 ETOR a\n", "t", site, errors), 0);
    EXPECT_EQ(SiteFitChannels(site, site.channelCount, errors), 1);
    EXPECT_EQ(errors.back(), "channel 61 is above the channel count 60");
    EXPECT_EQ(SiteFitChannels(site, 80, errors), 0);
}

TEST(StationCoreSite, EachFaultyLineIsReportedWithItsNumber) {
    struct Case {
        const char* line;
        const char* error;
    };
    const Case cases[] = {
        {"channels 49", "channel count \"49\" is not a number from 50 to 1500"},
        {"channels 1501", "channel count \"1501\" is not a number from 50 to 1500"},
        {"channel 0 ETOR a", "channel number \"0\" is not a number from 1 to 1500"},
        {"channel 1 ETOX a", "channel type \"ETOX\" is not a number from 0 to 255"},
        {"channel 1 ETOR", "channel needs a number, a type and a name"},
        {"channel 1 ETOR \"1234567890123456789012345678901\"", "is longer than 30 characters"},
        {"channel 1 ETOR a format=\"%123456789012345678901\"", "is longer than 20 characters"},
        {"channel 1 ETOR a unit=\"123456789012345678901\"", "is longer than 20 characters"},
        {"channel 1 ETOR a flags=synoptic,blue", "unknown flag \"blue\""},
        {"channel 1 ETOR a indexes=AQ", "index letter 'Q' is not one of A to P"},
        {"channel 1 ETOR a coef=x", "coef \"x\" is not a number"},
        {"channel 1 ETOR a colour=red", "unknown channel key \"colour\""},
        {"channel 1 ETOR a loose", "\"loose\" is not of the form key=value"},
        {"channel 1 ETOR \"a", "unterminated quoted text"},
        {"channel 1 ETOR a unit=x state0=y", "unit and state0 both name the first text"},
        {"setpoint int 129 1", "set-point number \"129\" is not a number from 1 to 128"},
        {"setpoint real 65 1", "set-point number \"65\" is not a number from 1 to 64"},
        {"setpoint int 1 70000", "integer set-point value 70000 does not fit 16 bits"},
        {"setpoint bool 1 1", "setpoint needs: setpoint int|real <n> <value>"},
        {"frame 1 1 4-2 5", "last index \"2\" is not a number from 4 to 65535"},
        {"frame 1 1 1-3 1499", "index range runs past channel 1500"},
        {"text 101 \"x\"", "text number \"101\" is not a number from 1 to 100"},
        {"pump 3", "unknown line \"pump\""},
        {"channel 1 ETOR a memo=70000", "memo lines \"70000\" is not a number from 0 to 65535"},
        {"line memo 1", "line needs: line station <time> <channel> <value>"},
        {"line comm 1 70000 1", "event word \"70000\" is not a number from 0 to 65535"},
        {"line comm 1 2 3 repeat=0", "repeat \"0\" is not a number from 1 to 100000"},
        {"line station 1 2 3", "line for channel 2, which is not declared"},
        {"cue sulk", "unknown cue \"sulk\""},
        {"cue late", "cue \"late\" is not one of"},
        {"cue flood always", "cue \"flood always\" is not one of"},
    };
    for (const Case& c : cases) {
        Site site;
        std::vector<std::string> errors;
        std::string text = std::string("# first line\n") + c.line + "\n";
        EXPECT_EQ(ParseSite(text, "s.site", site, errors), 1) << c.line;
        ASSERT_FALSE(errors.empty()) << c.line;
        EXPECT_EQ(errors[0].rfind("s.site:2: ", 0), 0u) << errors[0];
        EXPECT_NE(errors[0].find(c.error), std::string::npos) << c.line << " -> " << errors[0];
    }
}

TEST(StationCoreSite, ReadsTimestampedLinesCuesAndMemoSizes) {
    Site site;
    std::vector<std::string> errors;
    ASSERT_EQ(ParseSite("line memo 2 10 -1 repeat=3\nline comm 5 0x0102 0xCAFE\n"
                        "cue silent always\nchannel 2 ETOR a memo=9 flags=timestamped\n",
                        "t.site", site, errors),
              0)
        << errors[0];
    ASSERT_EQ(site.lines.size(), 2u);
    EXPECT_EQ(site.lines[0].table, SiteLine::kMemo);
    EXPECT_EQ(site.lines[0].channel, 2);
    EXPECT_EQ(site.lines[0].time, 10u);
    EXPECT_EQ(site.lines[0].value, 0xFFFFFFFFu);
    EXPECT_EQ(site.lines[0].repeat, 3);
    EXPECT_EQ(site.lines[1].event, 0x0102);
    EXPECT_EQ(site.lines[1].value, 0xCAFEu);
    ASSERT_EQ(site.cues.size(), 1u);
    EXPECT_EQ(site.cues[0].text, "silent always");
    EXPECT_EQ(site.channels[0].memo, 9);
}

TEST(StationCoreSite, NumbersAreDecimalOrHexadecimalNeverOctal) {
    struct Case {
        const char* text;
        int channel;
        uint32_t flags;
        int frameIndex;
    } cases[] = {
        {"channel 010 ETOR a\nframe 1 1 010 010\n", 10, site::kFlagDefined, 10},
        {"channel 08 ETOR a flags=010\nframe 1 1 09 08\n", 8, 10, 9},
        {"channel 0x0C ETOR a flags=0x10\nframe 1 1 0X0D 0x0C\n", 12, 0x10, 13},
    };
    for (const Case& c : cases) {
        Site site;
        std::vector<std::string> errors;
        ASSERT_EQ(ParseSite(c.text, "t", site, errors), 0) << c.text << errors.at(0);
        ASSERT_EQ(site.channels.size(), 1u);
        EXPECT_EQ(site.channels[0].number, c.channel) << c.text;
        EXPECT_EQ(site.channels[0].flags, c.flags) << c.text;
        EXPECT_EQ(SiteFrameChannel(site, 1, 1, c.frameIndex), c.channel) << c.text;
    }
}

TEST(StationCoreSite, DuplicatesAreRefused) {
    Site site;
    std::vector<std::string> errors;
    EXPECT_EQ(ParseSite("channel 1 ETOR a\nchannel 1 EANA b\nframe 1 1 1-2 5\nframe 1 1 2 9\n"
                        "text 4 \"x\"\ntext 4 \"y\"\n",
                        "d", site, errors),
              3);
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(errors[0], "d:2: channel 1 already declared on line 1");
    EXPECT_EQ(errors[1], "d:4: com 1 frame 1 index 2 already feeds channel 6");
    EXPECT_EQ(errors[2], "d:6: text 4 already given on line 5");
}

TEST(StationCoreSite, MoreThanAHundredTextsIsAnError) {
    std::string text;
    for (int i = 1; i <= 101; ++i) {
        text += "channel " + std::to_string(i) + " EANA c unit=u" + std::to_string(i) + "\n";
    }
    Site site;
    std::vector<std::string> errors;
    EXPECT_EQ(ParseSite(text, "t", site, errors), 1);
    EXPECT_EQ(errors.at(0), "t:101: more than 100 different texts");
}

TEST(StationCoreSite, FloatFormatsAreCheckedBeforeUse) {
    struct Case {
        const char* format;
        bool ok;
    };
    const Case cases[] = {{"%.2f", true},   {"%8.3e", true}, {"%g %%", true}, {"%-+ #08.1G", true},
                          {"", false},      {"abc", false},  {"%d", false},   {"%s", false},
                          {"%f %f", false}, {"%n", false},   {"%.2", false},  {"%*f", false},
                          {"%lf", false}};
    for (const Case& c : cases) {
        EXPECT_EQ(IsFloatFormat(c.format), c.ok) << c.format;
    }
}

}  // namespace
