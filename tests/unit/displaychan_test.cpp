// Channel values as text, from chanmgr's memories made by the test: by type, scale, unit,
// display format and state texts; display formats from the configuration that do not fit a
// number are refused.
#include "displaychan.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "chanmgr_memories.h"
#include "conf.h"
#include "sandbox.h"

namespace {

enum : int {
    kDoor = 1,        // ETOR with state texts
    kAlarm = 2,       // ETOR without
    kLevel = 3,       // EANA, coefficient 0.1, unit "m", "%.1f"
    kRaw = 4,         // EANA, coefficient 0.1, unsigned
    kIndex = 5,       // CPT, coefficient 10, unit "kWh"
    kHours = 6,       // CHO without format
    kSince = 7,       // CHO with a date format
    kTemp = 8,        // TE
    kEmpty = 9,       // no type
    kBadFormat = 10,  // EANA whose format is replaced by the test
};

class ValueText : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetChannelMaxNb();
        ResetModbusAddr();
        box.WriteFile("/tmp/orxapp.ini", "[ENV]\nCHANNEL_MAX_NB=50\n");
        memories.SetText(1, "m");
        memories.SetText(2, "kWh");
        memories.SetText(3, "Fermee");
        memories.SetText(4, "Ouverte");
        memories.SetRecord(kDoor, {"Porte", "", 1, kFlagDefined, 3, 4});
        memories.SetRecord(kAlarm, {"Alarme", "", 1, kFlagDefined});
        memories.SetRecord(kLevel, {"Niveau", "%.1f", 2, kFlagDefined, 1, 0, 0, 0.1f});
        memories.SetRecord(kRaw, {"Brut", "", 2, kFlagDefined | kFlagUnsigned, 0, 0, 0, 0.1f});
        memories.SetRecord(kIndex, {"Index", "%.0f", 5, kFlagDefined, 2, 0, 0, 10.0f});
        memories.SetRecord(kHours, {"Heures", "", 6, kFlagDefined});
        memories.SetRecord(kSince, {"Depuis", "%Y-%m-%d %H:%M", 6, kFlagDefined});
        memories.SetRecord(kTemp, {"Temp", "", 8, kFlagDefined});
        memories.SetRecord(kBadFormat, {"Format", "%s", 2, kFlagDefined, 1});
        memories.SetLastChannel(50);
        ASSERT_EQ(ChannelInfoOpen(&info), 0);
    }
    void TearDown() override { ChannelInfoClose(&info); }

    std::string Value(int channel, double x, int fault = 0) {
        char text[64];
        int n = display_chan_value(&values, &info, channel, 0, x, text, sizeof text, fault);
        EXPECT_EQ(n, static_cast<int>(std::strlen(text)));
        return text;
    }
    std::string Raw(int channel, uint32_t raw, int plain) {
        char text[64];
        int n = display_chan_value_log_raw(&values, &info, channel, raw, text, sizeof text, plain);
        EXPECT_EQ(n, static_cast<int>(std::strlen(text)));
        return text;
    }
    void Format(int channel, const char* format) {
        std::memset(memories.Record(channel) + kChannelFormatOffset, 0, 21);
        std::memcpy(memories.Record(channel) + kChannelFormatOffset, format, std::strlen(format));
    }

    Sandbox box;
    ChanmgrMemories memories;
    ChannelInfo info;
    ChannelValues values;
};

}  // namespace

TEST_F(ValueText, ByTypeScaleUnitAndFormat) {
    struct Case {
        int channel;
        double x;
        int fault;
        const char* expected;
    } cases[] = {
        {kDoor, 1, 0, "Ouverte"},
        {kDoor, 0, 0, "Fermee"},
        {kAlarm, 1, 0, "Vrai"},
        {kAlarm, 0, 0, "Faux"},
        {kAlarm, 0.5, 0, "Vrai"},
        {kLevel, 2.45, 0, "2.5 m"},
        {-kLevel, 2.45, 0, "2.5"},  // a negative channel: without its unit
        {kLevel, 2.45, 1, "NAN"},
        {kIndex, 1234567, 0, "1234567 kWh"},
        {kIndex, 1234567, 1, "1234567 kWh"},  // the fault flag is for analogue channels
        {kHours, 25 * 3600 + 61, 0, "25 h 01 m 01 s"},
        {kHours, 59, 0, "00 h 00 m 59 s"},
        {kSince, 1700000000, 0, "2023-11-14 22:13"},  // UTC
        {kTemp, 21.5, 0, ""},
        {kEmpty, 1, 0, "* * *"},
        {51, 1, 0, "* * *"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Value(c.channel, c.x, c.fault), c.expected) << c.channel << " " << c.x;
    }
}

TEST_F(ValueText, RawWordsOfLogAndMemoLines) {
    struct Case {
        int channel;
        uint32_t raw;
        int plain;
        const char* expected;
    } cases[] = {
        {kRaw, 0xFFFF, 1, "6553.5"},      // unsigned 16 bits x 0.1
        {kLevel, 0xFFFF, 1, "-0.1"},      // signed
        {kLevel, 0x1234FFFF, 1, "-0.1"},  // only the low 16 bits
        {kLevel, 125, 0, "12.5 m"},       // through the display format
        {kDoor, 7, 1, "1"},               // digital: 0 or 1
        {kDoor, 7, 0, "Ouverte"},
        {kIndex, 0xFFFFFFFF, 1, "4.29497e+10"},  // unsigned x 10
        {kIndex, 100000, 1, "1e+06"},
        {kHours, 0xFFFFFFFF, 1, "-1"},  // other types: signed 32 bits
        {kEmpty, 12, 1, "12"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Raw(c.channel, c.raw, c.plain), c.expected) << c.channel << " " << c.raw;
    }
}

