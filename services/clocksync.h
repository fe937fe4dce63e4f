// clocksync: sets the station's clock from a time server. One SNTP request over UDP, one
// answer checked, the server time turned into the station's legal time, a report to the
// communication log and a time-setting request to chanmgr; the exit status says what happened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "serialdebug.h"

namespace clocksync {

constexpr int kNtpPort = 123;
constexpr int kRequestSize = 48;
constexpr int kAnswerMinSize = 44;
// Seconds from 1900 (the server's count) to 1970, as a 32-bit unsigned addition: the count
// wraps in 2036 and the sum with it, so that the next era still gives the right Unix time.
constexpr uint32_t kNtpToUnix = 2085978496u;
// 2001-01-01 00:00:00 UTC: a server claiming an earlier time has no time to give.
constexpr int64_t kEarliestServerTime = 978307200;
constexpr int kAnswerWaitMs = 2000;
constexpr int kServerNameMax = 80;

// Communication-log report: queue, report kind, event "time set" by clocksync, body length.
constexpr int kReportKind = 2;
constexpr int kEventTimeSet = 3;
constexpr int kSetBySntp = 5;
constexpr int kReportLength = 128;
// chanmgr's time-setting request.
constexpr int kCmdSetTime = 54;

// Exit statuses.
constexpr int kTimeSet = 8;
constexpr int kNoServer = 102;
constexpr int kNoSocket = 103;
constexpr int kUnknownServer = 104;
constexpr int kSendFailed = 105;
constexpr int kNoAnswer = 106;
constexpr int kShortAnswer = 107;
constexpr int kBadDate = 108;
constexpr int kNoReportQueue = 109;
constexpr int kTooEarly = 110;

// What an SNTP datagram from the server is worth.
enum class SntpVerdict {
    kAccepted,   // a server answer (mode 4) with a transmit time: *unixTime is set
    kShort,      // fewer than 44 bytes
    kNotServer,  // not a server answer (mode other than 4)
    kNoTime,     // transmit seconds 0: the server has no time to give
};

// Checks one datagram. The Unix time is the transmit seconds (bytes 40-43, big-endian, from
// 1900) plus kNtpToUnix in 32-bit arithmetic.
SntpVerdict CheckSntpAnswer(const unsigned char* bytes, size_t length, uint32_t* unixTime);

// The 48-byte client request: 0x1B (version 3, mode 3), then zeros.
void BuildSntpRequest(unsigned char* request);

// Opens the communication-log report queue (key 22794), creating it when missing, once per
// process. Its id, or -1 with errno.
int OpenCommLogQueue();

// Asks the server (a name or a dotted address) for the time: resolves it, sends the request
// to its port 123 from a socket connected to it, so that only its datagrams come back, and
// waits up to 2 s for a server answer with a transmit time; other datagrams are traced and
// ignored meanwhile. kTimeSet with *unixTime set, or the failure's status (logged and traced):
// kNoSocket, kUnknownServer, kSendFailed, kNoAnswer (an error, or nothing usable came: when the
// server sent only short answers the status is kShortAnswer, only answers without a time
// kTooEarly), kTooEarly (a time before 2001).
int AskTimeServer(const char* server, SerialDebug* trace, uint32_t* unixTime);

// The station's legal time for a server time: `to` hours added to UTC, 1 meaning legal time
// with daylight saving (2 hours in summer, 1 in winter). Traces the server date and the season;
// *offset is the number of hours used. Worked out in 64 bits: the board's time_t ends in 2038,
// the server's unsigned count goes on to 2106.
int64_t LegalTime(uint32_t unixTime, int to, SerialDebug* trace, int* offset);

// Sends the report "time set by clocksync" with the time (event 3, data byte 5) on the report
// queue, without waiting. 0, or -1 with errno (logged).
int SendCommLogReport(int queue, uint32_t time);

// Checks the date of `legal` and asks chanmgr to set the clock to it (command 54 on queue
// 22792, without waiting). kTimeSet, or kBadDate: an invalid date, no chanmgr queue, or a
// request the queue did not take (logged). chanmgr takes the time as 32-bit unsigned seconds.
int RequestTimeSetting(int64_t legal);

}  // namespace clocksync
