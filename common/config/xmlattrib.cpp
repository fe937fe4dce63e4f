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
#include <string>

#include "board.h"
#include "msgcodec.h"
#include "stationcore.h"
#include "stationlog.h"
#include "utilities.h"

namespace {

constexpr int kMessageMax = 128;     // an error message, terminator included
constexpr int kStatusLineMax = 192;  // a status line, terminator included
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

void WriteAll(int fd, const char* text, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, text, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        text += n;
        length -= static_cast<size_t>(n);
    }
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
    if (g_state.fd != -1 && length > 0) {
        WriteAll(g_state.fd, status, std::min(static_cast<size_t>(length), sizeof status - 1));
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
    if (g_state.fd != -1) {
        close(g_state.fd);
        g_state.fd = -1;
    }
    if (path == nullptr) {
        StationLog(LOG_ERR, "XmlErreur: unable to open %s : %d", "(null)", EINVAL);
        return -1;
    }
    std::string file = StationPath(path);
    unlink(file.c_str());
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0744);
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

int XmlStatusClose() {
    int errors = g_state.count;
    const char* verdict = errors > 0 ? "** Mode Degrade **\n" : "** Mode Normal **\n";
    if (g_state.fd != -1) {
        WriteAll(g_state.fd, verdict, std::strlen(verdict));
        // The verdict is what the supervisor reads after a fatal stop or a power cut.
        fsync(g_state.fd);
    }
    if (errors > 0) {
        NotifyDegradedMode();
    }
    g_state.count = 0;
    if (g_state.fd != -1) {
        close(g_state.fd);
        g_state.fd = -1;
    }
    return errors;
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
