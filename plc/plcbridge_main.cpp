// plcbridge: the Sysway master of one PLC line (Port=<n>, or any port when absent). Runs the
// frame table of its COM until the process is ended; a configuration error or a line that cannot
// be opened ends it abnormally.
#include <syslog.h>
#include <unistd.h>

#include <cerrno>

#include "argdecode.h"
#include "logdebug.h"
#include "pidfile.h"
#include "plcbridge.h"
#include "refreshplc.h"
#include "stationcore.h"
#include "stationlog.h"
#include "xmlplc.h"

int main(int argc, char** argv) {
    StationOpenLog(plcbridge::kDriverName, LOG_PID, LOG_USER);
    int port = ValueArgumentDecode(argc, argv, "Port");
    IsDebug(plcbridge::kDriverName);
    errno = 0;
    if (nice(2) == -1 && errno != 0) {
        LogDebug("nice: %d", errno);
    }
    while (WaitPidFile(kChanmgrName) < 0) {
    }
    PlcConfig config = PlcConfigLoad(plcbridge::kDriverName, port, PlcbridgeHook, nullptr);
    PlcScanContext* context = PlcRefreshCreate(&config, &kPlcbridgeHooks);
    PlcRefreshRun(context);
}
