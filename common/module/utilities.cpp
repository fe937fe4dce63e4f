#include "utilities.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "clock.h"
#include "stationfile.h"
#include "stationlog.h"

namespace {
// Permissions of a copy that replaces no file, as a file created by a root process would have.
constexpr mode_t kNewCopyMode = 0644;
}  // namespace

void WaitMillisecond(int ms) {
    if (ms <= 0) {
        return;
    }
    timespec delay{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    timespec remaining{};
    // A signal cuts the sleep short: sleep again for what is left, so the wait stays ms long.
    while (Clock().Sleep(delay, &remaining) != 0 && errno == EINTR) {
        delay = remaining;
    }
}

int FileCpySync(const char* source, const char* destination, int sync) {
    long long start = MonotonicMs();
    UniqueFd in(StationOpen(source, O_RDONLY | O_CLOEXEC));
    if (!in.Valid()) {
        StationLog(LOG_ERR, "divers.lib : erreur ouverture fichier src %s =%d", source, errno);
        return 1;
    }
    struct stat info {};
    if (fstat(in.Get(), &info) != 0) {
        StationLog(LOG_ERR, "divers.lib : erreur lecture taille fichier src %s=%d", source, errno);
        return 1;
    }
    // The copy replaces the destination whole or not at all, and keeps its permissions: a file
    // someone made private stays private after a copy over it.
    DurableFile out;
    if (out.Begin(destination, kNewCopyMode, stationfile::ModeRule::kKeep) != 0) {
        StationLog(LOG_ERR, "divers.lib : erreur ouverture fichier Dst %s =%d", destination, errno);
        return 1;
    }

    char block[512];
    for (;;) {
        ssize_t got = read(in.Get(), block, sizeof block);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            StationLog(LOG_ERR, "divers.lib : erreur lecture fichier src=%d", errno);
            return 1;
        }
        if (got == 0) {
            break;
        }
        if (out.Write(block, static_cast<size_t>(got)) != 0) {
            StationLog(LOG_DEBUG, "divers.lib : erreur ecriture fichier dst=%d", errno);
            return 1;
        }
    }
    if (out.Commit(sync != 0) != 0) {
        switch (out.FailedStep()) {
            case stationfile::Step::kSync:
            case stationfile::Step::kSyncDirectory:
                StationLog(LOG_ERR, "divers.lib: fsync error of %s : %s", destination,
                           std::strerror(errno));
                break;
            case stationfile::Step::kRename:
                StationLog(LOG_ERR, "divers.lib : erreur ouverture fichier Dst %s =%d", destination,
                           errno);
                break;
            default:
                StationLog(LOG_DEBUG, "divers.lib : erreur ecriture fichier dst=%d", errno);
                break;
        }
        return 1;
    }
    StationLog(LOG_DEBUG, "divers.lib : copie (%d) fichier %s vers %s en %d ms", sync, source,
               destination, static_cast<int>(MonotonicMs() - start));
    return 0;
}

int WriteFully(int fd, const void* bytes, size_t count) {
    const auto* next = static_cast<const char*>(bytes);
    while (count > 0) {
        ssize_t written = write(fd, next, count);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        next += written;
        count -= static_cast<size_t>(written);
    }
    return 0;
}

int FileCpy(const char* source, const char* destination) {
    return FileCpySync(source, destination, 0);
}
