// Date and time services shared by the modules: checking a broken-down date, the compact
// ISO 8601 form the station exchanges, elapsed times, the station's packed 32-bit date-time,
// the day of the week and the European summer-time rule (last Sundays of March and October,
// 01:00 UTC).
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <ctime>

// 0 when valid, else the first wrong field (logged): 1 day of month, 2 month, 3 hour,
// 4 minute, 5 second. Neither the year nor the length of the month is checked.
int VerifyDateTime(const struct tm* date);

// "YYYYMMDDTHH:MM:SS" read as local time, or -1 when the text is not of that form or the date
// fails VerifyDateTime. A day past the month's end rolls over into the next month.
time_t DecodeDateTimeIso8601(const char* text);
// Local time of the value as "YYYYMMDDTHH:MM:SS", in a buffer valid until the next call.
const char* EncodeDateTimeIso8601(time_t time);

// Elapsed time between two time-of-day readings; a negative result is logged and returned.
long CalculateElapsedTimeMs(const timeval& begin, const timeval& end);
// Elapsed microseconds in 32-bit arithmetic: right for intervals under 2^31 microseconds
// (about 35 minutes).
int32_t CalculateElapsedTimeMicros(const timeval& begin, const timeval& end);

// Packed date-time of the local time of the value: bits 31-29 day of week (0 = Sunday), 28-24
// day of month, 23-20 month 1 to 12, 19-16 (year - 1990) mod 16, 15-11 hour, 10-5 minute,
// 4-0 second / 2.
uint32_t ConvertsDateTimeVelun(time_t time);

// 1 when the full year is a leap year, else 0.
int IsLeapYear(int year);
// Day of week (0 = Sunday ... 6 = Saturday) of day 1-31, month 1-12, for the years 1901 to
// 2099 (a year of 1900 or less counts from 1900). -1 for a day or month out of range.
int CalculateWeekDay(int day, int month, int year);

// Broken-down UTC time to a time value (the structure is normalised), or -1.
time_t MktimeFromGMT(struct tm* date);
// The change-over instant of a month of 31 days (March or October): its last Sunday at
// 01:00:00 UTC.
time_t CalculDernierDimanche(int month, int year);
time_t ChangeOverDateInSummerTime(int year);
time_t ChangeOverDateInWinterTime(int year);
// 1 when the value is after the March instant and not after the October instant of its year
// (in UTC), else 0.
int IsSummerTime(time_t time);

// The same calendar in 64-bit seconds from 1970, right beyond 2038 whatever the width of
// time_t (the board's is 32 bits). Days from 1970-01-01 of a Gregorian date (month 1 to 12),
// and the date of such a day (year, month, day, day of week and day of year).
int64_t DaysFromCivil(int64_t year, int month, int day);
void CivilFromDays(int64_t days, struct tm* date);
// Whether a value fits the C library's time_t.
bool FitsTimeT(int64_t seconds);
// The local time of the value: the C library's when it fits time_t, else the calendar with the
// offset from UTC of the last time the library can convert.
void LocalTime64(int64_t seconds, struct tm* date);
// IsSummerTime for any value (the same answer where time_t holds it).
int IsSummerTime64(int64_t seconds);
