#include "logdebug.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "stationfile.h"
#include "stationlog.h"

namespace {
int g_debugLevel = 0;
}

int IsDebug(const char* name) {
    char path[128];
    std::snprintf(path, sizeof path, "/var/run/%.80s.debug", name != nullptr ? name : "");
    struct stat info {};
    if (StationStat(path, &info) != 0) {
        g_debugLevel = 0;
        return g_debugLevel;
    }
    FILE* file = StationFopen(path, "r");
    if (file == nullptr) {
        StationLog(LOG_ERR, "divers.lib : erreur d'ouverture de %s : %d", path, errno);
        g_debugLevel = 0;
        return g_debugLevel;
    }
    int level = 0;
    if (std::fscanf(file, "%d", &level) == 1) {
        StationLog(LOG_DEBUG, "divers.lib : log verbeux active (%d)", level);
        g_debugLevel = level;
    } else {
        StationLog(LOG_ERR, "divers.lib : erreur de lecture de %s ", path);
        g_debugLevel = 0;
    }
    std::fclose(file);
    return g_debugLevel;
}

int DebugLevel() {
    return g_debugLevel;
}

void LogDebug(const char* format, ...) {
    if (g_debugLevel == 0) {
        return;
    }
    va_list args;
    va_start(args, format);
    StationVLog(LOG_DEBUG, format, args);
    va_end(args);
}

void CriticalAssert(bool condition, const char* message, const char* file, int line) {
    if (condition) {
        return;
    }
    StationLog(LOG_CRIT, "%s a la ligne No %d du fichier %s ", message, line, file);
    sync();
    std::abort();
}
