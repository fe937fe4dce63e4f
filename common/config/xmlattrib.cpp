#include "xmlattrib.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "msgcodec.h"
#include "stationcore.h"
#include "stationfile.h"
#include "stationlog.h"
#include "utilities.h"

namespace {

constexpr int kMessageMax = 128;      // an error message, terminator included
constexpr int kStatusLineMax = 192;   // a status line, terminator included
constexpr mode_t kStatusMode = 0704;  // rwx for the owner, read for others, nothing for the group
// Space taken for the status file when it is created (some twenty lines and the verdict): a full
// file system is found when the analysis starts, not when its verdict is lost.
constexpr off_t kStatusReserve = 4096;
constexpr int kNoticeSize = 128;
constexpr int kDegradedCommand = 40;
// modmgr is outside the system: a full queue is waited for, but not for ever.
constexpr int kNoticeTries = 50;
constexpr int kNoticePauseMs = 100;

// One analysis at a time, from the thread that parses the configuration.
struct ErrorState {
    int count = 0;
    int fd = -1;
    XML_Parser parser = nullptr;
    char path[256] = {};  // board path of the status file, for the log
    int writeError = 0;   // errno of the first failed write to it, 0 while none
} g_state;

// atoi without its undefined overflow: out-of-range texts are held at the int limits.
int ToInt(const char* text) {
    long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

// Appends to the status file unless a write to it failed already; the first failure is logged
// and remembered, and the file is then left alone (XmlStatusClose removes it).
void WriteStatus(const char* text, size_t length) {
    if (g_state.fd == -1 || g_state.writeError != 0) {
        return;
    }
    if (WriteFully(g_state.fd, text, length) != 0) {
        g_state.writeError = errno != 0 ? errno : EIO;
        StationLog(LOG_ERR, "XmlErreur: unable to write %s : %d", g_state.path, g_state.writeError);
    }
}

// Creates the status file afresh: the descriptor, or -1 with errno.
int CreateStatusFile(const char* path) {
    if (StationUnlink(path) != 0 && errno != ENOENT) {
        return -1;
    }
    UniqueFd fd(StationOpen(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kStatusMode));
    if (!fd.Valid()) {
        return -1;
    }
    // The mode is the file's own, whatever the umask; file systems that cannot reserve space
    // (EOPNOTSUPP) are written without a reservation.
    bool full = fallocate(fd.Get(), FALLOC_FL_KEEP_SIZE, 0, kStatusReserve) != 0 &&
                (errno == ENOSPC || errno == EDQUOT);
    if (full || fchmod(fd.Get(), kStatusMode) != 0) {
        int error = errno;
        fd.Reset();
        StationUnlink(path);
        errno = error;
        return -1;
    }
    return fd.Release();
}

// The text of a number attribute, or nullptr when it is missing or empty (the empty one is
// logged: the percentage and float readers say so alike).
const char* FindNumberText(XmlAttributes attributes, const char* name) {
    const char* text = XmlAttrFind(attributes, name);
    if (text != nullptr && text[0] == '\0') {
        StationLog(LOG_ERR, "divers.lib : pas de symbole pourcentage dans %s pour la clef %s", text,
                   name);
        return nullptr;
    }
    return text;
}

void RecordError(const char* format, va_list args) {
    ++g_state.count;
    char message[kMessageMax];
    std::vsnprintf(message, sizeof message, format, args);
    int line =
        g_state.parser != nullptr ? static_cast<int>(XML_GetCurrentLineNumber(g_state.parser)) : 0;
    char status[kStatusLineMax];
    int length =
        std::snprintf(status, sizeof status, "%d : Line %d \"%s\"\n", g_state.count, line, message);
    if (length > 0) {
        WriteStatus(status, std::min(static_cast<size_t>(length), sizeof status - 1));
    }
    StationLog(LOG_ERR, "Parsing Error line %d :", line);
    StationLog(LOG_ERR, "%s", message);
}

}  // namespace

const char* XmlAttrFind(XmlAttributes attributes, const char* name) {
    if (attributes == nullptr || name == nullptr) {
        return nullptr;
    }
    for (int i = 0; attributes[i] != nullptr; i += 2) {
        if (std::strcmp(attributes[i], name) == 0) {
            return attributes[i + 1];
        }
    }
    return nullptr;
}

int XmlAttrInt(XmlAttributes attributes, const char* name, int* value) {
    const char* text = XmlAttrFind(attributes, name);
    if (text == nullptr) {
        return 1;
    }
    *value = ToInt(text);
    return 0;
}

int XmlAttrIntBounded(XmlAttributes attributes, const char* name, int lower, int upper) {
    int value = 0;
    if (XmlAttrInt(attributes, name, &value) != 0 || value < lower || value > upper) {
        return lower;
    }
    return value;
}

int XmlAttrPercent(XmlAttributes attributes, const char* name, float* value) {
    const char* text = FindNumberText(attributes, name);
    if (text == nullptr) {
        return 1;
    }
    char number[64];
    size_t length = std::strcspn(text, "%");
    std::snprintf(number, sizeof number, "%.*s", static_cast<int>(length), text);
    float read = 0;
    if (std::sscanf(number, "%f", &read) != 1) {
        StationLog(LOG_ERR, "divers.lib : pas de valeur flottante codee dans %s pour la clef %s",
                   text, name);
        return 1;
    }
    if (!(read >= 0.0f && read <= 100.0f)) {
        StationLog(LOG_ERR, "divers.lib : valeur du pourcentage hors echelle %f pour la clef %s",
                   static_cast<double>(read), name);
        return 1;
    }
    *value = read;
    return 0;
}

int XmlAttrFloat(XmlAttributes attributes, const char* name, float* value) {
    const char* text = FindNumberText(attributes, name);
    if (text == nullptr) {
        return 1;
    }
    float read = 0;
    // "nan" and "inf" scan as floats but are no usable setting.
    if (std::sscanf(text, "%f", &read) != 1 || !std::isfinite(read)) {
        StationLog(LOG_ERR, "divers.lib : pas de valeur flottante dans %s pour la clef %s", text,
                   name);
        return 1;
    }
    *value = read;
    return 0;
}

int XmlAttrDouble(XmlAttributes attributes, const char* name, double* value) {
    const char* text = XmlAttrFind(attributes, name);
    if (text == nullptr) {
        return 1;
    }
    *value = std::strtod(text, nullptr);
    return 0;
}

int XmlAttrBool(XmlAttributes attributes, const char* name, int* value) {
    const char* text = XmlAttrFind(attributes, name);
    if (text == nullptr) {
        return 1;
    }
    *value =
        std::strcmp(text, "TRUE") == 0 || std::strcmp(text, "1") == 0 || std::strcmp(text, "V") == 0
            ? 1
            : 0;
    return 0;
}

int XmlAttrTime(XmlAttributes attributes, const char* name, int* seconds) {
    *seconds = 0;
    const char* text = XmlAttrFind(attributes, name);
    if (text == nullptr || text[0] == '\0') {
        return 1;
    }
    if (std::strchr(text, ':') == nullptr) {
        *seconds = ToInt(text);
        return 0;
    }
    int hours = 0;
    int minutes = 0;
    int secs = 0;
    if (std::sscanf(text, "%d:%d:%d", &hours, &minutes, &secs) != 3) {
        return 1;
    }
    long long total = hours * 3600LL + minutes * 60LL + secs;
    *seconds = static_cast<int>(total > INT_MAX ? INT_MAX : total < INT_MIN ? INT_MIN : total);
    return 0;
}

int XmlAttrIntList(XmlAttributes attributes, const char* name, int* values, int maximum) {
    const char* text = XmlAttrFind(attributes, name);
    if (text == nullptr || values == nullptr) {
        return 0;
    }
    int stored = 0;
    // Empty items (",," or a trailing comma) are skipped, as a tokenizer would.
    for (const char* item = text; *item != '\0' && stored < maximum;) {
        size_t length = std::strcspn(item, ",");
        if (length > 0) {
            char number[32];
            std::snprintf(number, sizeof number, "%.*s", static_cast<int>(length), item);
            values[stored++] = ToInt(number);
        }
        item += length;
        if (*item == ',') {
            ++item;
        }
    }
    return stored;
}

void XmlStatusFileName(char* buffer, size_t size, const char* driverName) {
    std::snprintf(buffer, size, "/var/log/%s.xml.status", driverName != nullptr ? driverName : "");
}

int XmlStatusOpen(const char* path, XML_Parser parser) {
    g_state.parser = parser;
    g_state.writeError = 0;
    if (g_state.fd != -1) {
        close(g_state.fd);
        g_state.fd = -1;
    }
    if (path == nullptr) {
        StationLog(LOG_ERR, "XmlErreur: unable to open %s : %d", "(null)", EINVAL);
        return -1;
    }
    std::snprintf(g_state.path, sizeof g_state.path, "%s", path);
    int fd = CreateStatusFile(path);
    if (fd == -1) {
        StationLog(LOG_ERR, "XmlErreur: unable to open %s : %d", path, errno);
        return -1;
    }
    g_state.fd = fd;
    return 0;
}

void XmlErrorRecord(const char* format, ...) {
    va_list args;
    va_start(args, format);
    RecordError(format, args);
    va_end(args);
}

void XmlErrorFatal(const char* format, ...) {
    va_list args;
    va_start(args, format);
    RecordError(format, args);
    va_end(args);
    XmlStatusClose();
    std::abort();
}

int XmlErrorCount() {
    return g_state.count;
}

void XmlStatusText(const char* text) {
    char line[kStatusLineMax];
    int length = std::snprintf(line, sizeof line, "%s\n", text != nullptr ? text : "");
    if (length > 0) {
        WriteStatus(line, std::min(static_cast<size_t>(length), sizeof line - 1));
    }
}

int XmlStatusClose() {
    int errors = g_state.count;
    const char* verdict = errors > 0 ? "** Mode Degrade **\n" : "** Mode Normal **\n";
    int result = errors;
    int error = 0;
    if (g_state.fd != -1) {
        WriteStatus(verdict, std::strlen(verdict));
        // The verdict is what the supervisor reads after a fatal stop or a power cut.
        if (g_state.writeError == 0 && fsync(g_state.fd) != 0) {
            g_state.writeError = errno;
            StationLog(LOG_ERR, "XmlErreur: unable to write %s : %d", g_state.path, errno);
        }
        if (close(g_state.fd) != 0 && g_state.writeError == 0) {
            g_state.writeError = errno;
            StationLog(LOG_ERR, "XmlErreur: unable to write %s : %d", g_state.path, errno);
        }
        g_state.fd = -1;
        if (g_state.writeError != 0) {
            // A status file without its verdict would read as an analysis still going on.
            error = g_state.writeError;
            StationUnlink(g_state.path);
            result = -1;
        }
    }
    if (errors > 0) {
        NotifyDegradedMode();
    }
    g_state.count = 0;
    g_state.writeError = 0;
    g_state.parser = nullptr;  // the analysis is over: its parser may be freed now
    if (result == -1) {
        errno = error;
    }
    return result;
}

void NotifyDegradedMode() {
    int queue = msgget(corekey::kModmgrQueue, IPC_CREAT | 0777);
    if (queue == -1) {
        StationLog(LOG_ERR, "Error opening modmgr file");
        return;
    }
    StationLog(LOG_ERR, "Sending error to modmgr");

    struct {
        long type;
        unsigned char body[kNoticeSize];
    } notice{};
    notice.type = kRequestMsgType;
    WorkingReq request;
    InitWorkingReq(&request, notice.body, kNoticeSize, corekey::kModmgrQueue);
    SetHeaderReq(&request, kDegradedCommand);

    for (int attempt = 1;; ++attempt) {
        if (msgsnd(queue, &notice, kNoticeSize, IPC_NOWAIT) == 0) {
            return;
        }
        int error = errno;
        if ((error != EAGAIN && error != EINTR) || attempt >= kNoticeTries) {
            StationLog(LOG_ERR, "Error sending error to modmgr : %s", std::strerror(error));
            return;
        }
        WaitMillisecond(kNoticePauseMs);
    }
}
