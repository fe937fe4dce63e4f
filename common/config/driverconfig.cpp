#include "driverconfig.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "logdebug.h"
#include "stationfile.h"
#include "stationlog.h"
#include "xmlattrib.h"

namespace {

// Reads up to size bytes, going on after a signal or a short read, so that only the end of the
// file gives a short block. The count read, or -1 with errno.
ssize_t ReadBlock(int fd, char* block, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, block + got, size - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// A read or expat error: recorded, or fatal for the drivers that ask so.
template <typename... Args>
void ParseError(const DriverConfigReader* reader, const char* format, const char* fallback,
                Args... args) {
    if (format == nullptr) {
        format = fallback;  // an error is recorded whatever the texts say
    }
    if (reader->parseErrorsFatal) {
        XmlErrorFatal(format, args...);
    }
    XmlErrorRecord(format, args...);
}

// The parser of the analysis running (for DriverConfigStop), and whether a handler stopped it.
XML_Parser g_parsing = nullptr;
bool g_stopped = false;

void LogVerbose(const char* format, const char* path) {
    if (format != nullptr) {
        LogDebug(format, path);
    }
}

}  // namespace

int DriverConfigRead(const DriverConfigReader* reader, bool* statusWritten) {
    const char* path = driverconfig::kConfigurationPath;
    const driverconfig::Texts* texts =
        reader->texts != nullptr ? reader->texts : &driverconfig::kTextsMeter;
    if (statusWritten != nullptr) {
        *statusWritten = false;
    }
    UniqueFd fd(StationOpen(path, O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        int error = errno;
        if (texts->openFailed != nullptr) {
            StationLog(LOG_ERR, texts->openFailed, path, error);
        }
        errno = error;
        return -1;
    }
    LogVerbose(texts->begin, path);
    XML_Parser parser = XML_ParserCreate("ISO-8859-1");
    CriticalAssert(parser != nullptr, "erreur allocation", "driverconfig", __LINE__);
    char status[128];
    XmlStatusFileName(status, sizeof status, reader->driverName);
    bool statusOpen = XmlStatusOpen(status, parser) == 0;
    XML_SetUserData(parser, reader->userData);
    g_parsing = parser;
    g_stopped = false;
    XML_SetElementHandler(parser, reader->start, reader->end);

    char block[driverconfig::kBlockSize];
    for (;;) {
        ssize_t n = ReadBlock(fd.Get(), block, sizeof block);
        if (n < 0) {
            ParseError(reader, texts->readFailed, driverconfig::kTextsMeter.readFailed, path,
                       errno);
            break;
        }
        bool last = n < driverconfig::kBlockSize;
        if (XML_Parse(parser, block, static_cast<int>(n), last) == XML_STATUS_ERROR) {
            if (g_stopped) {
                break;  // the handler that stopped it has recorded why
            }
            ParseError(reader, texts->expatFailed, driverconfig::kTextsMeter.expatFailed,
                       XML_ErrorString(XML_GetErrorCode(parser)));
            break;
        }
        if (last) {
            break;
        }
    }
    g_parsing = nullptr;
    fd.Reset();
    LogVerbose(texts->end, path);
    if (reader->beforeVerdict != nullptr) {
        reader->beforeVerdict(reader->userData, XmlErrorCount());
    }
    int errors = XmlErrorCount();
    int closed = XmlStatusClose();
    XML_ParserFree(parser);
    if (statusWritten != nullptr) {
        *statusWritten = statusOpen && closed >= 0;
    }
    return errors;
}

int DriverConfigStop() {
    if (g_parsing == nullptr) {
        errno = EINVAL;
        return -1;
    }
    g_stopped = true;
    XML_StopParser(g_parsing, XML_FALSE);
    return 0;
}
