// printf formats that come from outside the program (the communication-log text file, the display
// formats of the channel information) are checked against the arguments they will get, then
// applied one conversion at a time with the argument of that conversion. A format that does not
// fit ("%s" where a number goes, more conversions than arguments, "%n") is refused: it is never
// handed to printf, so it can neither crash the module nor read its stack.
#pragma once

#include <cstddef>

namespace formatcheck {
enum class ArgKind { kInt, kDouble, kString };
// Conversions whose width or precision exceeds this are refused: no text of the station is that
// wide, and a huge field would only cost time.
constexpr int kFieldMax = 255;
// One conversion, rebuilt for printf: "%", flags, width, precision, length, letter.
constexpr int kConversionMax = 24;
}  // namespace formatcheck

// An argument: an int (also for %c and the unsigned conversions), a double or a text (null
// prints as the empty text).
struct FormatArg {
    formatcheck::ArgKind kind;
    long long integer = 0;
    double real = 0;
    const char* text = nullptr;
};
inline FormatArg IntArg(long long value) {
    return {formatcheck::ArgKind::kInt, value, 0, nullptr};
}
inline FormatArg DoubleArg(double value) {
    return {formatcheck::ArgKind::kDouble, 0, value, nullptr};
}
inline FormatArg TextArg(const char* text) {
    return {formatcheck::ArgKind::kString, 0, 0, text};
}

// 0 when each conversion of `format` fits the argument at its place: d i o u x X c take an int,
// f F e E g G a A a double, s a text; "%%" takes none; arguments left over are not used. Flags
// "-+ #0'", a width and a precision up to kFieldMax, and the length modifiers hh, h, l, ll, j,
// z, t (integers) and l, L (doubles) are accepted.
// -1 with errno EINVAL when it does not fit: a conversion of another kind than its argument,
// more conversions than arguments, %n, %p, %m or any other letter, a width or precision given
// by "*" or above kFieldMax, a numbered argument ("%1$d"), a "%" at the end; EFAULT for a null
// format. `why`, when given, receives a short reason (a static text) on failure.
int CheckFormat(const char* format, const FormatArg* args, int count, const char** why = nullptr);

// Formats into buffer (size bytes, always terminated when size > 0) what printf would make of
// format and the arguments, when CheckFormat accepts them. The number of bytes placed (cut to
// size - 1; a %c of 0 places a zero byte, as printf does); -1 with CheckFormat's errno when the
// format does not fit (the buffer is then empty).
int FormatChecked(char* buffer, size_t size, const char* format, const FormatArg* args, int count);
