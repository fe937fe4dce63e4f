// stickexport: unloads the new timestamped data onto the USB key, then ends with its status
// (8 done, 102 no key, 103 the key could not be mounted, 104 the key's context not saved).
#include <syslog.h>

#include "stationlog.h"
#include "stickexport.h"

int main(int argc, char** argv) {
    StationOpenLog("stickexport");
    if (argc <= 1) {
        StationLog(LOG_ERR, "not enough of arguments");
        return stickexport::kNoArgument;
    }
    static StickExport run;
    StickExportStart(&run, argc, argv);
    StickExportBlink(&run);
    if (StickExportFindKey(&run) != 0) {
        StickExportRelease(&run);
        return stickexport::kNoKey;
    }
    if (StickExportMountKey(&run) != 0) {
        StickExportRelease(&run);
        return stickexport::kMountFailed;
    }
    StickExportExport(&run);
    StickExportFreeSpace(&run);
    return StickExportEnd(&run);
}
