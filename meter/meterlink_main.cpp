// meterlink: runs one Teleinfo meter line (Port=<n>) until SIGINT.
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "argdecode.h"
#include "logdebug.h"
#include "meterlink.h"
#include "pidfile.h"
#include "plcutilities.h"
#include "serialdebug.h"
#include "stationcore.h"
#include "stationlog.h"

int main(int argc, char** argv) {
    StationOpenLog("meterlink", LOG_PID, LOG_USER);
    int port = ValueArgumentDecode(argc, argv, "Port");
    if (port == -1) {
        StationLog(LOG_ERR, "erreur arguments, mauvais Port");
        return 1;
    }
    if (MeterlinkInstallSignal() != 0) {
        StationLog(LOG_ERR, "erreur installation signal=%d", errno);
        return 1;
    }
    while (WaitPidFile(kChanmgrName, &g_meterlinkStop) < 0 && !g_meterlinkStop) {
    }
    if (g_meterlinkStop) {
        printf("fin meterlink\n");
        return 0;
    }
    PlcInitMsg();

    static Meterlink m;
    MeterlinkInit(&m, port);
    if (CreateSerialDebug(&m.trace, port) != 0) {
        StationLog(LOG_ERR, "erreur creation memoire partagee pour le debug");
        StationLog(LOG_ERR, "erreur initialisation automate");
        return -1;
    }
    IsDebug("meterlink");
    if (MeterlinkReadConfiguration(&m) != 0) {
        StationLog(LOG_ERR, "erreur decodage");
        return -1;
    }
    MeterlinkLogConfiguration(&m);
    errno = 0;
    if (nice(5) == -1 && errno != 0) {
        LogDebug("nice: %d", errno);
    }
    if (MeterlinkOpenPort(&m) != 0) {
        StationLog(LOG_ERR, "erreur ouverture port serie %s", m.device);
        return -1;
    }

    LogDebug("meterlink actif");
    MeterlinkStart(&m);
    while (!g_meterlinkStop) {
        if (MeterlinkScanFrame(&m) == -1) {
            StationLog(LOG_ERR, "erreur scrutation");
            MeterlinkPauseAfterError(&m);
        }
    }

    MeterlinkClose(&m);
    PlcCloseMsg();
    printf("fin meterlink\n");
    return 0;
}
