// M-Bus long-frame checks and the data-record decoder.
#include "mbus.h"

#include <syslog.h>

#include <array>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

#include "datetime.h"

namespace {

using mbus::Coding;
using mbus::Stop;

const char* const kQuantityNames[mbus::kQuantityCount] = {"Energy",
                                                          "Volume",
                                                          "Mass",
                                                          "OnTime",
                                                          "OperatingTime",
                                                          "Power",
                                                          "VolumeFlow",
                                                          "MassFlow",
                                                          "FlowTemperature",
                                                          "ReturnTemperature",
                                                          "TemperatureDifference",
                                                          "ExternalTemperature",
                                                          "Pressure",
                                                          "DateTimePoint",
                                                          "DatePoint",
                                                          "AveragingDuration",
                                                          "ActualityDuration",
                                                          "BusAddr",
                                                          "ErrorFlags"};

constexpr int kUnitCount = 17;
const char* const kUnitNames[kUnitCount + 1] = {
    "unknow", "Wh",  "J",    "m3",     "kg",   "secondes", "minutes", "heures", "Jour",
    "W",      "J/h", "m3/h", "m3/min", "m3/s", "kg/h",     "degreC",  "K",      "bar"};

const char* const kFunctionNames[4] = {"Inst", "Min", "Max", "Error"};

// Unit indexes.
constexpr int kWh = 1, kJ = 2, kM3 = 3, kKg = 4, kSecondes = 5, kW = 9, kJh = 10, kM3h = 11,
              kM3min = 12, kM3s = 13, kKgh = 14, kDegreC = 15, kK = 16, kBar = 17;

// The function field (DIF bits 4-5) on the wire is instantaneous, maximum, minimum, error; this
// system numbers them Inst, Min, Max, Error.
const int kFunctionOfField[4] = {mbus::kInst, mbus::kMax, mbus::kMin, mbus::kError};

// 10^-15 .. 10^15, indexed by exponent + 15: every multiplier a VIF and its correction factor
// give (10^-9 .. 10^7 times 10^-6 .. 10^3), and the steps of an additive correction, without
// pow() at run time.
constexpr int kPow10Min = -15;
const double kPow10[31] = {1e-15, 1e-14, 1e-13, 1e-12, 1e-11, 1e-10, 1e-9, 1e-8, 1e-7, 1e-6, 1e-5,
                           1e-4,  1e-3,  1e-2,  1e-1,  1e0,   1e1,   1e2,  1e3,  1e4,  1e5,  1e6,
                           1e7,   1e8,   1e9,   1e10,  1e11,  1e12,  1e13, 1e14, 1e15};
double Pow10(int exponent) {
    return kPow10[exponent - kPow10Min];
}
const int64_t kIntPow10[16] = {1,
                               10,
                               100,
                               1000,
                               10000,
                               100000,
                               1000000,
                               10000000,
                               100000000,
                               1000000000,
                               10000000000,
                               100000000000,
                               1000000000000,
                               10000000000000,
                               100000000000000,
                               1000000000000000};

// Plain VIF ranges: quantity, unit, and the exponent offset applied to the low bits (nnn for
// ranges of 8, nn for ranges of 4). Durations take their unit from nn and have no multiplier.
struct VifRange {
    unsigned char first;
    unsigned char last;
    int quantity;
    int unit;  // 0 with a duration: unit = secondes + nn
    int offset;
};

constexpr VifRange kVifRanges[] = {
    {0x00, 0x07, mbus::kEnergy, kWh, -3},
    {0x08, 0x0F, mbus::kEnergy, kJ, 0},
    {0x10, 0x17, mbus::kVolume, kM3, -6},
    {0x18, 0x1F, mbus::kMass, kKg, -3},
    {0x20, 0x23, mbus::kOnTime, 0, 0},
    {0x24, 0x27, mbus::kOperatingTime, 0, 0},
    {0x28, 0x2F, mbus::kPower, kW, -3},
    {0x30, 0x37, mbus::kPower, kJh, 0},
    {0x38, 0x3F, mbus::kVolumeFlow, kM3h, -6},
    {0x40, 0x47, mbus::kVolumeFlow, kM3min, -7},
    {0x48, 0x4F, mbus::kVolumeFlow, kM3s, -9},
    {0x50, 0x57, mbus::kMassFlow, kKgh, -3},
    {0x58, 0x5B, mbus::kFlowTemperature, kDegreC, -3},
    {0x5C, 0x5F, mbus::kReturnTemperature, kDegreC, -3},
    {0x60, 0x63, mbus::kTemperatureDifference, kK, -3},
    {0x64, 0x67, mbus::kExternalTemperature, kDegreC, -3},
    {0x68, 0x6B, mbus::kPressure, kBar, -3},
};

void Tracef(MbusOutput* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Tracef(MbusOutput* out, const char* format, ...) {
    if (!out->TraceWanted()) {
        return;
    }
    char text[160];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n > 0) {
        out->Trace(text, n < static_cast<int>(sizeof text) ? n : static_cast<int>(sizeof text) - 1);
    }
}

const char kHexDigits[] = "0123456789ABCDEF";

void TraceStopUnsupported(MbusOutput* out) {
    Tracef(out, "Fonctionnalite non implementee :arret interpretation\n");
}

// Unsigned little-endian integer of n bytes (n <= 8).
// The checksum of a long frame: the sum of its bytes from the control field on, modulo 256.
unsigned char FrameSum(const unsigned char* bytes, int n) {
    unsigned char sum = 0;
    for (int i = 0; i < n; ++i) {
        sum = static_cast<unsigned char>(sum + bytes[i]);
    }
    return sum;
}

uint64_t LittleEndian(const unsigned char* bytes, int n) {
    uint64_t value = 0;
    for (int i = n - 1; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

// Each byte's two BCD digits as a number 0..99, or 0xFF when a nibble is no digit.
constexpr std::array<unsigned char, 256> BcdTable() {
    std::array<unsigned char, 256> table{};
    for (int b = 0; b < 256; ++b) {
        table[static_cast<size_t>(b)] =
            (b >> 4) > 9 || (b & 0x0F) > 9 ? 0xFF
                                           : static_cast<unsigned char>((b >> 4) * 10 + (b & 0x0F));
    }
    return table;
}
constexpr std::array<unsigned char, 256> kBcdPairs = BcdTable();

// BCD digits, least significant byte first (n <= 8). A most significant nibble F is the minus
// sign of the other digits. false when a nibble is no digit (meters send A-F for "no reading").
bool Bcd(const unsigned char* bytes, int n, int64_t* out) {
    int top = bytes[n - 1];
    const bool negative = (top >> 4) == 0x0F;
    unsigned pair = kBcdPairs[negative ? top & 0x0F : top];
    int64_t value = pair;
    for (int i = n - 2; i >= 0; --i) {
        if (pair == 0xFF) {
            return false;
        }
        pair = kBcdPairs[bytes[i]];
        value = value * 100 + pair;
    }
    if (pair == 0xFF) {
        return false;
    }
    *out = negative ? -value : value;
    return true;
}

// Seconds since 1970 of a local date, and its normalised fields (for the trace). Meters count
// years up to 2127, past what a 32-bit time_t holds (the board's): such a date is worked out
// from the calendar, with the offset from UTC of the last time the C library can convert.
int64_t LocalTime(int year, int month, int day, int hour, int minute, int second, tm& t) {
    t = tm{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    const time_t converted = mktime(&t);
    if (converted != static_cast<time_t>(-1)) {
        return converted;
    }
    const time_t last = std::numeric_limits<time_t>::max();
    tm lastLocal{};
    localtime_r(&last, &lastLocal);
    const int64_t months = int64_t{year} * 12 + month - 1;
    const int64_t year0 = months >= 0 ? months / 12 : (months - 11) / 12;
    const int64_t days =
        DaysFromCivil(year0, static_cast<int>(months - year0 * 12) + 1, 1) + day - 1;
    const int64_t local = days * 86400 + hour * 3600 + minute * 60 + second;
    const int64_t localDays = local >= 0 ? local / 86400 : (local - 86399) / 86400;
    const int64_t within = local - localDays * 86400;
    t = tm{};
    CivilFromDays(localDays, &t);
    t.tm_hour = static_cast<int>(within / 3600);
    t.tm_min = static_cast<int>(within % 3600 / 60);
    t.tm_sec = static_cast<int>(within % 60);
    t.tm_wday = static_cast<int>(((localDays + 4) % 7 + 7) % 7);
    return local - lastLocal.tm_gmtoff;
}

// Forgets the conversions when TZ is no longer the one they were made in.
void CheckZone(MbusDateCache* cache) {
    using Zone = MbusDateCache::Zone;
    const char* tz = getenv("TZ");
    if (tz == nullptr ? cache->zone == Zone::Unset
                      : cache->zone == Zone::Set && strcmp(tz, cache->zoneName) == 0) {
        return;
    }
    for (auto& set : cache->entries) {
        for (MbusDateCache::Entry& e : set) {
            e.key = -1;
        }
    }
    if (tz == nullptr) {
        cache->zone = Zone::Unset;
    } else if (strlen(tz) < sizeof cache->zoneName) {
        cache->zone = Zone::Set;
        snprintf(cache->zoneName, sizeof cache->zoneName, "%s", tz);
    } else {
        cache->zone = Zone::Uncached;
    }
}

// LocalTime through the cache's conversions (fields already checked to be in range); without a
// cache, or for a TZ too long to keep, the conversion is made afresh. t (when not null) receives
// the fields the trace shows.
int64_t LocalTimeKept(MbusDateCache* cache, int year, int month, int day, int hour, int minute,
                      int second, tm* t) {
    using Zone = MbusDateCache::Zone;
    if (cache == nullptr || (cache->zone != Zone::Set && cache->zone != Zone::Unset)) {
        tm fields{};
        int64_t seconds = LocalTime(year, month, day, hour, minute, second, fields);
        if (t != nullptr) {
            *t = fields;
        }
        return seconds;
    }
    const int64_t key =
        int64_t{year} << 26 | month << 22 | day << 17 | hour << 12 | minute << 6 | second;
    const unsigned set =
        static_cast<unsigned>((static_cast<uint64_t>(key) * 0x9E3779B97F4A7C15u) >> 59);
    for (const MbusDateCache::Entry& e : cache->entries[set]) {
        if (e.key == key) {
            if (t != nullptr) {
                *t = tm{};
                t->tm_year = e.year;
                t->tm_mon = e.month;
                t->tm_mday = e.day;
                t->tm_hour = e.hour;
                t->tm_min = e.minute;
                t->tm_sec = e.second;
                t->tm_wday = e.weekday;
            }
            return e.seconds;
        }
    }
    tm fields{};
    const int64_t seconds = LocalTime(year, month, day, hour, minute, second, fields);
    if (t != nullptr) {
        *t = fields;
    }
    MbusDateCache::Entry& e = cache->entries[set][cache->next[set]];
    cache->next[set] = static_cast<unsigned char>((cache->next[set] + 1) % MbusDateCache::kWays);
    e.key = key;
    e.seconds = seconds;
    e.year = static_cast<int16_t>(fields.tm_year);
    e.month = static_cast<unsigned char>(fields.tm_mon);
    e.day = static_cast<unsigned char>(fields.tm_mday);
    e.hour = static_cast<unsigned char>(fields.tm_hour);
    e.minute = static_cast<unsigned char>(fields.tm_min);
    e.second = static_cast<unsigned char>(fields.tm_sec);
    e.weekday = static_cast<unsigned char>(fields.tm_wday);
    return seconds;
}

// The year of a date's 7-bit year field: with century bits 1900 + 100 x century + field;
// without, 2000 + field up to 80 and 1900 + field above (96 is 1996, 127 is 2027).
int Year(int field, int century) {
    if (century != 0) {
        return 1900 + 100 * century + field;
    }
    return field > 80 ? 1900 + field : 2000 + field;
}

// Fields a calendar has (mktime would turn 30 February into a day of March).
bool ValidFields(int year, int month, int day, int hour, int minute, int second) {
    static const unsigned char kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] || hour > 23 || minute > 59 ||
        second > 59) {
        return false;
    }
    bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    return month != 2 || day <= 28 || leap;
}

// Type G (2 bytes): a date. false for fields no calendar has (a date of zeros in an error state).
bool DateG(MbusDateCache* cache, const unsigned char* b, int64_t* seconds, tm* t) {
    int year = Year(((b[0] >> 5) & 0x07) | ((b[1] >> 4) << 3), 0);
    int month = b[1] & 0x0F, day = b[0] & 0x1F;
    if (!ValidFields(year, month, day, 0, 0, 0)) {
        return false;
    }
    *seconds = LocalTimeKept(cache, year, month, day, 0, 0, 0, t);
    return true;
}

// Type F (4 bytes): a date and a time to the minute; false also when the meter flags the time
// invalid (byte 0 bit 7).
bool DateTimeF(MbusDateCache* cache, const unsigned char* b, int64_t* seconds, tm* t) {
    int year = Year(((b[2] >> 5) & 0x07) | ((b[3] >> 4) << 3), (b[1] >> 5) & 0x03);
    int month = b[3] & 0x0F, day = b[2] & 0x1F, hour = b[1] & 0x1F, minute = b[0] & 0x3F;
    if ((b[0] & 0x80) != 0 || !ValidFields(year, month, day, hour, minute, 0)) {
        return false;
    }
    *seconds = LocalTimeKept(cache, year, month, day, hour, minute, 0, t);
    return true;
}

// Type I (6 bytes): a date and a time to the second.
bool DateTimeI(MbusDateCache* cache, const unsigned char* b, int64_t* seconds, tm* t) {
    int year = Year(((b[3] >> 5) & 0x07) | ((b[4] >> 4) << 3), 0);
    int month = b[4] & 0x0F, day = b[3] & 0x1F, hour = b[2] & 0x1F, minute = b[1] & 0x3F,
        second = b[0] & 0x3F;
    if (!ValidFields(year, month, day, hour, minute, second)) {
        return false;
    }
    *seconds = LocalTimeKept(cache, year, month, day, hour, minute, second, t);
    return true;
}

void TraceValue(MbusOutput* out, int64_t value) {
    if (value >= INT32_MIN && value <= (int64_t{1} << 32)) {
        Tracef(out, "%d ", static_cast<int32_t>(static_cast<uint32_t>(value)));
    } else {
        Tracef(out, "$%llX", static_cast<unsigned long long>(value));
    }
}

// What each plain VIF gives, worked out once from the ranges.
struct VifMeaning {
    signed char quantity = -1;  // -1: none
    signed char unit = 0;
    signed char exponent = 0;
};

constexpr std::array<VifMeaning, 128> VifTable() {
    std::array<VifMeaning, 128> table{};
    for (int vif = 0; vif < 128; ++vif) {
        VifMeaning& m = table[static_cast<size_t>(vif)];
        for (const VifRange& range : kVifRanges) {
            if (vif < range.first || vif > range.last) {
                continue;
            }
            m.quantity = static_cast<signed char>(range.quantity);
            if (range.unit == 0) {
                m.unit = static_cast<signed char>(kSecondes + (vif & 0x03));
            } else {
                int low = range.last - range.first == 7 ? (vif & 0x07) : (vif & 0x03);
                m.unit = static_cast<signed char>(range.unit);
                m.exponent = static_cast<signed char>(low + range.offset);
            }
        }
    }
    table[0x6C].quantity = mbus::kDatePoint;
    table[0x6D].quantity = mbus::kDateTimePoint;
    table[0x7A].quantity = mbus::kBusAddr;
    return table;
}
constexpr std::array<VifMeaning, 128> kVifTable = VifTable();

// Quantity, unit and exponent of the multiplier of a plain VIF (bit 7 masked). false when the
// table has none: durations and identifications (0x70..0x7F but 0x7A), heat cost allocator
// units (0x6E, a count of no unit this table has) and the reserved 0x6F.
bool PlainVif(int vif, MbusRecord* r, int* exponent) {
    const VifMeaning& m = kVifTable[static_cast<size_t>(vif & 0x7F)];
    if (m.quantity < 0) {
        return false;
    }
    r->quantity = m.quantity;
    r->unit = m.unit;
    *exponent = m.exponent;
    return true;
}

bool Numeric(int quantity) {
    return quantity != mbus::kDatePoint && quantity != mbus::kDateTimePoint &&
           quantity != mbus::kErrorFlags && quantity != mbus::kBusAddr;
}

// An additive correction of 10^added (in the record's unit) on a value counted in steps of
// 10^*exponent: added to it, or, when it is a fraction of a step, the value is counted in the
// correction's step. false when the result does not fit.
bool AddCorrection(int64_t* value, int* exponent, int added) {
    int steps = added - *exponent;
    if (steps >= 0) {
        return !__builtin_add_overflow(*value, kIntPow10[steps], value);
    }
    int64_t scaled = 0;
    if (__builtin_mul_overflow(*value, kIntPow10[-steps], &scaled) ||
        __builtin_add_overflow(scaled, 1, &scaled)) {
        return false;
    }
    *value = scaled;
    *exponent = added;
    return true;
}

// Reading one record. `pos` is at the DIF; on return it is after the record (when it goes on).
enum class Step { Delivered, Skipped, Stopped };

struct Cursor {
    const unsigned char* data;
    int length;
    int pos;
    bool trace;        // the output wants the trace text
    bool fdLogged;     // an unknown FD code was logged for this telegram: once is enough
    bool zoneChecked;  // the kept date conversions hold for this telegram's TZ
    MbusDateCache* dates;
};

Step StopWith(Stop why, Stop* stop) {
    *stop = why;
    return Step::Stopped;
}

Step Truncated(MbusOutput* out, Stop* stop) {
    Tracef(out, "enregistrement tronque :arret interpretation\n");
    return StopWith(Stop::Truncated, stop);
}

// Why a record whose length is known is read past, not handed on.
enum class Aside {
    None,
    Vif,        // a VIF that says no quantity of the table
    Extension,  // an FD code other than error flags, or any FB code
    Vife,       // an extension that changes what the value means
};

void TraceRecord(MbusOutput* out, const MbusRecord* r) {
    Tracef(out, " %s (%d bits) %s Rng(%d)", MbusQuantityName(r->quantity), r->bits,
           MbusFunctionName(r->function), r->storage);
    if (r->tariff != 0 || r->subunit != 0) {
        Tracef(out, " Tarif(%d) Unite(%d)", r->tariff, r->subunit);
    }
    Tracef(out, " =");
}

Step SetAside(const Cursor* c, MbusOutput* out, const MbusRecord* r, const char* why) {
    if (c->trace) {
        TraceRecord(out, r);
        Tracef(out, "%s : enregistrement ignore\n", why);
    }
    return Step::Skipped;
}

Step ReadRecord(Cursor* c, MbusOutput* out, MbusRecord* r, Stop* stop) {
    const unsigned char* d = c->data;
    int dif = d[c->pos++];
    if (dif == 0x2F) {
        return Step::Skipped;  // idle filler
    }
    int field = dif & 0x0F;
    if (field == 0x0F) {
        if (dif == 0x0F || dif == 0x1F) {
            Tracef(out, "donnees constructeur :arret interpretation\n");
            return StopWith(dif == 0x1F ? Stop::More : Stop::Manufacturer, stop);
        }
        TraceStopUnsupported(out);
        return StopWith(Stop::Unsupported, stop);
    }
    r->function = kFunctionOfField[(dif >> 4) & 0x03];
    uint64_t storage = (dif >> 6) & 0x01;
    int extensions = 0;
    for (int more = dif & 0x80; more != 0;) {
        if (c->pos >= c->length) {
            return Truncated(out, stop);
        }
        int dife = d[c->pos++];
        if (++extensions > mbus::kDifeMax) {
            TraceStopUnsupported(out);
            return StopWith(Stop::Unsupported, stop);
        }
        storage |= static_cast<uint64_t>(dife & 0x0F) << (1 + 4 * (extensions - 1));
        r->tariff |= ((dife >> 4) & 0x03) << (2 * (extensions - 1));
        r->subunit |= ((dife >> 6) & 0x01) << (extensions - 1);
        more = dife & 0x80;
    }
    if (storage > INT_MAX) {
        TraceStopUnsupported(out);
        return StopWith(Stop::Unsupported, stop);
    }
    r->storage = static_cast<int>(storage);

    // VIF and its extensions. Whatever they say, the DIF gives the data's length: a record this
    // decoder cannot hand on as what it is is read past, and the records after it still come.
    if (c->pos >= c->length) {
        return Truncated(out, stop);
    }
    const int vif = d[c->pos++];
    const int plain = vif & 0x7F;
    int more = vif & 0x80;
    int exponent = 0;
    Aside aside = Aside::None;
    int code = 0;  // the FD or FB code, or the extension that sets the record aside
    if (vif == 0xFD || vif == 0xFB) {
        if (c->pos >= c->length) {
            return Truncated(out, stop);
        }
        code = d[c->pos++];
        more = code & 0x80;
        if (vif == 0xFD && (code & 0x7F) == 0x17) {
            r->quantity = mbus::kErrorFlags;
        } else {
            if (vif == 0xFD && !c->fdLogged) {
                char text[] = "code VIF etendu non reconnue=$00";
                text[sizeof text - 3] = kHexDigits[code >> 4];
                text[sizeof text - 2] = kHexDigits[code & 0x0F];
                out->Log(LOG_ERR, text);
                c->fdLogged = true;
            }
            aside = Aside::Extension;
        }
    } else if (plain == 0x7C) {
        // A unit in plain text: its length and the text come right after the VIF, before any
        // extension.
        if (c->pos >= c->length) {
            return Truncated(out, stop);
        }
        int text = d[c->pos++];
        if (text > c->length - c->pos) {
            return Truncated(out, stop);
        }
        c->pos += text;
        aside = Aside::Vif;
    } else if (vif == 0xFA || !PlainVif(plain, r, &exponent)) {
        aside = Aside::Vif;
    }
    bool multiplied = false;  // one correction factor of each kind is taken
    bool offset = false;
    int added = 0;
    for (int vifes = 0; more != 0;) {
        if (c->pos >= c->length) {
            return Truncated(out, stop);
        }
        const int vife = d[c->pos++];
        more = vife & 0x80;
        if (++vifes > mbus::kVifeMax) {
            out->Log(LOG_ERR, "depassement max VIFE");
            break;
        }
        const int e = vife & 0x7F;
        if (aside != Aside::None || e == 0x00) {
            continue;  // 0x00: the record's error code "none"
        }
        bool numeric = Numeric(r->quantity);
        if (numeric && !multiplied && ((e >= 0x70 && e <= 0x77) || e == 0x7D)) {
            exponent += e == 0x7D ? 3 : (e & 0x07) - 6;  // correction factor 10^(nnn-6), 10^3
            multiplied = true;
        } else if (numeric && !offset && e >= 0x78 && e <= 0x7B) {
            added = (e & 0x03) - 3;  // correction constant 10^(nn-3) in the VIF's unit
            offset = true;
        } else {
            // Limit values, per-time and per-unit values, accumulations of one sign, durations
            // and dates of limits exceeded, error codes, future values, manufacturer extensions:
            // another reading than the VIF's quantity, which must not take its channel.
            aside = Aside::Vife;
            code = vife;
        }
    }

    // Size and coding of the data.
    int bytes = 0;
    bool sign = true;     // integers are two's complement, except where the bits are fields
    bool negate = false;  // variable-length BCD of a negative value: the digits are the magnitude
    const char* unread = nullptr;  // a variable-length record read past: what it holds
    switch (field) {
        case 0x00:
        case 0x08:
            return Step::Skipped;  // no data (a value, or a readout selection)
        case 0x01:
        case 0x02:
        case 0x03:
        case 0x04:
            bytes = field;
            break;
        case 0x05:
            bytes = 4;
            r->coding = Coding::Real;
            break;
        case 0x06:
            bytes = 6;
            break;
        case 0x07:
            bytes = 8;
            break;
        case 0x09:
        case 0x0A:
        case 0x0B:
        case 0x0C:
            bytes = field - 8;
            r->coding = Coding::Bcd;
            break;
        case 0x0E:
            bytes = 6;
            r->coding = Coding::Bcd;
            break;
        case 0x0D: {
            if (c->pos >= c->length) {
                return Truncated(out, stop);
            }
            int lvar = d[c->pos++];
            if (lvar <= 0xBF) {
                bytes = lvar;
                unread = "texte";
            } else if (lvar >= 0xC0 && lvar <= 0xC8) {
                bytes = lvar - 0xC0;
                r->coding = Coding::Bcd;
            } else if (lvar >= 0xD0 && lvar <= 0xD8) {
                bytes = lvar - 0xD0;
                r->coding = Coding::Bcd;
                negate = true;
            } else if (lvar >= 0xE0 && lvar <= 0xE8) {
                bytes = lvar - 0xE0;
            } else if (lvar == 0xC9 || lvar == 0xD9 || (lvar >= 0xE9 && lvar <= 0xEF)) {
                bytes = lvar == 0xC9 || lvar == 0xD9 ? 9 : lvar - 0xE0;  // more than 64 bits
                unread = "nombre";
            } else if (lvar >= 0xF0 && lvar <= 0xFA) {
                bytes = 4 * (lvar - 0xEC);
                unread = "nombre";
            } else {
                // Reserved lengths: where the record ends is not known.
                TraceStopUnsupported(out);
                return StopWith(Stop::Variable, stop);
            }
            if (bytes == 0) {
                return Step::Skipped;
            }
            break;
        }
        default:
            break;
    }
    if (bytes > c->length - c->pos) {
        return Truncated(out, stop);
    }
    const unsigned char* value = d + c->pos;
    c->pos += bytes;
    r->bits = bytes * 8;
    if (aside != Aside::None && !c->trace) {
        return Step::Skipped;
    }
    switch (aside) {
        case Aside::None:
            break;
        case Aside::Vif:
            Tracef(out, "VIF $%02X non interprete : enregistrement ignore\n", vif);
            return Step::Skipped;
        case Aside::Extension:
            Tracef(out, "VIF $%02X $%02X non interprete : enregistrement ignore\n", vif, code);
            return Step::Skipped;
        case Aside::Vife:
            Tracef(out, "VIF $%02X VIFE $%02X non interprete : enregistrement ignore\n", vif, code);
            return Step::Skipped;
    }
    if (unread != nullptr) {
        if (!c->trace) {
            return Step::Skipped;
        }
        Tracef(out, " %s %s de %d %s ignore\n", MbusQuantityName(r->quantity), unread, bytes,
               unread[0] == 't' ? "caracteres" : "octets");
        return Step::Skipped;
    }

    if (r->coding == Coding::Real) {
        uint32_t raw = static_cast<uint32_t>(LittleEndian(value, 4));
        memcpy(&r->real, &raw, sizeof r->real);
        if (offset) {
            r->real += static_cast<float>(Pow10(added - exponent));
        }
        r->multiplier = Pow10(exponent);
        if (c->trace) {
            TraceRecord(out, r);
            Tracef(out, "%f ", static_cast<double>(r->real));
            Tracef(out, "x %e %s\n", r->multiplier, MbusUnitName(r->unit));
        }
        return Step::Delivered;
    }
    if (r->coding == Coding::Bcd) {
        if (!Bcd(value, bytes, &r->value)) {
            return SetAside(c, out, r, "BCD invalide");
        }
        if (negate) {
            r->value = -r->value;
        }
    } else if (r->quantity == mbus::kDatePoint || r->quantity == mbus::kDateTimePoint) {
        sign = false;
        bool date = (r->quantity == mbus::kDatePoint && bytes == 2) ||
                    (r->quantity == mbus::kDateTimePoint && (bytes == 4 || bytes == 6));
        if (date) {
            if (!c->zoneChecked && c->dates != nullptr) {
                CheckZone(c->dates);
                c->zoneChecked = true;
            }
            tm fields{};
            tm* shown = c->trace ? &fields : nullptr;
            bool valid = bytes == 2   ? DateG(c->dates, value, &r->value, shown)
                         : bytes == 4 ? DateTimeF(c->dates, value, &r->value, shown)
                                      : DateTimeI(c->dates, value, &r->value, shown);
            if (!valid) {
                return SetAside(c, out, r, "date invalide");
            }
            if (c->trace) {
                char text[32] = "?\n";
                asctime_r(&fields, text);
                TraceRecord(out, r);
                Tracef(out, "%s", text);
            }
            return Step::Delivered;
        }
    }
    if (r->coding == Coding::Integer) {
        if (r->quantity == mbus::kErrorFlags || r->quantity == mbus::kBusAddr) {
            sign = false;
        }
        uint64_t raw = LittleEndian(value, bytes);
        if (sign && bytes < 8 && (raw >> (bytes * 8 - 1)) != 0) {
            raw |= ~uint64_t{0} << (bytes * 8);
        }
        r->value = static_cast<int64_t>(raw);
    }
    if (offset && !AddCorrection(&r->value, &exponent, added)) {
        return SetAside(c, out, r, "correction hors limites");
    }
    r->multiplier = Pow10(exponent);
    if (c->trace) {
        TraceRecord(out, r);
        TraceValue(out, r->value);
        Tracef(out, "x %e %s\n", r->multiplier, MbusUnitName(r->unit));
    }
    return Step::Delivered;
}

}  // namespace

const char* MbusQuantityName(int quantity) {
    return quantity >= 0 && quantity < mbus::kQuantityCount ? kQuantityNames[quantity] : "unknow";
}

const char* MbusUnitName(int unit) {
    return unit >= 1 && unit <= kUnitCount ? kUnitNames[unit] : "unknow";
}

const char* MbusFunctionName(int function) {
    return function >= 0 && function < 4 ? kFunctionNames[function] : "Unknow";
}

int MbusQuantityIndex(const char* name, int count) {
    if (name == nullptr) {
        return -1;
    }
    for (int i = 0; i < count && i < mbus::kQuantityCount; ++i) {
        if (strcmp(name, kQuantityNames[i]) == 0) {
            return i;
        }
    }
    return -1;
}

void MbusShortFrame(unsigned char control, unsigned char address, unsigned char out[5]) {
    out[0] = mbus::kShortStart;
    out[1] = control;
    out[2] = address;
    out[3] = static_cast<unsigned char>(control + address);
    out[4] = mbus::kStop;
}

int MbusParseIdentification(const char* text, MbusSelection* selection) {
    if (text == nullptr || strlen(text) != 8) {
        return -1;
    }
    unsigned char bytes[4] = {};
    for (int i = 0; i < 8; ++i) {
        char c = text[i];
        int nibble = c >= '0' && c <= '9' ? c - '0' : (c == 'F' || c == 'f' ? 0x0F : -1);
        if (nibble < 0) {
            return -1;
        }
        // Digit i (most significant first) is in byte 3 - i / 2, the high nibble for even i.
        bytes[3 - i / 2] |= static_cast<unsigned char>(i % 2 == 0 ? nibble << 4 : nibble);
    }
    memcpy(selection->bytes, bytes, sizeof bytes);
    return 0;
}

int MbusParseManufacturer(const char* text, MbusSelection* selection) {
    if (text == nullptr || strlen(text) != 3) {
        return -1;
    }
    unsigned code = 0;
    for (int i = 0; i < 3; ++i) {
        if (text[i] < 'A' || text[i] > 'Z') {
            return -1;
        }
        code = code << 5 | static_cast<unsigned>(text[i] - 'A' + 1);
    }
    selection->bytes[4] = static_cast<unsigned char>(code & 0xFF);
    selection->bytes[5] = static_cast<unsigned char>(code >> 8);
    return 0;
}

void MbusManufacturerText(unsigned manufacturer, char* text, int size) {
    char letters[4] = {};
    for (int i = 0; i < 3; ++i) {
        unsigned letter = manufacturer >> (10 - 5 * i) & 0x1F;
        if (letter < 1 || letter > 26 || manufacturer > 0x7FFF) {
            snprintf(text, static_cast<size_t>(size), "$%04X", manufacturer & 0xFFFF);
            return;
        }
        letters[i] = static_cast<char>('A' + letter - 1);
    }
    snprintf(text, static_cast<size_t>(size), "%s", letters);
}

void MbusIdentificationText(const MbusSelection* selection, char* text) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (int i = 0; i < 8; ++i) {
        unsigned char byte = selection->bytes[3 - i / 2];
        text[i] = kDigits[i % 2 == 0 ? byte >> 4 : byte & 0x0F];
    }
    text[8] = '\0';
}

