#include "displaychan.h"

#include <syslog.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "formatcheck.h"
#include "logdebug.h"
#include "stationlog.h"

using namespace displaychan;

namespace {

// Copies text into buffer, cut to size - 1 characters; its length.
int Put(char* buffer, int size, const char* text) {
    if (size <= 0) {
        return 0;
    }
    size_t length = std::strlen(text);
    if (length > static_cast<size_t>(size - 1)) {
        length = static_cast<size_t>(size - 1);
    }
    std::memcpy(buffer, text, length);
    buffer[length] = 0;
    return static_cast<int>(length);
}

// Appends text at buffer + length; the new length.
int Append(char* buffer, int size, int length, const char* text) {
    return length + Put(buffer + length, size - length, text);
}

// The integer state of a value for its state text: what (int)x gives, without converting a
// value out of int's range (NaN included) to int.
int StateOf(double x) {
    return (x >= 1.0 || x <= -1.0) ? 1 : 0;
}

// Whole seconds of a value, held to the range of a 64-bit count.
long long WholeSeconds(double x) {
    if (std::isnan(x)) {
        return 0;
    }
    if (x >= 9.2e18) {
        return 9200000000000000000LL;
    }
    if (x <= -9.2e18) {
        return -9200000000000000000LL;
    }
    return static_cast<long long>(x);
}

int FormatErrorText(int channel, char* buffer, int size) {
    StationLog(LOG_ERR, "divers.lib :format error for channel No %d ", channel);
    return Put(buffer, size, displaychan::kFormatError);
}

// The number through the channel's display format, and its unit.
int FormattedValue(ChannelInfo* info, int channel, double x, char* buffer, int size) {
    const int number = std::abs(channel);
    const char* format = GetFormatText(info, number);
    if (format == nullptr || format[0] == 0) {
        format = kDefaultFormat;
    } else if (format[0] != '%') {
        LogDebug("Display Chan : format \"%s\" is not valid", format);
        format = kDefaultFormat;
    }
    const FormatArg arg = DoubleArg(x);
    const char* why = nullptr;
    int length = 0;
    if (CheckFormat(format, &arg, 1, &why) != 0) {
        // The format comes from the configuration: one that does not fit a number is never
        // handed to printf.
        StationLog(LOG_ERR, "divers.lib : format \"%s\" of channel No %d refused : %s", format,
                   number, why);
        length = FormatErrorText(number, buffer, size);
    } else {
        length = FormatChecked(buffer, static_cast<size_t>(size), format, &arg, 1);
        if (length <= 0) {
            length = FormatErrorText(number, buffer, size);
        }
    }
    const char* unit = GetUnitText(info, number);
    if (unit != nullptr && channel >= 0) {
        length = Append(buffer, size, length, " ");
        length = Append(buffer, size, length, unit);
    }
    return length;
}

}  // namespace

int PlainNumber(double x, char* buffer, int size) {
    char text[32];
    auto result =
        std::to_chars(text, text + sizeof text - 1, x, std::chars_format::general, kPlainDigits);
    *result.ptr = 0;
    return Put(buffer, size, text);
}

int MsgErreurType(int address, int channel, char* buffer) {
    StationLog(LOG_ERR, "divers.lib :inconsistency of the type for channel No %d (0x%04X)", channel,
               static_cast<unsigned>(address));
    return Put(buffer, 8, kTypeMismatch);
}

int MsgErreurFormat(int channel, char* buffer) {
    return FormatErrorText(channel, buffer, 15);
}

int AfficheDate(const char* format, long long seconds, char* buffer, int size) {
    if (size <= 0) {
        return 0;
    }
    buffer[0] = 0;
    if (format != nullptr && std::strcmp(format, "%f") != 0 && std::strlen(format) > 3) {
        const time_t t = static_cast<time_t>(seconds);
        struct tm date {};
        size_t length = 0;
        if (gmtime_r(&t, &date) != nullptr) {
            length = std::strftime(buffer, static_cast<size_t>(size), format, &date);
        }
        if (length == 0) {
            return Put(buffer, size, kUnknownType);
        }
        return static_cast<int>(length);
    }
    int n = std::snprintf(buffer, static_cast<size_t>(size), "%.2lld h %.2lld m %.2lld s",
                          seconds / 3600, seconds % 3600 / 60, seconds % 60);
    return n < 0 ? 0 : std::min(n, size - 1);
}

