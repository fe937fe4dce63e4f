// busbridge: this station as a slave on a PLC's Uni-Telway bus (Port=<n>, any port when absent),
// exchanging the frame table's X-WAY requests with the PLC until the process is stopped.
#include <syslog.h>

#include "argdecode.h"
#include "logdebug.h"
#include "pidfile.h"
#include "refreshplc.h"
#include "stationcore.h"
#include "stationlog.h"
#include "xmlplc.h"
#include "xway.h"

int main(int argc, char** argv) {
    StationOpenLog(xway::kDriverName, LOG_PID, LOG_USER);
    IsDebug(xway::kDriverName);
    int port = ValueArgumentDecode(argc, argv, "Port");
    while (WaitPidFile(kChanmgrName) < 0) {
    }
    static PlcConfig config = PlcConfigLoad(xway::kDriverName, port, BusbridgeHook, nullptr);
    PlcDriverHooks hooks = BusbridgeHooks();
    PlcRefreshRun(PlcRefreshCreate(&config, &hooks));
}
