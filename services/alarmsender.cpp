#include "alarmsender.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clock.h"
#include "conf.h"
#include "displaychan.h"
#include "stationlog.h"
#include "utilities.h"

namespace alarmsender {

namespace {

constexpr int kWaitTurnMs = 1000;

// The output being filled: what is placed, and the room it keeps for the terminator.
struct Output {
    char* text;
    int size;
    int placed = 0;
    bool full = false;

    // Places the piece whole, or ends the expansion when it does not fit.
    bool Place(const char* piece, int length) {
        if (full || length > size - 1 - placed) {
            if (!full) {
                StationLog(LOG_DEBUG, "Parsing: buffer too short to expand all informations.");
            }
            full = true;
            return false;
        }
        std::memcpy(text + placed, piece, static_cast<size_t>(length));
        placed += length;
        text[placed] = '\0';
        return true;
    }
};

// A whole number written in at most the 4 characters after a directive letter (fewer at the
// end of the template); what follows the digits among them is skipped with them.
int DirectiveNumber(const char* at, const char** next) {
    char digits[5] = {};
    int n = 0;
    while (n < 4 && at[n] != '\0') {
        digits[n] = at[n];
        ++n;
    }
    *next = at + n;
    return std::atoi(digits);
}

int LocalDate(time_t time, char* piece, int size) {
    struct tm date {};
    if (localtime_r(&time, &date) == nullptr) {
        return 0;
    }
    return static_cast<int>(
        std::strftime(piece, static_cast<size_t>(size), "%d/%m/%Y %H:%M:%S", &date));
}

// Length of what snprintf placed in a piece of `size` bytes.
int Printed(int size, int length) {
    return length < 0 ? 0 : (length < size ? length : size - 1);
}

// The channel's current value as text, with its unit unless the number is negative.
int CurrentValueText(const AlarmExpansion* alarm, int channel, char* piece, int size) {
    return display_chan_value_syn(alarm->values, alarm->info, channel, piece, size);
}

// The alarm value as text for the alarm channel, with its unit.
int AlarmValueText(const AlarmExpansion* alarm, char* piece, int size) {
    return display_chan_value_log(alarm->values, alarm->info, alarm->channel,
                                  static_cast<uint32_t>(alarm->value), piece, size);
}

// The lines of an index group, each whole or not at all; false once the output is full.
bool PlaceGroup(const AlarmExpansion* alarm, char letter, bool crlf, Output* out) {
    const char* end = crlf ? "\r\n" : "\n";
    int endLength = crlf ? 2 : 1;
    for (int channel = 1; channel <= alarm->channelCount; ++channel) {
        if (GetChannelType(alarm->info, channel) == 0 ||
            !IsChannelIndex(alarm->info, channel, letter)) {
            continue;
        }
        char line[kGroupLineSize];
        const char* name = GetChannelName(alarm->info, channel);
        int room = kGroupLineSize - endLength;  // the line end always fits
        int length = Printed(room, std::snprintf(line, static_cast<size_t>(room), "V%04d %-32s ",
                                                 channel, name != nullptr ? name : ""));
        length += CurrentValueText(alarm, channel, line + length, room - length);
        std::memcpy(line + length, end, static_cast<size_t>(endLength) + 1);
        if (!out->Place(line, length + endLength)) {
            return false;
        }
    }
    return true;
}

}  // namespace

int ExpandTemplate(const AlarmExpansion* alarm, const char* templ, char* output, int outputSize) {
    if (output == nullptr || outputSize <= 0) {
        return 0;
    }
    output[0] = '\0';
    Output out{output, outputSize};
    const char* alarmName = GetChannelName(alarm->info, alarm->channel);
    int lastNumber = 0;
    char piece[kPieceSize];
    for (const char* at = templ; at != nullptr && *at != '\0' && !out.full;) {
        if (*at != '%') {
            out.Place(at, 1);
            ++at;
            continue;
        }
        char directive = at[1];
        if (directive == '\0') {
            break;
        }
        at += 2;
        int length = -1;  // nothing to place
        switch (directive) {
            case 'E':
            case 'F':
            case 'V': {
                int number = DirectiveNumber(at, &at);
                lastNumber = directive == 'F' ? -number : number;
                if (directive == 'V') {
                    const char* name = GetChannelName(alarm->info, number);
                    length = Printed(kPieceSize,
                                     std::snprintf(piece, kPieceSize, "%s", name ? name : ""));
                } else {
                    length = CurrentValueText(alarm, lastNumber, piece, kPieceSize);
                }
                break;
            }
            case 'n':
                length = Printed(kPieceSize, std::snprintf(piece, kPieceSize, "%d", lastNumber));
                break;
            case 'v':
                length = Printed(
                    kPieceSize, std::snprintf(piece, kPieceSize, "%s", alarmName ? alarmName : ""));
                break;
            case 'e':
                length = AlarmValueText(alarm, piece, kPieceSize);
                break;
            case 'd':
                length = LocalDate(alarm->time, piece, kPieceSize);
                break;
            case 'u':
                length = LocalDate(Clock().Now().tv_sec, piece, kPieceSize);
                break;
            case 's': {
                const char* name = alarm->stationName != nullptr ? alarm->stationName() : "";
                length =
                    Printed(kPieceSize, std::snprintf(piece, kPieceSize, "%s", name ? name : ""));
                break;
            }
            case 'i':
                length =
                    Printed(kPieceSize,
                            std::snprintf(piece, kPieceSize, "%d",
                                          alarm->stationId != nullptr ? alarm->stationId() : -1));
                break;
            case 'c':
                length = Printed(kPieceSize, std::snprintf(piece, kPieceSize, "%d", alarm->code));
                break;
            case 'I':
            case 'X':
                if (*at != '\0') {
                    PlaceGroup(alarm, *at, directive == 'I', &out);
                    ++at;
                }
                break;
            default:
                break;  // not a directive: both characters are dropped
        }
        if (length >= 0) {
            out.Place(piece, length);
        }
    }
    return out.placed;
}

int ParseAlarmCode(const char* code, AlarmServer* server) {
    size_t hostLength = std::strcspn(code, ":\r\n");
    if (hostLength == 0 || hostLength > static_cast<size_t>(kHostMax)) {
        return -1;
    }
    std::memcpy(server->host, code, hostLength);
    server->host[hostLength] = '\0';
    server->port = kDefaultServerPort;
    if (code[hostLength] != ':') {
        return 0;
    }
    const char* port = code + hostLength + 1;
    size_t portLength = std::strcspn(port, "\r\n");
    if (portLength == 0) {
        return 0;  // "host:" names no port either
    }
    if (portLength > 5 || std::strspn(port, "0123456789") != portLength) {
        return -1;
    }
    long number = std::strtol(port, nullptr, 10);
    if (number < 1 || number > 65535) {
        return -1;
    }
    server->port = static_cast<int>(number);
    return 0;
}

int ResolveAlarmServer(const char* host, in_addr* address) {
    if (inet_aton(host, address) != 0) {
        return 0;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
        return -1;
    }
    *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return 0;
}

int ConnectAlarmServer(int fd, const sockaddr_in* server) {
    long start = GetUptime();
    for (;;) {
        if (connect(fd, reinterpret_cast<const sockaddr*>(server), sizeof *server) == 0) {
            return 0;
        }
        if (errno != EINPROGRESS && errno != EALREADY && errno != EAGAIN) {
            return -1;
        }
        if (GetUptime() - start > kServerBoundSeconds) {
            errno = ETIMEDOUT;
            return -1;
        }
        // The wait ends as soon as the connection is made or refused; asking again then tells
        // which. A wake-up that changed nothing waits out the rest of the turn.
        long long turn = MonotonicMs();
        pollfd wait{fd, POLLOUT, 0};
        if (poll(&wait, 1, kWaitTurnMs) > 0) {
            int error = 0;
            socklen_t size = sizeof error;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error != 0) {
                errno = error;
                return -1;
            }
            if ((wait.revents & POLLOUT) == 0) {
                WaitMillisecond(static_cast<int>(kWaitTurnMs - (MonotonicMs() - turn)));
            }
        }
    }
}