void MbusSelectFrame(const MbusSelection* selection, unsigned char out[mbus::kSelectFrameSize]) {
    const unsigned char length = 3 + mbus::kSelectionSize;
    unsigned char* p = out;
    *p++ = mbus::kLongStart;
    *p++ = length;
    *p++ = length;
    *p++ = mbus::kLongStart;
    *p++ = mbus::kSndUd;
    *p++ = mbus::kSecondaryAddress;
    *p++ = mbus::kCiSelect;
    memcpy(p, selection->bytes, mbus::kSelectionSize);
    p += mbus::kSelectionSize;
    *p = FrameSum(out + 4, static_cast<int>(p - (out + 4)));
    ++p;
    *p = mbus::kStop;
}

bool MbusSelectionMatches(const MbusSelection* selection, const unsigned char* header) {
    for (int i = 0; i < mbus::kSelectionSize; ++i) {
        unsigned char want = selection->bytes[i];
        if (i < 4) {
            // nibble by nibble
            if ((want & 0xF0) != 0xF0 && (want & 0xF0) != (header[i] & 0xF0)) {
                return false;
            }
            if ((want & 0x0F) != 0x0F && (want & 0x0F) != (header[i] & 0x0F)) {
                return false;
            }
        } else if (want != 0xFF && want != header[i]) {
            return false;
        }
    }
    return true;
}

