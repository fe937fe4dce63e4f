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
#include "stationfile.h"
#include "stationlog.h"

namespace {

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
    struct stat info {};
    if (StationLstat(kLinkRequestPath, &info) == 0) {
        TimeStampSerialDebug(trace);
        WriteStrToSerialDebug(trace, "request of timestamped data read already exist\n");
    }
    TimeStampSerialDebug(trace);
    WriteStrToSerialDebug(trace, "request of timestamped data read : ");

    // Written under a temporary name in "/tmp" and renamed over the request file: "/tmp" is
    // world-writable, so the fixed name may hold anything, a symbolic link planted to make a
    // root process overwrite another file included; a rename replaces the link instead of
    // following it, and the reader never sees a half-written request. The file lives in "/tmp"
    // only until it is read: it is not synced.
    DurableFile request;
    if (request.Begin(kLinkRequestPath, 0644) != 0) {
        Fail(trace, "divers.lib : erreur ouverture %s : %d\n", errno);
        return kLinkCannotCreate;
    }
    char text[16];
    int length = FormatLinkRequest(text, sizeof text);
    if (request.Write(text, static_cast<size_t>(length)) != 0 || request.Commit(false) != 0) {
        bool renaming = request.FailedStep() == stationfile::Step::kRename;
        Fail(trace,
             renaming ? "divers.lib : erreur ouverture %s : %d\n"
                      : "divers.lib : erreur ecriture %s : %d\n",
             errno);
        return renaming ? kLinkCannotCreate : kLinkCannotWrite;
    }
    WriteStrToSerialDebug(trace, "Ack\n");
    StationLog(LOG_DEBUG, "Acquitte");
    return kLinkRequestWritten;
}
