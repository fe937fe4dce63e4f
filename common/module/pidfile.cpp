#include "pidfile.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "board.h"
#include "clock.h"
#include "stationfile.h"
#include "stationlog.h"

namespace {

constexpr long kWaitPidSeconds = 300;
constexpr long kWaitDateSeconds = 60;

struct PidPath {
    char board[128];  // as the board names it
};

PidPath MakePath(const char* name) {
    PidPath path;
    std::snprintf(path.board, sizeof path.board, "/var/run/%.80s.pid", name != nullptr ? name : "");
    return path;
}

// false when a signal cut the sleep short.
bool SleepOneSecond() {
    timespec second{1, 0};
    timespec remaining{};
    return Clock().Sleep(second, &remaining) == 0 || errno != EINTR;
}

// Pid named by the file, 0 when it cannot be read (logged).
int ReadPid(const PidPath& path) {
    FILE* file = StationFopen(path.board, "r");
    if (file == nullptr) {
        StationLog(LOG_ERR, "divers.lib : erreur d'ouverture de %s : %d", path.board, errno);
        return 0;
    }
    int pid = 0;
    if (std::fscanf(file, "%d", &pid) != 1) {
        StationLog(LOG_ERR, "divers.lib : erreur de lecture de %s ", path.board);
        pid = 0;
    }
    std::fclose(file);
    return pid;
}

bool ProcessExists(int pid) {
    if (pid <= 0) {
        errno = ENOENT;  // no such process directory
        return false;
    }
    char proc[32];
    std::snprintf(proc, sizeof proc, "/proc/%d", pid);
    struct stat info {};
    return StationStat(proc, &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

int WritePidFile(const char* name) {
    PidPath path = MakePath(name);
    // Replaced whole, so that a waiting module never reads a half-written pid.
    char text[24];
    int length = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
    if (DurableWriteFile(path.board, text, static_cast<size_t>(length), 0644) != 0) {
        StationLog(LOG_ERR, "divers.lib : erreur lors de la creation du fichier %s :%d", path.board,
                   errno);
        return 1;
    }
    return 0;
}

int WaitPidFile(const char* name) {
    return WaitPidFile(name, nullptr);
}

int WaitPidFile(const char* name, const volatile sig_atomic_t* stop) {
    PidPath path = MakePath(name);
    StationLog(LOG_DEBUG, "divers.lib : attente du pid de %s (%d s )", name != nullptr ? name : "",
               static_cast<int>(kWaitPidSeconds));
    long start = GetUptime();
    for (bool first = true;; first = false) {
        // A signal caught by the module (a stop request) ends the wait at once: the caller
        // looks at its stop flag before asking again.
        if (!first && ((stop != nullptr && *stop != 0) || !SleepOneSecond())) {
            StationLog(LOG_DEBUG, "divers.lib : attente du pid de %s interrompue",
                       name != nullptr ? name : "");
            errno = EINTR;
            return -1;
        }
        if (GetUptime() - start > kWaitPidSeconds) {
            StationLog(LOG_ERR, "divers.lib : pas d'acces a %s", path.board);
            return -1;
        }
        if (StationAccess(path.board, F_OK) != 0) {
            continue;
        }
        int pid = ReadPid(path);
        if (pid == 0) {
            continue;
        }
        if (ProcessExists(pid)) {
            StationLog(LOG_DEBUG, "divers.lib : pid %d lu", pid);
            return pid;
        }
        StationLog(LOG_ERR, "divers.lib : le pid lu %d n'existe pas : %d", pid, errno);
    }
}

time_t GetPidFileDate(const char* name) {
    PidPath path = MakePath(name);
    long start = GetUptime();
    for (;;) {
        struct stat info {};
        if (StationStat(path.board, &info) == 0) {
            return info.st_mtime;
        }
        int error = errno;
        if (GetUptime() - start >= kWaitDateSeconds) {
            StationLog(LOG_ERR, "divers.lib : error in file pid (%s) : %d", path.board, error);
            return 0;
        }
        SleepOneSecond();
    }
}

int IsPidFile(const char* name) {
    PidPath path = MakePath(name);
    int present = StationAccess(path.board, F_OK) == 0 ? 1 : 0;
    StationLog(LOG_DEBUG, "divers.lib : pid de %s :%d", name != nullptr ? name : "", present);
    return present;
}

void DeletePidFile(const char* name) {
    PidPath path = MakePath(name);
    if (StationUnlink(path.board) == 0) {
        StationLog(LOG_INFO, "divers.lib : %s deleted", path.board);
    } else if (errno == ENOENT) {
        StationLog(LOG_ERR, "divers.lib : %s no found", path.board);
    } else {
        StationLog(LOG_ERR, "divers.lib : error(%d) on %s delete", errno, path.board);
    }
}