int MbusCheckLongFrame(const unsigned char* bytes, int count, MbusOutput* out, int* data) {
    int start = 0;
    while (start < count && bytes[start] != mbus::kLongStart) {
        ++start;
    }
    if (start >= count) {
        Tracef(out, "caractere de debut de trame non recu\n");
        return 0;
    }
    const unsigned char* f = bytes + start;
    int available = count - start;
    if (available < 4) {
        return -1;
    }
    if (f[1] != f[2]) {
        Tracef(out, "Longueur recue discordante %02X!=%02X\n", f[1], f[2]);
        return -1;
    }
    if (f[3] != mbus::kLongStart) {
        Tracef(out, "erreur 2eme caractere debut trame %02X\n", f[3]);
        return -1;
    }
    int length = f[1];
    if (available < length + 6) {
        return -1;
    }
    if (FrameSum(f + 4, length) != f[4 + length]) {
        Tracef(out, "erreur checksum\n");
        return -1;
    }
    if (f[5 + length] != mbus::kStop) {
        Tracef(out, "manque caractere de fin\n");
        return -1;
    }
    if (length < 3) {
        // No room for the control, address and CI fields: not an answer to anything.
        Tracef(out, "erreur longueur %02X\n", length);
        return -1;
    }
    *data = start + 7;
    return length;
}

