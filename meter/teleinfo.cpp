// Teleinfo receive state machine, group checksum, label table and composite-value decoders.
#include "teleinfo.h"

#include <syslog.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "clock.h"

using namespace teleinfo;

namespace {

struct LabelEntry {
    const char* label;
    int kind;
    int composite;
};

const LabelEntry kLabels[] = {
    {"BASE", 0, 0},          {"HCHC", 0, 0},
    {"EJPHN", 0, 0},         {"EJPHPM", 0, 0},
    {"GAZ", 0, 0},           {"AUTRE", 0, 0},
    {"ISOUSC", 1, 0},        {"BBRHCJB", 0, 0},
    {"BBRHPJB", 0, 0},       {"BBRHCJW", 0, 0},
    {"BBRHPJW", 0, 0},       {"BBRHCJR", 0, 0},
    {"BBRHPJR", 0, 0},       {"IINST", 1, 0},
    {"ADPS", 1, 0},          {"IMAX", 1, 0},
    {"PAPP", 0, 0},          {"IINST1", 1, 0},
    {"IINST2", 1, 0},        {"IINST3", 1, 0},
    {"IMAX1", 1, 0},         {"IMAX2", 1, 0},
    {"IMAX3", 1, 0},         {"PMAX", 0, 0},
    {"ENERG", 0, 1},         {"HCHP", 0, 0},
    {"ADIR1", 1, 0},         {"ADIR2", 1, 0},
    {"ADIR3", 1, 0},         {"PTEC", 2, 0},
    {"PEJP", 2, 0},          {"ADCO", 2, 0},
    {"PPOT", 2, 1},          {"PERCC", 3, 1},
    {"TDEPA", 3, 1},         {"PERCP", 3, 1},
    {"JAUNE", 3, 1},         {"PMAXC", 0, 1},
    {"PMAXP", 0, 1},         {"PSOUSC", 0, 1},
    {"PSOUSP", 0, 1},        {"FCOU", 3, 1},
    {"CONTRAT", 2, 0},       {"DATECOUR", 3, 1},
    {"EA(RS)p(1)P", 0, 0},   {"EA(RS)p(1)HCE", 0, 0},
    {"EA(RS)p(1)HCH", 0, 0}, {"EA(RS)p(1)HCD", 0, 0},
    {"EA(RS)p(1)JA", 0, 0},  {"EA(RS)p(1)HPE", 0, 0},
    {"EA(RS)p(1)HPH", 0, 0}, {"EA(RS)p(1)HPD", 0, 0},
    {"EA(RS)p(1)HM", 0, 0},  {"EA(RS)p(1)DSM", 0, 0},
    {"EA(RS)p(1)SCM", 0, 0}, {"KDC", 1, 0},
    {"KDCD", 1, 0},          {"EA", 0, 0},
    {"ERP", 0, 0},           {"PREAVIS", 2, 0},
    {"EApP", 0, 0},          {"EApHCE", 0, 0},
    {"EApHCH", 0, 0},        {"EApHCD", 0, 0},
    {"EApJA", 0, 0},         {"EApHPE", 0, 0},
    {"EApHPH", 0, 0},        {"EApHPD", 0, 0},
    {"EApHM", 0, 0},         {"EApDSM", 0, 0},
    {"EApSCM", 0, 0},        {"PTCOUR", 2, 0},
    {"DATEPA1", 3, 1},       {"DATEPA2", 3, 1},
    {"DATEPA3", 3, 1},       {"DATEPA4", 3, 1},
    {"DATEPA5", 3, 1},       {"DATEPA6", 3, 1},
    {"PA1", 0, 0},           {"PA2", 0, 0},
    {"PA3", 0, 0},           {"PA4", 0, 0},
    {"PA5", 0, 0},           {"PA6", 0, 0},
    {"DEBUTp", 3, 1},        {"FINp", 3, 1},
    {"DEBUTp1", 3, 1},       {"FINp1", 3, 1},
    {"PSP", 0, 0},           {"PSHPH", 0, 0},
    {"PSHPD", 0, 0},         {"PSHCH", 0, 0},
    {"PSHCD", 0, 0},         {"PSHPE", 0, 0},
    {"PSHCE", 0, 0},         {"PSJA", 0, 0},
    {"PSHH", 0, 0},          {"PSHD", 0, 0},
    {"PSHM", 0, 0},          {"PSDSM", 0, 0},
    {"PSSCM", 0, 0},         {"PA1MN", 0, 0},
    {"PA10MN", 0, 0},        {"PREA1MN", 4, 0},
    {"PREA10MN", 4, 0},      {"U10MIN", 1, 1},
    {"TGPHI", 1, 0},
};

const char* const kDateLabels[] = {"DATECOUR", "DATEPA1", "DATEPA2", "DATEPA3",
                                   "DATEPA4",  "DATEPA5", "DATEPA6", "DEBUTp",
                                   "DEBUTp1",  "FINp",    "FINp1"};

void Log(TeleinfoDecoder* d, int priority, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void Log(TeleinfoDecoder* d, int priority, const char* format, ...) {
    if (d->out == nullptr || (priority == LOG_DEBUG && !d->out->Verbose())) {
        return;
    }
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    d->out->Log(priority, text);
}

void TraceText(TeleinfoDecoder* d, const char* text) {
    if (d->out != nullptr) {
        d->out->Trace(text, static_cast<int>(strlen(text)));
    }
}

void Tracef(TeleinfoDecoder* d, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Tracef(TeleinfoDecoder* d, const char* format, ...) {
    if (d->out == nullptr) {
        return;
    }
    char text[160];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) {
        return;
    }
    d->out->Trace(text, n < static_cast<int>(sizeof text) ? n : static_cast<int>(sizeof text) - 1);
}

long Uptime() {
    return GetUptime();
}

// Local broken-down time of the wall clock (the clock seam, so tests choose "now").
struct tm LocalNow() {
    timeval now = Clock().Now();
    time_t seconds = now.tv_sec;
    struct tm local {};
    localtime_r(&seconds, &local);
    return local;
}

bool IsLeap(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

// A date field: one or more digits only, within [low, high].
bool ReadField(const char* text, int low, int high, int* out) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    long value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        value = value * 10 + (*p - '0');
        if (value > 100000) {
            return false;
        }
    }
    if (value < low || value > high) {
        return false;
    }
    *out = static_cast<int>(value);
    return true;
}

// Splits text in place at each separator (empty fields kept). Returns the field count, at most max.
int Split(char* text, char separator, char** fields, int max) {
    int count = 0;
    char* start = text;
    for (;;) {
        char* end = strchr(start, separator);
        if (count < max) {
            fields[count] = start;
        }
        ++count;
        if (end == nullptr) {
            break;
        }
        *end = '\0';
        start = end + 1;
    }
    return count < max ? count : max;
}

// ---- writes -------------------------------------------------------------------------------

void FrameOkPulse(TeleinfoDecoder* d, const TeleinfoDefinition* def) {
    if (def->trameOk > 0) {
        d->out->WriteChannelBool(def->trameOk, true);
        d->out->WriteChannelBool(def->trameOk, false);
        d->out->WriteChannelBool(def->trameOk, true);
    }
}

void WriteCounter(TeleinfoDecoder* d, const TeleinfoDefinition* def, int index, int32_t value) {
    d->out->Begin(d->com, def->frame);
    d->out->WriteLong(index, value);
    d->out->Terminate();
    Tracef(d, " CPT[%d,%d]=%d\n", def->frame, index, value);
    FrameOkPulse(d, def);
}

void WriteAnalogue(TeleinfoDecoder* d, const TeleinfoDefinition* def, int index, float value) {
    d->out->Begin(d->com, def->frame);
    d->out->WriteFloat(index, value);
    d->out->Terminate();
    Tracef(d, " ANA[%d,%d]=%f\n", def->frame, index, static_cast<double>(value));
    FrameOkPulse(d, def);
}

void WriteDigital(TeleinfoDecoder* d, const TeleinfoDefinition* def, int index, bool value) {
    d->out->Begin(d->com, def->frame);
    d->out->WriteBool(index, value);
    if (def->evt) {
        // The event's reset goes to the definition's first value, whatever field this was.
        d->out->WriteBool(def->firstIndex, false);
    }
    d->out->Terminate();
    Tracef(d, " TOR[%d,%d]=%d\n", def->frame, index, value ? 1 : 0);
    FrameOkPulse(d, def);
}

// shown: the value before any scaling, as the trace gives it.
void WriteChrono(TeleinfoDecoder* d, const TeleinfoDefinition* def, int index, int32_t value,
                 int32_t shown) {
    d->out->Begin(d->com, def->frame);
    d->out->WriteLong(index, value);
    d->out->Terminate();
    Tracef(d, " CHR[%d,%d]=%d\n", def->frame, index, shown);
    FrameOkPulse(d, def);
}

void WriteSigned(TeleinfoDecoder* d, const TeleinfoDefinition* def, int index, const char* text) {
    int32_t value = TeleinfoToLong(text);
    int32_t magnitude = value == INT32_MIN ? INT32_MAX : (value < 0 ? -value : value);
    float real = strtof(text, nullptr);
    d->out->Begin(d->com, def->frame);
    d->out->WriteLong(index, magnitude);
    d->out->WriteBool(index + 1, value < 0);
    d->out->WriteFloat(index + 2, real);
    d->out->Terminate();
    Tracef(d, " CPT[%d,%d]=%d TOR[%d]=%d ANA[%d]=%f\n ", def->frame, index, magnitude, index + 1,
           value < 0 ? 1 : 0, index + 2, static_cast<double>(real));
}

// A value text written with a kind; number kinds are normalised first (text is the caller's copy).
void WriteText(TeleinfoDecoder* d, const TeleinfoDefinition* def, int kind, int index, char* text) {
    if (kind == KIND_DIGITAL) {
        WriteDigital(d, def, index, strcmp(text, def->val) == 0);
        return;
    }
    TeleinfoNormalise(text);
    switch (kind) {
        case KIND_COUNTER:
            WriteCounter(d, def, index, TeleinfoToLong(text));
            break;
        case KIND_ANALOGUE:
            WriteAnalogue(d, def, index, strtof(text, nullptr));
            break;
        case KIND_CHRONO: {
            int32_t value = TeleinfoToLong(text);
            int32_t written = value;
            if (def->minutes) {
                long long seconds = static_cast<long long>(value) * 60;
                written = seconds > INT32_MAX   ? INT32_MAX
                          : seconds < INT32_MIN ? INT32_MIN
                                                : static_cast<int32_t>(seconds);
            }
            WriteChrono(d, def, index, written, value);
            break;
        }
        case KIND_SIGNED_COUNTER:
            WriteSigned(d, def, index, text);
            break;
        default:
            break;
    }
}

// Seconds of a local date, or -1. The broken-down time is taken as given (dst flag included).
long long MakeTime(struct tm* tm) {
    time_t t = mktime(tm);
    return t == static_cast<time_t>(-1) ? -1 : static_cast<long long>(t);
}

int32_t ToChrono(long long seconds) {
    return seconds > INT32_MAX ? INT32_MAX : static_cast<int32_t>(seconds);
}

// ---- composite decoders -------------------------------------------------------------------

void DecodeJaune(TeleinfoDecoder* d, const TeleinfoDefinition* def, char* value) {
    char* fields[27];
    int count = Split(value, ':', fields, 27);
    struct tm date = LocalNow();
    int year = date.tm_year + 1900;
    date.tm_sec = 0;
    date.tm_isdst = 0;
    bool error = false;
    int n = 0;
    for (int i = 0; i < count; ++i) {
        char* field = fields[i];
        switch (i + 1) {
            case 1:
                error |= !ReadField(field, 0, 23, &n);
                date.tm_hour = n;
                break;
            case 2:
                error |= !ReadField(field, 0, 59, &n);
                date.tm_min = n;
                break;
            case 3:
                error |= !ReadField(field, 1, 31, &n);
                date.tm_mday = n;
                break;
            case 4: {
                error |= !ReadField(field, 1, 12, &n);
                date.tm_mon = n - 1;
                date.tm_year = year - 1900;
                error |= !error && date.tm_mday > DaysInMonth(year, n);
                long long seconds = error ? -1 : MakeTime(&date);
                if (seconds == -1) {
                    Log(d, LOG_ERR, "erreur dans la date etq JAUNE");
                } else {
                    WriteChrono(d, def, 1, ToChrono(seconds), ToChrono(seconds));
                }
                break;
            }
            case 5:
                if (strlen(field) < 2) {
                    Log(d, LOG_ERR, "erreur nombre de donnees (<2) PT dans JAUNE");
                    break;
                }
                if (field[0] >= '1' && field[0] <= '4') {
                    WriteAnalogue(d, def, 2, static_cast<float>(field[0] - '0'));
                } else {
                    Log(d, LOG_ERR, "erreur num de saison etq JAUNE");
                }
                if (ReadField(field + 1, 1, 4, &n)) {
                    WriteAnalogue(d, def, 3, static_cast<float>(n));
                } else {
                    Log(d, LOG_ERR, "erreur num de poste tarifaire etq JAUNE");
                }
                break;
            case 6:
                if (strcmp(field, "DP") == 0) {
                    WriteDigital(d, def, 4, true);
                } else if (strcmp(field, "  ") == 0) {
                    WriteDigital(d, def, 4, false);
                } else {
                    Log(d, LOG_ERR, "erreur DP etq JAUNE");
                }
                break;
            case 7:
                TeleinfoNormalise(field);
                WriteCounter(d, def, 5, TeleinfoToLong(field));
                break;
            case 8: {
                // "00" stands for 100 %
                const char* text = strcmp(field, "00") == 0 ? "100" : field;
                if (ReadField(text, 80, 100, &n)) {
                    WriteAnalogue(d, def, 6, static_cast<float>(n));
                } else {
                    Log(d, LOG_ERR, "erreur KDCde donnees JAUNE");
                }
                break;
            }
            default:
                Log(d, LOG_ERR, "erreur nombre de donnees JAUNE");
                return;
        }
    }
    if (count < 4) {
        Log(d, LOG_ERR, "erreur dans la date etq JAUNE");
    }
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

void DecodePpot(TeleinfoDecoder* d, const TeleinfoDefinition* def, const char* value) {
    if (strlen(value) != 2) {
        Log(d, LOG_ERR, "erreur nombre de caracteres donnees PPOT");
        return;
    }
    int digit = HexDigit(value[1]);
    if (digit < 0) {
        Log(d, LOG_ERR, "erreur valeur donnees PPOT");
        return;
    }
    for (int bit = 1; bit <= 3; ++bit) {
        WriteDigital(d, def, bit, (digit >> bit) & 1);
    }
}

void DecodeFcou(TeleinfoDecoder* d, const TeleinfoDefinition* def, char* value) {
    char* fields[27];
    int count = Split(value, ':', fields, 27);
    struct tm now = LocalNow();
    struct tm at = now;
    at.tm_sec = 0;
    at.tm_isdst = 0;
    bool error = false;
    int n = 0;
    for (int i = 0; i < count; ++i) {
        char* field = fields[i];
        switch (i + 1) {
            case 1:
                error |= !ReadField(field, 0, 23, &n);
                at.tm_hour = n;
                break;
            case 2: {
                error |= !ReadField(field, 0, 59, &n);
                at.tm_min = n;
                struct tm midnight = now;
                midnight.tm_hour = 0;
                midnight.tm_min = 0;
                midnight.tm_sec = 0;
                long long start = error ? -1 : MakeTime(&midnight);
                long long seconds = error ? -1 : MakeTime(&at);
                if (start == -1 || seconds == -1) {
                    Log(d, LOG_ERR, "erreur dans la date etq FCOU");
                } else {
                    int32_t difference = ToChrono(seconds - start);
                    WriteChrono(d, def, 1, difference, difference);
                }
                break;
            }
            case 3:
                TeleinfoNormalise(field);
                WriteCounter(d, def, 2, TeleinfoToLong(field));
                break;
            default:
                Log(d, LOG_ERR, "erreur nombre de donnees FCOU");
                return;
        }
    }
    if (count < 2) {
        Log(d, LOG_ERR, "erreur dans la date etq FCOU");
    }
}

void DecodePerc(TeleinfoDecoder* d, const TeleinfoDefinition* def, char* value) {
    char* fields[27];
    int count = Split(value, ':', fields, 27);
    struct tm date = LocalNow();
    int year = date.tm_year + 1900;
    date.tm_min = 0;
    date.tm_sec = 0;
    date.tm_isdst = 0;
    bool error = false;
    const char* bad = nullptr;  // first field in error, for the message
    int n = 0;
    for (int i = 0; i < count; ++i) {
        char* field = fields[i];
        bool ok = true;
        switch (i + 1) {
            case 1:
                ok = ReadField(field, 1, 31, &n);
                date.tm_mday = n;
                break;
            case 2:
                ok = ReadField(field, 1, 12, &n);
                date.tm_mon = n - 1;
                ok = ok && (error || date.tm_mday <= DaysInMonth(year, n));
                break;
            case 3: {
                ok = ReadField(field, 0, 23, &n);
                date.tm_hour = n;
                date.tm_year = year - 1900;
                if (!ok && bad == nullptr) {
                    bad = field;
                }
                error |= !ok;
                long long seconds = error ? -1 : MakeTime(&date);
                if (seconds == -1) {
                    Log(d, LOG_ERR, "erreur dans la date etq %s (%s)", def->label,
                        bad != nullptr ? bad : field);
                } else {
                    WriteChrono(d, def, 1, ToChrono(seconds), ToChrono(seconds));
                }
                continue;
            }
            default:
                Log(d, LOG_ERR, "erreur nombre de donnees PERC");
                return;
        }
        if (!ok && bad == nullptr) {
            bad = field;
        }
        error |= !ok;
    }
    if (count < 3) {
        Log(d, LOG_ERR, "erreur dans la date etq %s (%s)", def->label, fields[count - 1]);
    }
}

void DecodeDate(TeleinfoDecoder* d, const TeleinfoDefinition* def, char* value) {
    char* space = strchr(value, ' ');
    if (space == nullptr) {
        // Without the space between date and time the value cannot be cut into its parts.
        Log(d, LOG_ERR, "erreur dans la date etq %s (%s)", def->label, value);
        return;
    }
    *space = '/';
    char* fields[27];
    int count = Split(value, '/', fields, 27);
    struct tm date {};
    date.tm_isdst = 0;
    bool error = false;
    const char* bad = nullptr;
    int n = 0;
    static const int kLow[6] = {1, 1, 0, 0, 0, 0};
    static const int kHigh[6] = {31, 12, 99, 23, 59, 59};
    for (int i = 0; i < count; ++i) {
        char* field = fields[i];
        if (i >= 6) {
            Log(d, LOG_ERR, "erreur nombre de donnees %s (%s) num:%d", def->label, field, i + 1);
            return;
        }
        bool ok = ReadField(field, kLow[i], kHigh[i], &n);
        switch (i) {
            case 0:
                date.tm_mday = n;
                break;
            case 1:
                date.tm_mon = n - 1;
                break;
            case 2:
                date.tm_year = 100 + n;
                ok = ok && (error || date.tm_mday <= DaysInMonth(2000 + n, date.tm_mon + 1));
                break;
            case 3:
                date.tm_hour = n;
                break;
            case 4:
                date.tm_min = n;
                break;
            case 5:
                date.tm_sec = n;
                break;
        }
        if (!ok && bad == nullptr) {
            bad = field;
        }
        error |= !ok;
        if (i == 5) {
            long long seconds = error ? -1 : MakeTime(&date);
            if (seconds == -1) {
                Log(d, LOG_ERR, "erreur dans la date etq %s (%s)", def->label,
                    bad != nullptr ? bad : field);
            } else {
                WriteChrono(d, def, 1, ToChrono(seconds), ToChrono(seconds));
            }
        }
    }
    if (count < 6) {
        Log(d, LOG_ERR, "erreur dans la date etq %s (%s)", def->label, fields[count - 1]);
    }
}

void DecodeSplit(TeleinfoDecoder* d, const TeleinfoDefinition* def, char* value) {
    char* fields[27];
    int count = Split(value, ':', fields, 27);
    for (int i = 0; i < count; ++i) {
        WriteText(d, def, def->kind, def->firstIndex + i, fields[i]);
    }
}

// ---- receive ------------------------------------------------------------------------------

void EchoChar(TeleinfoDecoder* d, unsigned char c) {
    if (d->out == nullptr) {
        return;
    }
    static const char kHex[] = "0123456789ABCDEF";
    if (c == kStx) {
        d->out->Trace("\n", 1);
        d->out->TraceTimestamp();
        d->out->Trace(" ", 1);
    }
    if (c >= 32 && c <= 127) {
        char text = static_cast<char>(c);
        d->out->Trace(&text, 1);
    } else {
        char text[4] = {'[', kHex[c >> 4], kHex[c & 0x0F], ']'};
        d->out->Trace(text, 4);
    }
}

void GoodGroup(TeleinfoDecoder* d) {
    TeleinfoReceive& rx = d->rx;
    ++d->goodGroups;
    d->lastGoodGroup = Uptime();
    if (d->etat > 0 && !d->etatOn && d->out != nullptr) {
        d->out->WriteChannelBool(d->etat, true);
        d->etatOn = true;
    }
    if (rx.labelLength == 5 && memcmp(rx.label, "Appli", 5) == 0 && rx.valueLength == 9 &&
        memcmp(rx.value, "INJECTION", 9) == 0) {
        rx.injection = true;
        TraceText(d, "\n Injection detected\n\t\t");
        return;
    }
    if (TeleinfoDispatch(d, rx.label, rx.labelLength, rx.value) == 0) {
        Log(d, LOG_DEBUG, "trame %s non prise en charge", rx.label);
    }
}

void EndOfGroup(TeleinfoDecoder* d) {
    TeleinfoReceive& rx = d->rx;
    d->state = kInFrame;
    // The value part ends with SP and the checksum character.
    if (rx.valueLength < 2 || rx.value[rx.valueLength - 2] != ' ') {
        ++d->badGroups;
        Log(d, LOG_ERR, "manque l'espace fin de donnee pour etq %s", rx.label);
        return;
    }
    rx.checksumReceived = static_cast<unsigned char>(rx.value[rx.valueLength - 1]);
    rx.valueLength -= 2;
    rx.value[rx.valueLength] = '\0';
    rx.checksumComputed = TeleinfoChecksum(rx.label, rx.labelLength, rx.value, rx.valueLength);
    if (rx.checksumComputed != rx.checksumReceived) {
        ++d->badGroups;
        Log(d, LOG_ERR, "trame %s val %s pb checksum envoye:%d calcule:%d", rx.label, rx.value,
            rx.checksumReceived, rx.checksumComputed);
        return;
    }
    GoodGroup(d);
}

void StartGroup(TeleinfoReceive& rx) {
    rx.label[0] = '\0';
    rx.labelLength = 0;
    rx.value[0] = '\0';
    rx.valueLength = 0;
}

}  // namespace

// ---- public -------------------------------------------------------------------------------

int TeleinfoLookupLabel(const char* label, int* kind, int* composite) {
    for (const LabelEntry& entry : kLabels) {
        if (strcmp(entry.label, label) == 0) {
            *kind = entry.kind;
            *composite = entry.composite;
            return 1;
        }
    }
    *kind = KIND_COUNTER;
    *composite = 0;
    return 0;
}

int TeleinfoFieldDecoderOf(const char* label, int composite) {
    if (!composite) {
        return FIELDS_NONE;
    }
    if (strcmp(label, "JAUNE") == 0) {
        return FIELDS_JAUNE;
    }
    if (strcmp(label, "PPOT") == 0) {
        return FIELDS_PPOT;
    }
    if (strcmp(label, "FCOU") == 0) {
        return FIELDS_FCOU;
    }
    if (strcmp(label, "PERCC") == 0 || strcmp(label, "PERCP") == 0) {
        return FIELDS_PERC;
    }
    for (const char* date : kDateLabels) {
        if (strcmp(label, date) == 0) {
            return FIELDS_DATE;
        }
    }
    return FIELDS_SPLIT;
}

int TeleinfoDefinitionInit(TeleinfoDefinition* definition, const char* label) {
    snprintf(definition->label, sizeof definition->label, "%s", label);
    definition->labelLength = static_cast<int>(strlen(definition->label));
    int known = TeleinfoLookupLabel(definition->label, &definition->kind, &definition->composite);
    definition->fields = TeleinfoFieldDecoderOf(definition->label, definition->composite);
    definition->minutes = strcmp(definition->label, "TDEPA") == 0;
    definition->firstIndex = 1;
    return known;
}

int TeleinfoChecksum(const char* label, int labelLength, const char* value, int valueLength) {
    unsigned sum = kSp;
    for (int i = 0; i < labelLength; ++i) {
        sum += static_cast<unsigned char>(label[i]);
    }
    for (int i = 0; i < valueLength; ++i) {
        sum += static_cast<unsigned char>(value[i]);
    }
    return static_cast<int>((sum & 0x3F) + 0x20);
}

void TeleinfoBeginScan(TeleinfoDecoder* decoder) {
    decoder->state = kWaitFrame;
}

void TeleinfoStartSupervision(TeleinfoDecoder* decoder, long now) {
    decoder->lastGoodGroup = now;
}

int TeleinfoReceiveChar(TeleinfoDecoder* d, unsigned char c) {
    EchoChar(d, c);
    TeleinfoReceive& rx = d->rx;
    if (c == kEtx) {
        d->state = kStopped;
        return d->state;
    }
    if (c == kEot) {
        d->state = kWaitFrame;
        return d->state;
    }
    // A start of frame inside a frame means its end was lost: start the new one afresh rather
    // than carry the old frame's mode into it.
    if (c == kStx && d->state >= kInFrame) {
        d->state = kInFrame;
        rx.injection = false;
        return d->state;
    }
    switch (d->state) {
        case kWaitFrame:
            if (c == kStx) {
                d->state = kInFrame;
                rx.injection = false;
            }
            break;
        case kInFrame:
            if (c == kLf) {
                StartGroup(rx);
                d->state = kInLabel;
            }
            break;
        case kInLabel:
            if (c == kSp) {
                d->state = kInValue;
            } else if (c == kLf) {
                StartGroup(rx);  // the end of the previous group was lost: this one starts here
            } else {
                if (rx.labelLength < kLabelMax) {
                    ++rx.labelLength;
                }
                rx.label[rx.labelLength - 1] = static_cast<char>(c);
                rx.label[rx.labelLength] = '\0';
            }
            break;
        case kInValue:
            if (c == kCr) {
                EndOfGroup(d);
            } else if (c == kLf) {
                StartGroup(rx);
                d->state = kInLabel;
            } else {
                if (rx.valueLength < kValueMax) {
                    ++rx.valueLength;
                }
                rx.value[rx.valueLength - 1] = static_cast<char>(c);
                rx.value[rx.valueLength] = '\0';
            }
            break;
        default:
            break;
    }
    return d->state;
}

int TeleinfoCharsBeforeGroupEnd(const TeleinfoDecoder* d) {
    switch (d->state) {
        case kInValue:
            // the value part holds at least the separator and the checksum before CR
            return (d->rx.valueLength < 2 ? 2 - d->rx.valueLength : 0) + 1;
        case kInLabel:
            return 4;  // SP, SP, checksum, CR
        case kInFrame:
            return 5;  // LF first
        default:
            return 6;  // STX first
    }
}

int TeleinfoDispatch(TeleinfoDecoder* d, const char* label, int labelLength, const char* value) {
    int applied = 0;
    for (int i = 0; i < d->definitionCount; ++i) {
        TeleinfoDefinition& def = d->definitions[i];
        if (def.labelLength != labelLength || memcmp(def.label, label, labelLength) != 0) {
            continue;
        }
        if (d->rx.injection ? !def.injection : !def.normal) {
            continue;
        }
        def.lastReception = Uptime();
        def.timeoutMark = 0;
        TraceText(d, "\n");
        TeleinfoApply(d, &def, value);
        TraceText(d, "\t\t");
        ++applied;
    }
    return applied;
}

void TeleinfoApply(TeleinfoDecoder* d, const TeleinfoDefinition* def, const char* value) {
    if (d->out == nullptr) {
        return;
    }
    // Decoders cut and normalise in place: each definition works on its own copy.
    char text[kValueMax + 1];
    snprintf(text, sizeof text, "%s", value);
    switch (def->fields) {
        case FIELDS_NONE:
            WriteText(d, def, def->kind, def->firstIndex, text);
            break;
        case FIELDS_SPLIT:
            DecodeSplit(d, def, text);
            break;
        case FIELDS_JAUNE:
            DecodeJaune(d, def, text);
            break;
        case FIELDS_PPOT:
            DecodePpot(d, def, text);
            break;
        case FIELDS_FCOU:
            DecodeFcou(d, def, text);
            break;
        case FIELDS_PERC:
            DecodePerc(d, def, text);
            break;
        case FIELDS_DATE:
            DecodeDate(d, def, text);
            break;
        default:
            break;
    }
}

void TeleinfoCheckReception(TeleinfoDecoder* d, long now) {
    if (d->etat <= 0 || d->timeout <= 0 || now - d->lastGoodGroup <= d->timeout) {
        return;
    }
    // Written when it drops, then once per time-out period while it stays down: chanmgr is
    // reminded, not sent a message for every character of a line that brings no good group.
    if (!d->etatOn && d->etatDownAt >= 0 && now - d->etatDownAt < d->timeout) {
        return;
    }
    if (d->out != nullptr) {
        d->out->WriteChannelBool(d->etat, false);
    }
    d->etatOn = false;
    d->etatDownAt = now;
    Log(d, LOG_DEBUG, "erreur temps de reception trop long");
}

void TeleinfoCheckTimeouts(TeleinfoDecoder* d, long now) {
    for (int i = 0; i < d->definitionCount; ++i) {
        TeleinfoDefinition& def = d->definitions[i];
        if (def.timeout <= 0 || def.timeoutMark || def.lastReception + def.timeout >= now) {
            continue;
        }
        def.timeoutMark = 1;
        Log(d, LOG_DEBUG, "timeout for %s Frame No %d (%ld,%ld,%d)", def.label, def.frame, now,
            def.lastReception, def.timeout);
        if (d->out == nullptr) {
            continue;
        }
        TraceText(d, "\n");
        d->out->TraceTimestamp();
        Tracef(d, "timeout for %s ", def.label);
        switch (def.kind) {
            case KIND_ANALOGUE:
                d->out->Begin(d->com, def.frame);
                d->out->WriteFloat(def.firstIndex, 0.0f);
                d->out->Terminate();
                Tracef(d, "ANA[%d,%d]=0.\n", def.frame, def.firstIndex);
                break;
            case KIND_DIGITAL:
                d->out->Begin(d->com, def.frame);
                d->out->WriteBool(def.firstIndex, false);
                d->out->Terminate();
                Tracef(d, "TOR[%d,%d]=0\n", def.frame, def.firstIndex);
                break;
            case KIND_COUNTER:
            case KIND_CHRONO:
                d->out->Begin(d->com, def.frame);
                d->out->WriteLong(def.firstIndex, 0);
                d->out->Terminate();
                Tracef(d, "CPT[%d,%d]=0\n", def.frame, def.firstIndex);
                break;
            default:
                Log(d, LOG_ERR, "erreur type de voie");
                break;
        }
    }
}

void TeleinfoNormalise(char* text) {
    for (char* p = text; *p != '\0'; ++p) {
        if (*p == ',') {
            *p = '.';
        } else if (!((*p >= '0' && *p <= '9') || *p == '-' || *p == '+' || *p == '.')) {
            *p = '\0';
            return;
        }
    }
}

int32_t TeleinfoToLong(const char* text) {
    const char* p = text;
    while (*p == ' ' || *p == '\t') {
        ++p;
    }
    bool negative = false;
    if (*p == '-' || *p == '+') {
        negative = *p == '-';
        ++p;
    }
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > static_cast<long long>(INT32_MAX) + 1) {
            value = static_cast<long long>(INT32_MAX) + 1;
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}
