#include "integrity.h"

#include <sys/stat.h>
#include <syslog.h>

#include "stationfile.h"
#include "stationlog.h"

uint32_t GetConfigurationDate() {
    struct stat info {};
    if (StationStat(integrity::kConfigurationFile, &info) != 0) {
        StationLog(LOG_ERR,
                   "divers.lib : erreur de lecture de la date du fichier de configuration %s",
                   integrity::kConfigurationFile);
        return 0;
    }
    return static_cast<uint32_t>(info.st_mtime);
}
