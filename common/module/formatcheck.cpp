#include "formatcheck.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

using namespace formatcheck;

namespace {

enum class Length { kNone, kShort, kLong, kLongDouble };

// One conversion of a format, as read.
struct Conversion {
    char conversion[kConversionMax + 1];  // rebuilt: "%", flags, width, precision, length, letter
    ArgKind kind;
    bool percent;  // "%%"
};

bool IsFlag(char c) {
    return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0' || c == '\'';
}

// Reads a field of digits (width or precision) up to kFieldMax; false when it is larger.
bool ReadField(const char*& p, int& value) {
    value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + (*p - '0');
        if (value > kFieldMax) {
            return false;
        }
        ++p;
    }
    return true;
}

// Reads the conversion that starts at p (on its "%") into c and moves p past it. False, with
// the reason, when it is not one this unit applies.
bool ReadConversion(const char*& p, Conversion& c, const char*& why) {
    const char* start = p++;
    c.percent = false;
    if (*p == '%') {
        ++p;
        c.percent = true;
        return true;
    }
    int flags = 0;
    while (IsFlag(*p)) {
        if (++flags > 5) {
            why = "too many flags";
            return false;
        }
        ++p;
    }
    if (*p == '*') {
        why = "width taken from an argument";
        return false;
    }
    int field = 0;
    const char* digits = p;
    if (!ReadField(p, field)) {
        why = "width too large";
        return false;
    }
    if (*p == '$' && p != digits) {
        why = "numbered argument";
        return false;
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            why = "precision taken from an argument";
            return false;
        }
        if (!ReadField(p, field)) {
            why = "precision too large";
            return false;
        }
    }
    const char* lengthStart = p;
    Length length = Length::kNone;
    if (*p == 'h') {
        length = Length::kShort;
        p += p[1] == 'h' ? 2 : 1;
    } else if (*p == 'l') {
        length = Length::kLong;
        p += p[1] == 'l' ? 2 : 1;
    } else if (*p == 'j' || *p == 'z' || *p == 't') {
        length = Length::kLong;
        ++p;
    } else if (*p == 'L') {
        length = Length::kLongDouble;
        ++p;
    }
    const char letter = *p;
    if (letter == 0) {
        why = "format ends inside a conversion";
        return false;
    }
    ++p;
    switch (letter) {
        case 'd':
        case 'i':
        case 'o':
        case 'u':
        case 'x':
        case 'X':
        case 'c':
            c.kind = ArgKind::kInt;
            if (length == Length::kLongDouble || (letter == 'c' && length != Length::kNone)) {
                why = "length modifier that does not fit the conversion";
                return false;
            }
            break;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            c.kind = ArgKind::kDouble;
            if (length == Length::kShort) {
                why = "length modifier that does not fit the conversion";
                return false;
            }
            break;
        case 's':
            c.kind = ArgKind::kString;
            if (length != Length::kNone) {
                why = "length modifier that does not fit the conversion";
                return false;
            }
            break;
        case 'n':
            why = "%n conversion";
            return false;
        default:
            why = "unknown conversion";
            return false;
    }
    // The conversion is rebuilt with the length the argument will really have: integers go as
    // long long when a long length was asked (its width differs from board to board), doubles
    // as long double only for L.
    size_t head = static_cast<size_t>(lengthStart - start);
    if (head + 4 > sizeof c.conversion) {
        why = "conversion too long";
        return false;
    }
    std::memcpy(c.conversion, start, head);
    size_t at = head;
    if (length == Length::kShort) {
        std::memcpy(c.conversion + at, lengthStart, static_cast<size_t>(p - 1 - lengthStart));
        at += static_cast<size_t>(p - 1 - lengthStart);
    } else if (length == Length::kLong && c.kind == ArgKind::kInt) {
        c.conversion[at++] = 'l';
        c.conversion[at++] = 'l';
    } else if (length == Length::kLongDouble) {
        c.conversion[at++] = 'L';
    }
    c.conversion[at++] = letter;
    c.conversion[at] = 0;
    return true;
}

// Walks the format: each conversion checked against its argument; with a buffer, the text made.
int Walk(char* buffer, size_t size, const char* format, const FormatArg* args, int count,
         const char** why) {
    const char* reason = nullptr;
    if (format == nullptr) {
        errno = EFAULT;
        reason = "no format";
    }
    size_t used = 0;
    auto room = [&]() { return used + 1 < size ? size - used : 0; };
    auto put = [&](const char* text, size_t n) {
        if (buffer == nullptr || used + 1 >= size) {
            return;
        }
        size_t take = n < size - 1 - used ? n : size - 1 - used;
        std::memcpy(buffer + used, text, take);
        used += take;
        buffer[used] = 0;
    };
    auto placed = [&](int n) {
        if (n > 0) {
            size_t r = room();
            used += static_cast<size_t>(n) < r ? static_cast<size_t>(n) : (r > 0 ? r - 1 : 0);
        }
    };
    if (buffer != nullptr && size > 0) {
        buffer[0] = 0;
    }
    int next = 0;
    for (const char* p = format; reason == nullptr && *p != 0;) {
        const char* percent = std::strchr(p, '%');
        if (percent == nullptr) {
            put(p, std::strlen(p));
            break;
        }
        put(p, static_cast<size_t>(percent - p));
        p = percent;
        Conversion c;
        if (!ReadConversion(p, c, reason)) {
            break;
        }
        if (c.percent) {
            put("%", 1);
            continue;
        }
        if (next >= count) {
            reason = "more conversions than arguments";
            break;
        }
        const FormatArg& arg = args[next++];
        if (arg.kind != c.kind) {
            reason = "conversion of another kind than its argument";
            break;
        }
        if (buffer == nullptr || room() == 0) {
            continue;
        }
        char* at = buffer + used;
        const size_t r = room();
        const size_t specLength = std::strlen(c.conversion);
        const bool longInt = specLength > 3 && c.conversion[specLength - 2] == 'l';
        switch (c.kind) {
            case ArgKind::kInt:
                if (longInt) {
                    placed(std::snprintf(at, r, c.conversion, arg.integer));
                } else {
                    placed(std::snprintf(at, r, c.conversion, static_cast<int>(arg.integer)));
                }
                break;
            case ArgKind::kDouble:
                if (c.conversion[specLength - 2] == 'L') {
                    placed(std::snprintf(at, r, c.conversion, static_cast<long double>(arg.real)));
                } else {
                    placed(std::snprintf(at, r, c.conversion, arg.real));
                }
                break;
            case ArgKind::kString:
                placed(std::snprintf(at, r, c.conversion, arg.text != nullptr ? arg.text : ""));
                break;
        }
    }
    if (reason != nullptr) {
        if (buffer != nullptr && size > 0) {
            buffer[0] = 0;
        }
        if (why != nullptr) {
            *why = reason;
        }
        if (format != nullptr) {
            errno = EINVAL;
        }
        return -1;
    }
    return static_cast<int>(used);
}

}  // namespace

int CheckFormat(const char* format, const FormatArg* args, int count, const char** why) {
    return Walk(nullptr, 0, format, args, count, why) < 0 ? -1 : 0;
}

int FormatChecked(char* buffer, size_t size, const char* format, const FormatArg* args, int count) {
    if (buffer == nullptr || size == 0) {
        return CheckFormat(format, args, count);
    }
    // Checked whole first: a format refused halfway must not leave half a text.
    if (CheckFormat(format, args, count) != 0) {
        buffer[0] = 0;
        return -1;
    }
    return Walk(buffer, size, format, args, count, nullptr);
}
