#include "datetime.h"

#include <climits>
#include <cstdio>
#include <limits>

#include "stationlog.h"

int VerifyDateTime(const struct tm* date) {
    if (date == nullptr) {
        StationLog(LOG_ERR, "divers.lib : Erreur date : pas de date");
        return 1;
    }
    if (date->tm_mday < 1 || date->tm_mday > 31) {
        StationLog(LOG_ERR, "divers.lib : Erreur date : jour=%d", date->tm_mday);
        return 1;
    }
    if (date->tm_mon < 0 || date->tm_mon > 11) {
        StationLog(LOG_ERR, "divers.lib : Erreur date : mois=%d", date->tm_mon);
        return 2;
    }
    if (date->tm_hour < 0 || date->tm_hour > 23) {
        StationLog(LOG_ERR, "divers.lib : Erreur date : heure=%d", date->tm_hour);
        return 3;
    }
    if (date->tm_min < 0 || date->tm_min > 59) {
        StationLog(LOG_ERR, "divers.lib : Erreur date : minute=%d", date->tm_min);
        return 4;
    }
    if (date->tm_sec < 0 || date->tm_sec > 59) {
        StationLog(LOG_ERR, "divers.lib : Erreur date : seconde=%d", date->tm_sec);
        return 5;
    }
    return 0;
}

time_t DecodeDateTimeIso8601(const char* text) {
    if (text == nullptr) {
        StationLog(LOG_ERR, "divers.lib : Erreur date : pas de texte");
        return -1;
    }
    struct tm date {};
    int read = std::sscanf(text, "%4d%2d%2dT%2d:%2d:%2d", &date.tm_year, &date.tm_mon,
                           &date.tm_mday, &date.tm_hour, &date.tm_min, &date.tm_sec);
    if (read != 6) {
        StationLog(LOG_ERR, "divers.lib : Erreur date : texte=%.40s", text);
        return -1;
    }
    date.tm_mon -= 1;
    date.tm_year -= 1900;
    date.tm_isdst = -1;  // the system knows whether summer time applies
    if (VerifyDateTime(&date) != 0) {
        return -1;
    }
    return mktime(&date);
}

const char* EncodeDateTimeIso8601(time_t time) {
    static char text[19];
    struct tm date {};
    if (localtime_r(&time, &date) == nullptr ||
        strftime(text, sizeof text, "%Y%m%dT%H:%M:%S", &date) == 0) {
        text[0] = '\0';
    }
    return text;
}

long CalculateElapsedTimeMs(const timeval& begin, const timeval& end) {
    long long micros = static_cast<long long>(end.tv_usec) - begin.tv_usec;
    long long seconds = static_cast<long long>(end.tv_sec) - begin.tv_sec;
    if (micros < 0) {
        micros += 1000000;
        seconds -= 1;
    }
    long long elapsed = micros / 1000 + seconds * 1000;
    // Held to the range of the result rather than wrapping on a 32-bit board.
    if (elapsed > LONG_MAX) {
        elapsed = LONG_MAX;
    } else if (elapsed < LONG_MIN) {
        elapsed = LONG_MIN;
    }
    if (elapsed < 0) {
        StationLog(LOG_ERR, "divers.lib : Elapsed Time (ms)<0 begin (%ld,%ld) End (%ld,%ld)",
                   static_cast<long>(begin.tv_sec), static_cast<long>(begin.tv_usec),
                   static_cast<long>(end.tv_sec), static_cast<long>(end.tv_usec));
    }
    return static_cast<long>(elapsed);
}

int32_t CalculateElapsedTimeMicros(const timeval& begin, const timeval& end) {
    // Modulo 2^32 on purpose: the difference is right whenever the interval fits in 31 bits.
    uint32_t endMicros =
        static_cast<uint32_t>(end.tv_sec) * 1000000u + static_cast<uint32_t>(end.tv_usec);
    uint32_t beginMicros =
        static_cast<uint32_t>(begin.tv_sec) * 1000000u + static_cast<uint32_t>(begin.tv_usec);
    return static_cast<int32_t>(endMicros - beginMicros);
}

uint32_t ConvertsDateTimeVelun(time_t time) {
    struct tm date {};
    if (localtime_r(&time, &date) == nullptr) {
        StationLog(LOG_ERR, "divers.lib : Erreur date : valeur=%lld", static_cast<long long>(time));
        return 0;
    }
    uint32_t yearField = static_cast<uint32_t>(((date.tm_year + 1900 - 1990) % 16 + 16) % 16);
    return static_cast<uint32_t>(date.tm_wday & 0x7) << 29 |
           static_cast<uint32_t>(date.tm_mday & 0x1F) << 24 |
           static_cast<uint32_t>((date.tm_mon + 1) & 0xF) << 20 | yearField << 16 |
           static_cast<uint32_t>(date.tm_hour & 0x1F) << 11 |
           static_cast<uint32_t>(date.tm_min & 0x3F) << 5 |
           static_cast<uint32_t>((date.tm_sec / 2) & 0x1F);
}