// A display format comes from the station configuration: "%s" or "%n" where a number goes would
// read the stack or write through it; they give "Format Error !" and a log line instead.
TEST_F(ValueText, DisplayFormatsThatDoNotFitANumber) {
    struct Case {
        const char* format;
        const char* expected;
        const char* log;  // nullptr: none at error priority
    } cases[] = {
        {"%s", "Format Error ! m",
         "divers.lib : format \"%s\" of channel No 10 refused : "
         "conversion of another kind than its argument"},
        {"%d", "Format Error ! m", "divers.lib :format error for channel No 10 "},
        {"%f%n", "Format Error ! m",
         "divers.lib : format \"%f%n\" of channel No 10 refused : "
         "%n conversion"},
        {"%.1f %.1f", "Format Error ! m", "more conversions than arguments"},
        {"%*f", "Format Error ! m", "width taken from an argument"},
        {"%.3f", "2.450 m", nullptr},
        {"%5.1f%%", "  2.5% m", nullptr},
        {"x%.1f", "2.45 m", nullptr},  // not a format: "%.2f"
    };
    for (const Case& c : cases) {
        Format(kBadFormat, c.format);
        size_t before = box.LogLines().size();
        EXPECT_EQ(Value(kBadFormat, 2.45), c.expected) << c.format;
        std::vector<std::string> lines = box.LogLines();
        std::string added;
        for (size_t i = before; i < lines.size(); ++i) {
            added += lines[i] + "\n";
        }
        if (c.log != nullptr) {
            EXPECT_NE(added.find(c.log), std::string::npos) << c.format << "\n" << added;
        } else {
            EXPECT_EQ(added.find("err "), std::string::npos) << c.format << "\n" << added;
        }
    }
}

TEST_F(ValueText, StationLogWordsCheckTheirAddress) {
    char text[32];
    EXPECT_EQ(DisplayChannelValueLogWithModbusAddr(&values, &info, 0x1602, 125, text, sizeof text),
              6);
    EXPECT_STREQ(text, "12.5 m");
    EXPECT_EQ(DisplayChannelValueLogWithModbusAddr(&values, &info, 0x1000, 1, text, sizeof text),
              7);
    EXPECT_STREQ(text, "Ouverte");
    // A counter's address for a digital channel: the type does not match.
    EXPECT_EQ(DisplayChannelValueLogWithModbusAddr(&values, &info, 0x3000, 1, text, sizeof text),
              7);
    EXPECT_STREQ(text, "* * * *");
    EXPECT_TRUE(
        box.LogHas("divers.lib :inconsistency of the type for channel No 1 (0x3000)", "err"));
}

TEST_F(ValueText, TextsAreCutToTheBuffer) {
    char text[5];
    EXPECT_EQ(display_chan_value(&values, &info, kDoor, 0, 1, text, sizeof text, 0), 4);
    EXPECT_STREQ(text, "Ouve");
    EXPECT_EQ(display_chan_value(&values, &info, kLevel, 0, 2.45, text, sizeof text, 0), 4);
    EXPECT_STREQ(text, "2.5 ");
    EXPECT_EQ(AfficheDate(nullptr, 90061, text, sizeof text), 4);
    EXPECT_STREQ(text, "25 h");
    EXPECT_EQ(display_chan_value(&values, &info, kDoor, 0, 1, text, 0, 0), 0);
}

// The plain form is printf's "%g", written without printf.
TEST(PlainNumber, IsPrintfsG) {
    std::mt19937_64 random(12345);
    std::vector<double> values{0,      -0.0,    12.5,    1e6,   999999.5, 1e-5,   0.0001,
                               123456, 1234567, -6553.5, 1e300, 5e-324,   1.0 / 3};
    for (int i = 0; i < 20000; ++i) {
        uint64_t bits = random();
        double x;
        std::memcpy(&x, &bits, sizeof x);
        values.push_back(x);
        values.push_back(static_cast<double>(static_cast<int32_t>(bits)) * 0.1);
    }
    for (double x : values) {
        char expected[64];
        std::snprintf(expected, sizeof expected, "%g", x);
        char text[64];
        EXPECT_EQ(PlainNumber(x, text, sizeof text), static_cast<int>(std::strlen(expected)));
        ASSERT_STREQ(text, expected) << x;
    }
}

// The current value, as an alarm text shows it: from the channel memories, with the channel's
// fault flag.
TEST_F(ValueText, CurrentValuesFromTheMemories) {
    memories.SetBool(kDoor, 1);
    memories.SetFloat(kLevel, 2.45f);
    memories.SetLong(kIndex, -1);  // read unsigned
    memories.SetLong(kHours, 90061);
    memories.SetRecord(11, {"Defaut", "%.1f", 2, kFlagDefined | kFlagDefaut, 1});
    memories.SetFloat(11, 7.0f);
    ASSERT_EQ(ChannelReadOpen(&values), 0);
    struct Case {
        int channel;
        const char* expected;
    } cases[] = {
        {kDoor, "Ouverte"},
        {kLevel, "2.5 m"},
        {-kLevel, "2.5"},
        {kIndex, "42949672950 kWh"},
        {kHours, "25 h 01 m 01 s"},
        {11, "NAN"},
        {kTemp, ""},
    };
    for (const Case& c : cases) {
        char text[64];
        EXPECT_EQ(display_chan_value_syn(&values, &info, c.channel, text, sizeof text),
                  static_cast<int>(std::strlen(c.expected)));
        EXPECT_STREQ(text, c.expected) << c.channel;
    }
    ChannelReadClose(&values);
}
