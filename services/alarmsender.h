// alarmsender: delivers one alarm text to a TCP server. The text is expanded from a template
// with the alarm, the station and channel values, written on one connection and the connection
// closed; the exit status tells the station's alarm handling whether to try again.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <ctime>

#include "channeldb.h"
#include "serialdebug.h"

namespace alarmsender {

constexpr int kDefaultServerPort = 8000;
constexpr int kHostMax = 39;
constexpr int kTemplateMax = 1023;
constexpr int kOutputSize = 3072;
constexpr int kPieceSize = 128;
constexpr int kGroupLineSize = 127;
// The connection, and then the write, are each given up after this long (uptime seconds).
constexpr int kServerBoundSeconds = 60;
constexpr int kErrorReportMax = 254;
constexpr const char* kDefaultTemplate = "empty message from %s (%i)";

// Exit statuses.
constexpr int kAcknowledged = 8;
constexpr int kNotEnoughArguments = 1;
constexpr int kNoHost = 101;
constexpr int kUnresolved = 102;
constexpr int kNotConnected = 103;
constexpr int kNotWritten = 104;
constexpr int kNoSocket = 105;

// What a template names besides the channels: the alarm, the station, the composer's code.
struct AlarmExpansion {
    ChannelValues* values = nullptr;
    ChannelInfo* info = nullptr;
    int channelCount = 0;  // channels 1 to this are scanned for %I and %X
    int channel = -1;      // the alarm channel ("Voie")
    int value = -1;        // its raw value ("Valeur")
    time_t time = 0;       // the alarm time ("Date")
    int code = -1;
    const char* (*stationName)() = nullptr;
    int (*stationId)() = nullptr;
};

// Expands the template into output (cleared first; at most outputSize - 1 characters, then the
// terminator). An expansion that does not fit whole in what is left ends the expansion (logged
// at debug priority), so a group is cut after its last whole line. The number of characters
// placed.
int ExpandTemplate(const AlarmExpansion* alarm, const char* templ, char* output, int outputSize);

// The server of a "Code" argument, "host" or "host:port" (port 8000 when there is none).
struct AlarmServer {
    char host[kHostMax + 1];
    int port;
};
// 0, or -1 when there is no host, the host is longer than 39 characters or the port is not a
// number from 1 to 65535. A line end (from an argument file) ends the text.
int ParseAlarmCode(const char* code, AlarmServer* server);

// A dotted address as it is, else the first IPv4 address the name resolves to. 0, or -1.
int ResolveAlarmServer(const char* host, in_addr* address);

// Connects the non-blocking socket: while the connection is in progress, waits up to 1000 ms
// for it and asks again, until it is made or more than 60 s of uptime have passed since the
// first call. 0 connected; -1 with errno ETIMEDOUT (the bound) or connect's error.
int ConnectAlarmServer(int fd, const sockaddr_in* server);

// Writes all of text on the connected non-blocking socket, without a broken-pipe signal. When
// the server takes nothing, waits for room (poll), and gives up when the whole text is not
// written after 60 s of uptime. 0 all written; -1 with errno ETIMEDOUT (the bound) or send's error.
int SendAlarmText(int fd, const char* text, size_t length);

// An error report: the text (cut to 254 characters) to the system log at error priority and,
// after a time stamp, to the debug trace.
void ErrorReport(SerialDebug* trace, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace alarmsender

// Expands the template with the station's channels (opened for the expansion), the alarm
// channel, value and time, and the composer's code. The number of characters placed.
int ExpandMessage(const char* templ, int channel, int value, time_t time, char* output,
                  int outputSize, int code);