int IsLeapYear(int year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0) ? 1 : 0;
}

int CalculateWeekDay(int day, int month, int year) {
    static const int kMonthOffset[12] = {20, 0, 16, 24, 20, 0, 24, 4, 12, 8, 16, 12};
    if (day < 1 || day > 31) {
        StationLog(LOG_ERR, "divers.lib : Erreur date : jour=%d", day);
        return -1;
    }
    if (month < 1 || month > 12) {
        StationLog(LOG_ERR, "divers.lib : Erreur date : mois=%d", month);
        return -1;
    }
    int y = year > 1900 ? year - 1900 : year;
    // The year's place in the 28-year cycle is taken non-negative, so that the years before
    // 1921 get the right day too.
    int cycle = ((y - 21) % 28 + 28) % 28;
    int b = kMonthOffset[month - 1] + cycle + (month > 2 ? 1 : 0);
    int w = (day + (b / 4 + b) % 7) % 7;
    return w == 6 ? 0 : w + 1;
}

time_t MktimeFromGMT(struct tm* date) {
    if (date == nullptr) {
        return -1;
    }
    // timegm converts as UTC without touching the process's TZ setting.
    return timegm(date);
}

time_t CalculDernierDimanche(int month, int year) {
    int w = CalculateWeekDay(31, month, year);
    StationLog(LOG_DEBUG, "Calcul du dernier dimanche %d/%d/%d %d:%d:%d =%d", 31, month, year, 1, 0,
               0, w);
    if (w < 0) {
        return -1;
    }
    struct tm date {};
    date.tm_mday = 31 - w;
    date.tm_mon = month - 1;
    date.tm_year = year - 1900;
    date.tm_hour = 1;
    return MktimeFromGMT(&date);
}

time_t ChangeOverDateInSummerTime(int year) {
    return CalculDernierDimanche(3, year);
}

time_t ChangeOverDateInWinterTime(int year) {
    return CalculDernierDimanche(10, year);
}

int64_t DaysFromCivil(int64_t year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

void CivilFromDays(int64_t days, struct tm* date) {
    const int64_t shiftedDays = days + 719468;
    const int64_t era = (shiftedDays >= 0 ? shiftedDays : shiftedDays - 146096) / 146097;
    const int64_t dayOfEra = shiftedDays - era * 146097;
    const int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t shifted = (5 * dayOfYear + 2) / 153;
    const int month = static_cast<int>(shifted < 10 ? shifted + 3 : shifted - 9);
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    date->tm_mday = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
    date->tm_mon = month - 1;
    date->tm_year = static_cast<int>(year - 1900);
    date->tm_wday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    date->tm_yday = static_cast<int>(days - DaysFromCivil(year, 1, 1));
}

bool FitsTimeT(int64_t seconds) {
    return static_cast<int64_t>(static_cast<time_t>(seconds)) == seconds;
}

namespace {

int64_t FloorDiv(int64_t value, int64_t divisor) {
    return value / divisor - (value % divisor < 0 ? 1 : 0);
}

void UtcTime64(int64_t seconds, struct tm* date) {
    const int64_t days = FloorDiv(seconds, 86400);
    const int64_t second = seconds - days * 86400;
    *date = tm{};
    CivilFromDays(days, date);
    date->tm_hour = static_cast<int>(second / 3600);
    date->tm_min = static_cast<int>(second / 60 % 60);
    date->tm_sec = static_cast<int>(second % 60);
}

// The change-over instant of a month of 31 days: its last Sunday, 01:00:00 UTC.
int64_t LastSundayAt1(int64_t year, int month) {
    const int64_t last = DaysFromCivil(year, month, 31);
    struct tm date {};
    CivilFromDays(last, &date);
    return (last - date.tm_wday) * 86400 + 3600;
}

}  // namespace

void LocalTime64(int64_t seconds, struct tm* date) {
    if (FitsTimeT(seconds)) {
        time_t value = static_cast<time_t>(seconds);
        if (localtime_r(&value, date) != nullptr) {
            return;
        }
    }
    time_t latest = std::numeric_limits<time_t>::max();
    struct tm last {};
    long offset = localtime_r(&latest, &last) != nullptr ? last.tm_gmtoff : 0;
    UtcTime64(seconds + offset, date);
}

int IsSummerTime64(int64_t seconds) {
    if (FitsTimeT(seconds)) {
        return IsSummerTime(static_cast<time_t>(seconds));
    }
    struct tm date {};
    UtcTime64(seconds, &date);
    const int64_t year = date.tm_year + 1900LL;
    return seconds > LastSundayAt1(year, 3) && seconds <= LastSundayAt1(year, 10) ? 1 : 0;
}

int IsSummerTime(time_t time) {
    struct tm date {};
    if (gmtime_r(&time, &date) == nullptr) {
        return 0;
    }
    int year = date.tm_year + 1900;
    return time > ChangeOverDateInSummerTime(year) && time <= ChangeOverDateInWinterTime(year) ? 1
                                                                                               : 0;
}