int display_chan_value(ChannelValues* /*values*/, ChannelInfo* info, int channel, int /*flag*/,
                       double x, char* buffer, int size, int fault) {
    if (size <= 0) {
        return 0;
    }
    buffer[0] = 0;
    const int number = std::abs(channel);
    switch (GetChannelType(info, number)) {
        case 1:
        case 3: {
            const char* text = GetChannelStateText(info, number, StateOf(x));
            if (text != nullptr) {
                return Put(buffer, size, text);
            }
            return Put(buffer, size, x != 0 ? kTrue : kFalse);
        }
        case 2:
        case 4:
        case 7:
            if (fault != 0) {
                return Put(buffer, size, kFault);
            }
            return FormattedValue(info, channel, x, buffer, size);
        case 5:
            return FormattedValue(info, channel, x, buffer, size);
        case 6:
            return AfficheDate(GetFormatText(info, number), WholeSeconds(x), buffer, size);
        case 8:
        case 9:
            return 0;
        default:
            return Put(buffer, size, kUnknownType);
    }
}

int display_chan_value_log_raw(ChannelValues* values, ChannelInfo* info, int channel, uint32_t raw,
                               char* buffer, int size, int plain) {
    const int number = std::abs(channel);
    double x;
    switch (GetChannelType(info, number)) {
        case 1:
        case 3:
            x = raw != 0 ? 1.0 : 0.0;
            break;
        case 2:
        case 4:
        case 7: {
            const double word = IsUnsignedChannel(info, number) != 0
                                    ? static_cast<double>(static_cast<uint16_t>(raw))
                                    : static_cast<double>(static_cast<int16_t>(raw));
            x = static_cast<double>(GetScaleCoefficient(info, number)) * word +
                static_cast<double>(GetScaleOffset(info, number));
            break;
        }
        case 5:
            x = static_cast<double>(raw) * static_cast<double>(GetScaleCoefficient(info, number));
            break;
        default:
            x = static_cast<double>(static_cast<int32_t>(raw));
            break;
    }
    if (plain != 0) {
        return PlainNumber(x, buffer, size);
    }
    return display_chan_value(values, info, channel, 0, x, buffer, size, 0);
}

int display_chan_value_log(ChannelValues* values, ChannelInfo* info, int channel, uint32_t raw,
                           char* buffer, int size) {
    return display_chan_value_log_raw(values, info, channel, raw, buffer, size, 0);
}

int display_chan_value_syn(ChannelValues* values, ChannelInfo* info, int channel, char* buffer,
                           int size) {
    const int number = std::abs(channel);
    double x = 0;
    switch (GetChannelType(info, number)) {
        case 1:
        case 3:
            x = BoolChannelRead(values, number);
            break;
        case 5:
            x = static_cast<double>(static_cast<uint32_t>(LongChannelRead(values, number))) *
                static_cast<double>(GetScaleCoefficient(info, number));
            break;
        case 6:
            x = static_cast<double>(static_cast<uint32_t>(LongChannelRead(values, number)));
            break;
        case 2:
        case 4:
        case 7:
            x = static_cast<double>(FloatChannelRead(values, number));
            break;
        default:
            break;
    }
    return display_chan_value(values, info, channel, 0, x, buffer, size,
                              IsChannelDefaut(info, number));
}

int DisplayChannelValueLogWithModbusAddr(ChannelValues* values, ChannelInfo* info, int address,
                                         uint32_t raw, char* buffer, int size) {
    const int channel = GetModbusAddrChannel(address);
    bool fits = false;
    switch (GetChannelType(info, channel)) {
        case 2:
        case 4:
        case 7:
            fits = address == GetIntModbusAddr(channel) || address == GetBoolModbusAddr(channel) ||
                   address == GetRealModbusAddr(channel);
            break;
        case 1:
        case 3:
            fits = address == GetBoolModbusAddr(channel);
            break;
        case 5:
        case 6:
            fits =
                address == GetCounterModbusAddr(channel) || address == GetRealModbusAddr(channel);
            break;
        default:
            break;
    }
    if (!fits) {
        char text[8];
        MsgErreurType(address, channel, text);
        return Put(buffer, size, text);
    }
    return display_chan_value_log(values, info, channel, raw, buffer, size);
}
