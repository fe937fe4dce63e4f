// clocksync: asks an SNTP server for the time, reports it to the communication log and has
// chanmgr set the station clock to the legal time; status 8 when the request is sent.
#include <syslog.h>

#include <cerrno>
#include <cstring>

#include "argdecode.h"
#include "clocksync.h"
#include "datetime.h"
#include "logdebug.h"
#include "serialdebug.h"
#include "stationlog.h"

using namespace clocksync;

int main(int argc, char** argv) {
    StationOpenLog("module_clocksync");
    if (argc <= 1) {
        StationLog(LOG_ERR, "not enough of arguments");
        return kNoServer;
    }
    int reportQueue = OpenCommLogQueue();
    if (reportQueue < 0) {
        StationLog(LOG_ERR, "File horodate: error opening message file : %s", std::strerror(errno));
        return kNoReportQueue;
    }
    int port = ValueArgumentDecode(argc, argv, "Port");
    IsDebug("module_clocksync");
    char server[kServerNameMax + 1];
    if (GetArgumentStr(argc, argv, "Server", server, kServerNameMax) < 0) {
        StationLog(LOG_ERR, "pas de serveur");
        return kNoServer;
    }
    // A name read from an argument file keeps its line end.
    server[std::strcspn(server, "\r\n")] = '\0';
    int to = ValueArgumentDecode(argc, argv, "To");
    FreeArgDecode();

    SerialDebug trace;
    CreateSerialDebug(&trace, port);
    TimeStampSerialDebug(&trace);
    WriteStrToSerialDebug(&trace, "setting the time of M750ZT by clocksync\n");

    uint32_t serverTime = 0;
    int status = AskTimeServer(server, &trace, &serverTime);
    if (status == kTimeSet) {
        int offset = 0;
        int64_t legal = LegalTime(serverTime, to, &trace, &offset);
        SendCommLogReport(reportQueue, static_cast<uint32_t>(legal));
        status = RequestTimeSetting(legal);
        if (status == kTimeSet) {
            struct tm date {};
            LocalTime64(legal, &date);
            PrintfSerialDebug(&trace, "server date %d/%d/%d %d:%d:%d (%d)-> M750ZT\n", date.tm_mday,
                              date.tm_mon + 1, date.tm_year + 1900, date.tm_hour, date.tm_min,
                              date.tm_sec, offset);
            WriteStrToSerialDebug(&trace, "Ack\n");
        }
    }
    CloseSerialDebug(&trace);
    return status;
}
