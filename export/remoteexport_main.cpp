// remoteexport: sends the new timestamped data to an FTP server, then ends with its status
// (8 every source sent, 101 no server, 101 + libcurl's code when an upload failed, 124 when the
// context could not be saved).
#include <syslog.h>

#include <cstdlib>

#include "remoteupload.h"
#include "stationlog.h"

int main(int argc, char** argv) {
    StationOpenLog("remoteexport");
    if (argc <= 1) {
        StationLog(LOG_ERR, "not enough of arguments");
        return remoteexport::kNoServer;
    }
    static RemoteExport run;
    int status = RemoteExportStart(&run, argc, argv);
    if (status == 0) {
        status = RemoteExportPrepare(&run);
    }
    if (status == 0) {
        status = RemoteExportSend(&run);
    }
    RemoteExportRelease(&run);
    // The exit handler releases libcurl's handle and logs the status.
    std::exit(status);
}
