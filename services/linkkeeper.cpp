#include "linkkeeper.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "board.h"
#include "clock.h"
#include "logdebug.h"
#include "stationlog.h"

namespace {

// The request is written under a temporary name in "/tmp" and renamed over the request file:
// "/tmp" is world-writable, so the fixed name may hold anything, a symbolic link planted to
// make a root process overwrite another file included; a rename replaces the link instead of
// following it, and the reader never sees a half-written request.
struct TemporaryRequest {
    std::string path;
    int fd = -1;
    ~TemporaryRequest() {
        if (fd >= 0) {
            close(fd);
        }
        if (!path.empty()) {
            unlink(path.c_str());
        }
    }
};

void Fail(SerialDebug* trace, const char* format, int error) {
    StationLog(LOG_ERR, format, kLinkRequestPath, error);
    WriteStrToSerialDebug(trace, "KO\n");
}

}  // namespace

int FormatLinkRequest(char* buffer, size_t size) {
    auto now = static_cast<unsigned int>(Clock().Now().tv_sec);
    return std::snprintf(buffer, size, "%8X\n", now);
}

void LogLinkArguments(int argc, char** argv) {
    for (int i = 0; i < argc && argv[i] != nullptr; ++i) {
        // At debug priority whatever the verbose switch: syslog's own level decides.
        StationLog(LOG_DEBUG, "Argv[%d] = %s", i, argv[i]);
    }
}

int WriteLinkRequest(SerialDebug* trace) {
    std::string requestPath = StationPath(kLinkRequestPath);
    struct stat info {};
    if (lstat(requestPath.c_str(), &info) == 0) {
        TimeStampSerialDebug(trace);
        WriteStrToSerialDebug(trace, "request of timestamped data read already exist\n");
    }
    TimeStampSerialDebug(trace);
    WriteStrToSerialDebug(trace, "request of timestamped data read : ");

    TemporaryRequest temporary{requestPath + ".XXXXXX"};
    temporary.fd = mkstemp(temporary.path.data());
    if (temporary.fd < 0) {
        temporary.path.clear();
        Fail(trace, "divers.lib : erreur ouverture %s : %d\n", errno);
        return kLinkCannotCreate;
    }
    char text[16];
    int length = FormatLinkRequest(text, sizeof text);
    ssize_t written = write(temporary.fd, text, static_cast<size_t>(length));
    if (written != length) {
        Fail(trace, "divers.lib : erreur ecriture %s : %d\n", written < 0 ? errno : ENOSPC);
        return kLinkCannotWrite;
    }
    // The request is read by another process: readable as a file created in place would be.
    int closed = fchmod(temporary.fd, 0644) == 0 ? close(temporary.fd) : -1;
    temporary.fd = closed == 0 ? -1 : temporary.fd;
    if (closed != 0) {
        Fail(trace, "divers.lib : erreur ecriture %s : %d\n", errno);
        return kLinkCannotWrite;
    }
    if (rename(temporary.path.c_str(), requestPath.c_str()) != 0) {
        Fail(trace, "divers.lib : erreur ouverture %s : %d\n", errno);
        return kLinkCannotCreate;
    }
    temporary.path.clear();
    WriteStrToSerialDebug(trace, "Ack\n");
    StationLog(LOG_DEBUG, "Acquitte");
    return kLinkRequestWritten;
}
