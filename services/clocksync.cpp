#include "clocksync.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <syslog.h>

#include <cerrno>
#include <cstring>

#include "clock.h"
#include "datetime.h"
#include "logdebug.h"
#include "msgcodec.h"
#include "stationcore.h"
#include "stationfile.h"
#include "stationlog.h"

namespace clocksync {

namespace {

// Queue envelope of the report and of the time-setting request.
struct QueueMessage {
    long type;
    unsigned char body[kReportLength];
};

// The first IPv4 address of a name or a dotted address; 0, or -1 when there is none.
int Resolve(const char* server, in_addr* address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(server, nullptr, &hints, &found) != 0 || found == nullptr) {
        return -1;
    }
    *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return 0;
}

// Waits for a usable answer until the 2 s are over. The verdict of the last datagram ignored
// chooses the status when none was usable.
int WaitForAnswer(int fd, SerialDebug* trace, uint32_t* unixTime) {
    unsigned char answer[kRequestSize];
    long long deadline = MonotonicMs() + kAnswerWaitMs;
    SntpVerdict ignored = SntpVerdict::kAccepted;
    for (;;) {
        long long left = deadline - MonotonicMs();
        int ready = 0;
        if (left > 0) {
            pollfd wait{fd, POLLIN, 0};
            ready = poll(&wait, 1, static_cast<int>(left));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
        }
        if (ready == 0) {
            break;
        }
        ssize_t length = ready < 0 ? -1 : recv(fd, answer, sizeof answer, MSG_DONTWAIT);
        if (length < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            StationLog(LOG_ERR, "erreur de reception =%d", errno);
            WriteStrToSerialDebug(trace, "Error in receive\n");
            return kNoAnswer;
        }
        FramePrintf(trace, "Rec", answer, static_cast<int>(length));
        SntpVerdict verdict = CheckSntpAnswer(answer, static_cast<size_t>(length), unixTime);
        if (verdict == SntpVerdict::kAccepted) {
            return kTimeSet;
        }
        ignored = verdict;
        WriteStrToSerialDebug(trace, "not a server answer with a time : ignored\n");
    }
    switch (ignored) {
        case SntpVerdict::kShort:
            StationLog(LOG_ERR, "lng reponse");
            WriteStrToSerialDebug(trace, "Error in receive lng\n");
            return kShortAnswer;
        case SntpVerdict::kNoTime:
            PrintfSerialDebug(trace, "error in time sended by server : %d is lower to\n", 0);
            return kTooEarly;
        default:
            WriteStrToSerialDebug(trace, "No answer\n");
            StationLog(LOG_ERR, "timeout");
            return kNoAnswer;
    }
}

}  // namespace

SntpVerdict CheckSntpAnswer(const unsigned char* bytes, size_t length, uint32_t* unixTime) {
    if (length < static_cast<size_t>(kAnswerMinSize)) {
        return SntpVerdict::kShort;
    }
    if ((bytes[0] & 0x07) != 4) {
        return SntpVerdict::kNotServer;
    }
    uint32_t seconds = (static_cast<uint32_t>(bytes[40]) << 24) |
                       (static_cast<uint32_t>(bytes[41]) << 16) |
                       (static_cast<uint32_t>(bytes[42]) << 8) | bytes[43];
    if (seconds == 0) {
        return SntpVerdict::kNoTime;
    }
    *unixTime = seconds + kNtpToUnix;
    return SntpVerdict::kAccepted;
}

void BuildSntpRequest(unsigned char* request) {
    std::memset(request, 0, kRequestSize);
    request[0] = 0x1B;
}

int OpenCommLogQueue() {
    static int queue = -1;
    if (queue < 0) {
        queue = msgget(corekey::kCommLogQueue, IPC_CREAT | 0777);
    }
    return queue;
}

int AskTimeServer(const char* server, SerialDebug* trace, uint32_t* unixTime) {
    UniqueFd socketFd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socketFd.Valid()) {
        StationLog(LOG_ERR, "erreur ouverture socket = %d", errno);
        return kNoSocket;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kNtpPort);
    if (Resolve(server, &to.sin_addr) != 0) {
        StationLog(LOG_ERR, "%s inconnu", server);
        return kUnknownServer;
    }
    char dotted[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &to.sin_addr, dotted, sizeof dotted);
    PrintfSerialDebug(trace, "clocksync server : %s,%s\n", server, dotted);

    // Connected, the socket receives only what the server asked sends: a datagram from any
    // other host could otherwise set the station's clock.
    unsigned char request[kRequestSize];
    BuildSntpRequest(request);
    if (connect(socketFd.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 ||
        send(socketFd.Get(), request, sizeof request, 0) != static_cast<ssize_t>(sizeof request)) {
        StationLog(LOG_ERR, "erreur emission=%d", errno);
        return kSendFailed;
    }
    FramePrintf(trace, "Snd", request, kRequestSize);

    int status = WaitForAnswer(socketFd.Get(), trace, unixTime);
    if (status == kTimeSet && static_cast<int64_t>(*unixTime) < kEarliestServerTime) {
        PrintfSerialDebug(trace, "error in time sended by server : %d is lower to\n",
                          static_cast<int>(*unixTime));
        return kTooEarly;
    }
    return status;
}