int SendAlarmText(int fd, const char* text, size_t length) {
    size_t sent = 0;
    long start = GetUptime();
    while (sent < length) {
        ssize_t n = send(fd, text + sent, length - sent, MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<size_t>(n);
            StationLog(LOG_DEBUG, "socket send=%d %d remaining", static_cast<int>(n),
                       static_cast<int>(length - sent));
            continue;
        }
        if (errno == EINTR) {
            StationLog(LOG_DEBUG, "socket send interrupted by signal");
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return -1;
        }
        StationLog(LOG_DEBUG, "socket send interrupted by EAGAIN");
        // A server that takes nothing must not keep the module spinning: wait for room.
        if (GetUptime() - start > kServerBoundSeconds) {
            errno = ETIMEDOUT;
            return -1;
        }
        pollfd wait{fd, POLLOUT, 0};
        if (poll(&wait, 1, kWaitTurnMs) < 0 && errno != EINTR) {
            return -1;
        }
    }
    return 0;
}

void ErrorReport(SerialDebug* trace, const char* format, ...) {
    char text[kErrorReportMax + 1];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    StationLog(LOG_ERR, "%s", text);
    TimeStampSerialDebug(trace);
    WriteStrToSerialDebug(trace, text);
}

}  // namespace alarmsender

int ExpandMessage(const char* templ, int channel, int value, time_t time, char* output,
                  int outputSize, int code) {
    ChannelValues values;
    ChannelInfo info;
    ChannelReadOpen(&values);
    ChannelInfoOpen(&info);
    alarmsender::AlarmExpansion alarm;
    alarm.values = &values;
    alarm.info = &info;
    alarm.channelCount = GetChannelMaxNb();
    alarm.channel = channel;
    alarm.value = value;
    alarm.time = time;
    alarm.code = code;
    alarm.stationName = GetStationName;
    alarm.stationId = GetStationId;
    int placed = alarmsender::ExpandTemplate(&alarm, templ, output, outputSize);
    ChannelInfoClose(&info);
    ChannelReadClose(&values);
    return placed;
}
