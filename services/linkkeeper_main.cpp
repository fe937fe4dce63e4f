// linkkeeper: leaves the request file that asks for a read of the timestamped data over the
// permanent link, then ends with its status (8 when the request is written).
#include <syslog.h>

#include "linkkeeper.h"
#include "logdebug.h"
#include "serialdebug.h"
#include "stationlog.h"

int main(int argc, char** argv) {
    StationOpenLog("linkkeeper");
    if (argc < 4) {
        StationLog(LOG_ERR, "not enough of arguments");
        return kLinkNotEnoughArguments;
    }
    IsDebug("module_linkkeeper");
    LogLinkArguments(argc, argv);

    SerialDebug trace;
    CreateSerialDebug(&trace, -1);
    TimeStampSerialDebug(&trace);
    WriteStrToSerialDebug(&trace, "Permanent Link\n");

    int status = WriteLinkRequest(&trace);
    CloseSerialDebug(&trace);
    return status;
}
