#include "stationlog.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "board.h"
#include "stationfile.h"

namespace {
char g_ident[64] = "station";
}

void StationOpenLog(const char* ident, int option, int facility) {
    std::snprintf(g_ident, sizeof g_ident, "%s", ident != nullptr ? ident : "station");
    openlog(g_ident, option, facility);
}

const char* StationPriorityName(int priority) {
    switch (LOG_PRI(priority)) {
        case LOG_EMERG:
            return "emerg";
        case LOG_ALERT:
            return "alert";
        case LOG_CRIT:
            return "crit";
        case LOG_ERR:
            return "err";
        case LOG_WARNING:
            return "warning";
        case LOG_NOTICE:
            return "notice";
        case LOG_INFO:
            return "info";
        default:
            return "debug";
    }
}

void StationVLog(int priority, const char* format, va_list args) {
    char text[1024];
    va_list copy;
    va_copy(copy, args);
    std::vsnprintf(text, sizeof text, format, copy);
    va_end(copy);
    syslog(priority, "%s", text);

    if (StationRoot().empty()) {
        return;
    }
    // One write per line on an O_APPEND descriptor: lines of several processes never interleave.
    char line[1200];
    int n = std::snprintf(line, sizeof line, "%s %s[%d]: %s\n", StationPriorityName(priority),
                          g_ident, static_cast<int>(getpid()), text);
    if (n < 0) {
        return;
    }
    size_t length = std::min(static_cast<size_t>(n), sizeof line - 1);
    UniqueFd fd(StationOpen("/var/log/messages", O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (fd.Valid()) {
        ssize_t written = write(fd.Get(), line, length);
        (void)written;
    }
}

void StationLog(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    StationVLog(priority, format, args);
    va_end(args);
}
