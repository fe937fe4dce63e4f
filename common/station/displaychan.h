// A channel's value as text: a raw word from a log or memo line, or the current value in the
// channel memories, rendered with the channel's type, scale, unit, display format and state
// texts from the channel information. Used by the exporters (CSV lines) and the alarm texts.
// A display format comes from the station configuration: it is checked against the value
// before use (formatcheck.h), and one that does not fit gives "Format Error !".
#pragma once

#include <cstdint>
#include <ctime>

#include "channeldb.h"

namespace displaychan {
constexpr const char* kDefaultFormat = "%.2f";
constexpr const char* kTrue = "Vrai";
constexpr const char* kFalse = "Faux";
constexpr const char* kFault = "NAN";
constexpr const char* kUnknownType = "* * *";
constexpr const char* kTypeMismatch = "* * * *";
constexpr const char* kFormatError = "Format Error !";
// The plain form of a number: printf's "%g" (six significant digits).
constexpr int kPlainDigits = 6;
}  // namespace displaychan

// Each function writes a terminated text of at most size - 1 characters into buffer (nothing
// when size is 0) and returns its length. A negative channel number means that channel, shown
// without its unit.

// The value x of the channel as text, by its type: 1, 3 its state text or "Vrai"/"Faux"; 5 (and
// 2, 4, 7 without fault) its display format (default "%.2f") and " unit"; 2, 4, 7 with fault
// "NAN"; 6 a date or a duration (AfficheDate); 8, 9 nothing; any other "* * *". `flag` is not
// used.
int display_chan_value(ChannelValues* values, ChannelInfo* info, int channel, int flag, double x,
                       char* buffer, int size, int fault);
// A raw 32-bit word of a log or memo line: scaled by type (1, 3: 0 or 1; 2, 4, 7: the low 16
// bits, signed or unsigned as the channel says, x coefficient + offset; 5: unsigned x
// coefficient; others signed). plain non-zero: "%g" of the number; else display_chan_value.
int display_chan_value_log_raw(ChannelValues* values, ChannelInfo* info, int channel, uint32_t raw,
                               char* buffer, int size, int plain);
int display_chan_value_log(ChannelValues* values, ChannelInfo* info, int channel, uint32_t raw,
                           char* buffer, int size);
// The channel's current value from the channel memories, with its fault flag.
int display_chan_value_syn(ChannelValues* values, ChannelInfo* info, int channel, char* buffer,
                           int size);
// A raw word stored with a Modbus address (station log): the channel of that address, shown as
// display_chan_value_log when the address is one its type has, else "* * * *" (logged).
int DisplayChannelValueLogWithModbusAddr(ChannelValues* values, ChannelInfo* info, int address,
                                         uint32_t raw, char* buffer, int size);
// Seconds as a date (strftime of the format on UTC) when the format is longer than 3 characters
// and not "%f" ("* * *" when that makes nothing), else as a duration "HH h MM m SS s" (hours
// not limited to 24).
int AfficheDate(const char* format, long long seconds, char* buffer, int size);
// "* * * *" after the log of a type that does not match the address: 7. buffer holds 8 bytes.
int MsgErreurType(int address, int channel, char* buffer);
// "Format Error !" after the log of a format error: 14. buffer holds 15 bytes.
int MsgErreurFormat(int channel, char* buffer);

// "%g" of a number, as printf would write it, without printf's cost (the exporters write tens
// of thousands of values a run). The length written.
int PlainNumber(double x, char* buffer, int size);
