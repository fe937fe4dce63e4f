#include "utilities.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "board.h"
#include "clock.h"
#include "stationlog.h"

namespace {

// A descriptor closed on every path out of the copy.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) {
            close(fd);
        }
    }
    // Closes now and reports whether the system accepted it (written data may fail here).
    bool Close() {
        int old = fd;
        fd = -1;
        return old < 0 || close(old) == 0;
    }
};

// The copy is made under a temporary name beside the destination and renamed over it once
// complete: a reader never sees half a file, and a failed copy leaves the old one in place.
struct TemporaryFile {
    std::string path;
    bool kept = false;
    ~TemporaryFile() {
        if (!path.empty() && !kept) {
            unlink(path.c_str());
        }
    }
};

bool SyncDirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    Descriptor dir;
    dir.fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return dir.fd >= 0 && fsync(dir.fd) == 0;
}

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
    std::string sourcePath = StationPath(source);
    std::string destinationPath = StationPath(destination);

    Descriptor in;
    in.fd = open(sourcePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (in.fd < 0) {
        StationLog(LOG_ERR, "divers.lib : erreur ouverture fichier src %s =%d", source, errno);
        return 1;
    }
    struct stat info {};
    if (fstat(in.fd, &info) != 0) {
        StationLog(LOG_ERR, "divers.lib : erreur lecture taille fichier src %s=%d", source, errno);
        return 1;
    }
    TemporaryFile temporary{destinationPath + ".XXXXXX"};
    Descriptor out;
    out.fd = mkostemp(temporary.path.data(), O_CLOEXEC);
    if (out.fd < 0) {
        temporary.path.clear();
        StationLog(LOG_ERR, "divers.lib : erreur ouverture fichier Dst %s =%d", destination, errno);
        return 1;
    }
    fchmod(out.fd, 0644);

    char block[512];
    for (;;) {
        ssize_t got = read(in.fd, block, sizeof block);
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
        if (!WriteFully(out.fd, block, static_cast<size_t>(got))) {
            StationLog(LOG_DEBUG, "divers.lib : erreur ecriture fichier dst=%d", errno);
            return 1;
        }
    }
    if (sync != 0 && fsync(out.fd) != 0) {
        StationLog(LOG_ERR, "divers.lib: fsync error of %s : %s", destination,
                   std::strerror(errno));
        return 1;
    }
    if (!out.Close()) {
        StationLog(LOG_DEBUG, "divers.lib : erreur ecriture fichier dst=%d", errno);
        return 1;
    }
    if (rename(temporary.path.c_str(), destinationPath.c_str()) != 0) {
        StationLog(LOG_ERR, "divers.lib : erreur ouverture fichier Dst %s =%d", destination, errno);
        return 1;
    }
    temporary.kept = true;
    // The new name is on disk only once its directory is.
    if (sync != 0 && !SyncDirectoryOf(destinationPath)) {
        StationLog(LOG_ERR, "divers.lib: fsync error of %s : %s", destination,
                   std::strerror(errno));
        return 1;
    }
    StationLog(LOG_DEBUG, "divers.lib : copie (%d) fichier %s vers %s en %d ms", sync, source,
               destination, static_cast<int>(MonotonicMs() - start));
    return 0;
}

bool WriteFully(int fd, const void* bytes, size_t count) {
    const auto* next = static_cast<const char*>(bytes);
    while (count > 0) {
        ssize_t written = write(fd, next, count);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        next += written;
        count -= static_cast<size_t>(written);
    }
    return true;
}

int FileCpy(const char* source, const char* destination) {
    return FileCpySync(source, destination, 0);
}