int MbusDecodeHeader(const unsigned char* data, int length, MbusHeader* header) {
    if (length < mbus::kHeaderSize) {
        return -1;
    }
    // Digits as they come: an identification is a name, not a reading.
    header->identification = 0;
    for (int i = 3; i >= 0; --i) {
        header->identification =
            header->identification * 100 + (data[i] >> 4) * 10 + (data[i] & 0x0F);
    }
    header->manufacturer = data[4] | (data[5] << 8);
    header->version = data[6];
    header->medium = data[7];
    header->access = data[8];
    header->status = data[9];
    header->signature = data[10] | (data[11] << 8);
    return 0;
}

void MbusTraceHeader(const MbusHeader* h, MbusOutput* out) {
    Tracef(out, "Identification=%d Fabriquant=%d ", static_cast<int>(h->identification),
           static_cast<int>(h->manufacturer));
    Tracef(out, "Version=$%02X Acces=$%02X ", h->version, h->access);
    Tracef(out, "Status=$%02X Signature=%d\n", h->status, static_cast<int>(h->signature));
}

mbus::Stop MbusDecodeRecords(const unsigned char* data, int length, MbusOutput* out, int* delivered,
                             MbusDateCache* dates) {
    int count = 0;
    Stop stop = Stop::End;
    Cursor c{data, length, mbus::kHeaderSize, out->TraceWanted(), false, false, dates};
    while (c.pos < c.length) {
        MbusRecord record;
        record.offset = c.pos;
        Step step = ReadRecord(&c, out, &record, &stop);
        if (step == Step::Stopped) {
            break;
        }
        if (step == Step::Delivered) {
            out->Record(record);
            ++count;
            out->RecordPause(mbus::kRecordPauseMs);
        }
    }
    if (delivered != nullptr) {
        *delivered = count;
    }
    return stop;
}