int64_t LegalTime(uint32_t unixTime, int to, SerialDebug* trace, int* offset) {
    const int64_t server = unixTime;
    struct tm date {};
    LocalTime64(server, &date);
    PrintfSerialDebug(trace, "server date %d/%d/%d,(%d,%d) %d:%d:%d ", date.tm_mday,
                      date.tm_mon + 1, date.tm_year + 1900, date.tm_yday, date.tm_wday,
                      date.tm_hour, date.tm_min, date.tm_sec);
    *offset = to;
    if (to == 1) {
        bool summer = IsSummerTime64(server) != 0;
        *offset = summer ? 2 : 1;
        WriteStrToSerialDebug(trace, summer ? "summer time" : "winter time");
    }
    WriteStrToSerialDebug(trace, "\n");
    return server + static_cast<int64_t>(*offset) * 3600;
}

int SendCommLogReport(int queue, uint32_t time) {
    unsigned char data[6] = {kEventTimeSet,
                             kSetBySntp,
                             static_cast<unsigned char>(time >> 24),
                             static_cast<unsigned char>(time >> 16),
                             static_cast<unsigned char>(time >> 8),
                             static_cast<unsigned char>(time)};
    LogDebug("commlog : %.2X,%.2X,%.2X,%.2X,%.2X,%.2X", data[0], data[1], data[2], data[3], data[4],
             data[5]);
    QueueMessage message{};
    message.type = kRequestMsgType;
    WorkingMsg report;
    InitWorkingMsg(&report, message.body, kReportLength, corekey::kCommLogQueue);
    SetHeader(&report);
    MsgCharWrite(&report, kReportKind);
    MsgShortWrite(&report, data[0] * 256 + data[1]);
    MsgLongWrite(&report, static_cast<int32_t>(time));
    // The reader takes a fixed length; the rest of the body stays zero.
    if (msgsnd(queue, &message, kReportLength, IPC_NOWAIT) != 0) {
        StationLog(LOG_ERR, "commlog : report not sent : %s", std::strerror(errno));
        return -1;
    }
    return 0;
}

int RequestTimeSetting(int64_t legal) {
    struct tm date {};
    LocalTime64(legal, &date);
    if (VerifyDateTime(&date) != 0) {
        return kBadDate;
    }
    LogDebug("ecriture date et heure=%d/%d/%d %d:%d:%d", date.tm_mday, date.tm_mon + 1,
             date.tm_year, date.tm_hour, date.tm_min, date.tm_sec);
    // Where time_t holds it, the time the C library makes of the checked date (as before);
    // beyond, the value itself.
    int64_t requested = legal;
    if (FitsTimeT(legal)) {
        requested = mktime(&date);
    }
    const auto sent = static_cast<uint32_t>(requested);

    int queue = msgget(corekey::kChanmgrQueue, 0777);
    if (queue < 0) {
        StationLog(LOG_ERR, "error in opening msg for sendind datetime=%d", errno);
        return kBadDate;
    }
    QueueMessage message{};
    message.type = kRequestMsgType;
    WorkingReq request;
    InitWorkingReq(&request, message.body, kReportLength, corekey::kChanmgrQueue);
    SetHeaderReq(&request, kCmdSetTime);
    MsgLongWrite(&request, static_cast<int32_t>(sent));
    // A request the queue does not take is lost: the run must not say the time was set.
    if (msgsnd(queue, &message, static_cast<size_t>(request.position), IPC_NOWAIT) != 0) {
        StationLog(LOG_ERR, "error in sending datetime=%d", errno);
        return kBadDate;
    }
    const int64_t now = Clock().Now().tv_sec;
    LogDebug(
        "divers.lib : demande de mise a l'heure : demandee=%u,difference=%d actuelle=%u Msg=%d",
        sent, static_cast<int>(requested - now), static_cast<uint32_t>(now), request.position);
    return kTimeSet;
}

}  // namespace clocksync
