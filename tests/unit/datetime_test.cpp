// Date and time services: date checks, the ISO 8601 form, elapsed times, the packed
// date-time, week days and the summer-time change-overs, under a chosen time zone.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "datetime.h"
#include "sandbox.h"
#include "stationlog.h"

namespace {

constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

// Sets TZ for one test and puts the previous setting back.
class ScopedTimeZone {
  public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* previous = std::getenv("TZ")) {
            previous_ = previous;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (previous_) {
            setenv("TZ", previous_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

  private:
    std::optional<std::string> previous_;
};

struct tm Date(int year, int month, int day, int hour, int minute, int second) {
    struct tm date {};
    date.tm_year = year - 1900;
    date.tm_mon = month - 1;
    date.tm_mday = day;
    date.tm_hour = hour;
    date.tm_min = minute;
    date.tm_sec = second;
    date.tm_isdst = -1;
    return date;
}

class DateTimeTest : public ::testing::Test {
  protected:
    void SetUp() override { StationOpenLog("datetest"); }
    Sandbox box;
    ScopedTimeZone zone{kCentralEurope};
};

}  // namespace

TEST_F(DateTimeTest, VerifyDateTimeNamesTheFirstWrongField) {
    struct Case {
        struct tm date;
        int result;
        const char* log;
    } cases[] = {
        {Date(2024, 2, 30, 23, 59, 59), 0, nullptr},
        {Date(2024, 1, 1, 0, 0, 0), 0, nullptr},
        {Date(2024, 1, 0, 10, 0, 0), 1, "divers.lib : Erreur date : jour=0"},
        {Date(2024, 1, 32, 10, 0, 0), 1, "divers.lib : Erreur date : jour=32"},
        {Date(2024, 13, 1, 10, 0, 0), 2, "divers.lib : Erreur date : mois=12"},
        {Date(2024, 0, 1, 10, 0, 0), 2, "divers.lib : Erreur date : mois=-1"},
        {Date(2024, 1, 1, 24, 0, 0), 3, "divers.lib : Erreur date : heure=24"},
        {Date(2024, 1, 1, 10, 60, 0), 4, "divers.lib : Erreur date : minute=60"},
        {Date(2024, 1, 1, 10, 0, 60), 5, "divers.lib : Erreur date : seconde=60"},
        {Date(2024, 13, 0, 24, 60, 60), 1, "divers.lib : Erreur date : jour=0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VerifyDateTime(&c.date), c.result) << (c.log ? c.log : "valid");
        if (c.log != nullptr) {
            EXPECT_TRUE(box.LogHas(c.log, "err")) << c.log;
        }
    }
    EXPECT_EQ(VerifyDateTime(nullptr), 1);
}

TEST_F(DateTimeTest, Iso8601TextsAreLocalTime) {
    struct Case {
        const char* text;
        time_t expected;
    } cases[] = {
        {"20240230T10:00:00", 1709283600},  // 1 March 2024 10:00 CET
        {"20240315T12:00:00", 1710500400},  // winter: UTC + 1
        {"20240715T12:00:00", 1721037600},  // summer: UTC + 2
        {"20241332T10:00:00", -1},
        {"20240101T24:00:00", -1},
        {"20240101", -1},
        {"", -1},
        {nullptr, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DecodeDateTimeIso8601(c.text), c.expected) << (c.text ? c.text : "null");
    }
    for (const char* text : {"20240315T12:00:00", "20240715T12:00:00", "19991231T23:59:58"}) {
        EXPECT_STREQ(EncodeDateTimeIso8601(DecodeDateTimeIso8601(text)), text);
    }
    EXPECT_STREQ(EncodeDateTimeIso8601(0), "19700101T01:00:00");
}

TEST_F(DateTimeTest, ElapsedTimes) {
    struct Case {
        timeval begin;
        timeval end;
        long ms;
        int32_t micros;
    } cases[] = {
        {{10, 900000}, {11, 100000}, 200, 200000},
        {{0, 0}, {1, 0}, 1000, 1000000},
        {{1700000000, 999999}, {1700000001, 500}, 0, 501},
        {{1700000000, 0}, {1700001000, 1000}, 1000001, 1000001000},
        // The 32-bit microsecond count wraps between these two readings.
        {{4294, 900000}, {4295, 100000}, 200, 200000},
        {{5, 0}, {4, 999000}, -1, -1000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CalculateElapsedTimeMs(c.begin, c.end), c.ms) << c.begin.tv_sec;
        EXPECT_EQ(CalculateElapsedTimeMicros(c.begin, c.end), c.micros) << c.begin.tv_sec;
    }
    EXPECT_TRUE(box.LogHas("divers.lib : Elapsed Time (ms)<0 begin (5,0) End (4,999000)", "err"));
}

TEST_F(DateTimeTest, PackedDateTime) {
    // Sunday 31 March 2024 14:07:09, local (summer time) then in UTC.
    EXPECT_EQ(ConvertsDateTimeVelun(1711886829), 0x1F3270E4u);
    {
        ScopedTimeZone utc("UTC0");
        EXPECT_EQ(ConvertsDateTimeVelun(1711894029), 0x1F3270E4u);
        // Monday 1 January 1990 00:00:00: year field 0.
        EXPECT_EQ(ConvertsDateTimeVelun(631152000), 0x21100000u);
        // Saturday 31 December 1983 23:59:59: (1983 - 1990) mod 16 = 9, 59 s gives 29.
        EXPECT_EQ(ConvertsDateTimeVelun(441763199), (6u << 29) | (31u << 24) | (12u << 20) |
                                                        (9u << 16) | (23u << 11) | (59u << 5) |
                                                        29u);
    }
}

TEST(DateTime, LeapYears) {
    struct Case {
        int year;
        int leap;
    } cases[] = {{2024, 1}, {2023, 0}, {1900, 0}, {2000, 1}, {2100, 0}, {1996, 1}};
    for (const Case& c : cases) {
        EXPECT_EQ(IsLeapYear(c.year), c.leap) << c.year;
    }
}

TEST(DateTime, WeekDayMatchesTheCalendarFrom1901To2099) {
    EXPECT_EQ(CalculateWeekDay(31, 3, 2024), 0);
    EXPECT_EQ(CalculateWeekDay(28, 10, 2024), 1);
    EXPECT_EQ(CalculateWeekDay(1, 1, 124), CalculateWeekDay(1, 1, 2024));
    const int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    // Counted day by day from Tuesday 1 January 1901: the board's 32-bit time_t cannot hold
    // most of these dates, so the calendar is not asked.
    int wrong = 0;
    int weekDay = 2;
    for (int year = 1901; year <= 2099; ++year) {
        for (int month = 1; month <= 12; ++month) {
            int days = lengths[month - 1] + (month == 2 ? IsLeapYear(year) : 0);
            for (int day = 1; day <= days; ++day, weekDay = (weekDay + 1) % 7) {
                if (CalculateWeekDay(day, month, year) != weekDay && ++wrong < 5) {
                    ADD_FAILURE() << day << "/" << month << "/" << year;
                }
            }
        }
    }
    EXPECT_EQ(weekDay, 5);  // the count itself: 1 January 2100 is a Friday
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(CalculateWeekDay(1, 0, 2024), -1);
    EXPECT_EQ(CalculateWeekDay(1, 13, 2024), -1);
    EXPECT_EQ(CalculateWeekDay(0, 1, 2024), -1);
    EXPECT_EQ(CalculateWeekDay(32, 1, 2024), -1);
}

TEST_F(DateTimeTest, ChangeOverInstantsAreLastSundaysAtOneUtc) {
    struct Case {
        int year;
        time_t summer;
        time_t winter;
    } cases[] = {
        {2023, 1679792400, 1698541200},
        {2024, 1711846800, 1729990800},
        {2025, 1743296400, 1761440400},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ChangeOverDateInSummerTime(c.year), c.summer) << c.year;
        EXPECT_EQ(ChangeOverDateInWinterTime(c.year), c.winter) << c.year;
    }
    EXPECT_TRUE(box.LogHas("Calcul du dernier dimanche 31/3/2024 1:0:0 =0", "debug"));
}

TEST_F(DateTimeTest, SummerTimeIncludesTheOctoberInstantButNotTheMarchOne) {
    struct Case {
        time_t time;
        int summer;
    } cases[] = {
        {1711846800, 0}, {1711846801, 1}, {1729990800, 1},
        {1729990801, 0}, {1704067200, 0},  // 1 January 2024
        {1721037600, 1},                   // 15 July 2024
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsSummerTime(c.time), c.summer) << c.time;
    }
    // Away from the instants themselves, the rule agrees with the zone's own rule.
    for (time_t t = 1704067200 + 1800; t < 1735689600; t += 3600) {
        struct tm local {};
        localtime_r(&t, &local);
        ASSERT_EQ(IsSummerTime(t), local.tm_isdst > 0 ? 1 : 0) << t;
    }
}

TEST_F(DateTimeTest, UtcConversionLeavesTheTimeZoneAlone) {
    struct tm date = Date(2024, 10, 27, 1, 0, 0);
    date.tm_isdst = 1;
    EXPECT_EQ(MktimeFromGMT(&date), 1729990800);
    EXPECT_EQ(date.tm_wday, 0);
    EXPECT_EQ(MktimeFromGMT(nullptr), -1);
    EXPECT_STREQ(std::getenv("TZ"), kCentralEurope);
    {
        unsetenv("TZ");
        struct tm other = Date(2024, 3, 31, 1, 0, 0);
        EXPECT_EQ(MktimeFromGMT(&other), 1711846800);
        EXPECT_EQ(std::getenv("TZ"), nullptr);
    }
}
