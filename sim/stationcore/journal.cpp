#include "journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "stationlog.h"
#include "tsdcore.h"

Journal::~Journal() {
    Close();
}

int Journal::Open(const char* path) {
    Close();
    fd_ = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    return fd_ >= 0 ? 0 : -1;
}

void Journal::Close() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

void Journal::Add(const char* format, ...) {
    if (length_ >= sizeof line_ - 2) {
        truncated_ = true;
        return;
    }
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line_ + length_, sizeof line_ - 2 - length_, format, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= sizeof line_ - 2 - length_) {
        truncated_ = true;
        length_ = sizeof line_ - 2;
        return;
    }
    length_ += static_cast<size_t>(n);
}

void Journal::Begin(int queue, long type, size_t size, const char* kind) {
    length_ = 0;
    truncated_ = false;
    line_[0] = 0;
    Add("{\"seq\":%lu,\"kind\":\"%s\",\"queue\":%d,\"type\":%ld,\"size\":%zu", ++sequence_, kind,
        queue, type, size);
}

void Journal::End() {
    if (truncated_) {
        // Never leave a line that is not JSON: say it was cut instead.
        length_ = 0;
        Add("{\"seq\":%lu,\"kind\":\"error\",\"error\":\"journal line too long\"}", sequence_);
    }
    line_[length_] = 0;
    if (fd_ < 0) {
        return;
    }
    line_[length_] = '\n';
    ssize_t written = write(fd_, line_, length_ + 1);
    if (written != static_cast<ssize_t>(length_ + 1) && !writeFailed_) {
        // Said once: a journal that cannot be written would otherwise fill the log.
        writeFailed_ = true;
        StationLog(LOG_ERR, "journal write failed: %s",
                   written < 0 ? std::strerror(errno) : "short write");
    }
    line_[length_] = 0;
}

void Journal::AddHeader(const CoreRequest& request) {
    Add(",\"command\":%u,\"msgno\":%u,\"pid\":%u,\"sec\":%u,\"usec\":%u", request.command,
        request.header.number, request.header.pid, request.header.seconds,
        request.header.microseconds);
}

void JournalFloat(char* out, size_t size, double value) {
    if (std::isnan(value)) {
        std::snprintf(out, size, "\"nan\"");
    } else if (std::isinf(value)) {
        std::snprintf(out, size, value > 0 ? "\"inf\"" : "\"-inf\"");
    } else {
        std::snprintf(out, size, "%.9g", value);
    }
}

void Journal::AddItem(const CoreRequest& request, int index, const ItemOutcome* outcome) {
    const CoreItem& item = request.items[index];
    Add("%s{\"number\":%u,\"kind\":\"%s\",\"value\":", index == 0 ? "" : ",", item.number,
        CoreKindName(item.kind));
    char text[64];
    switch (item.kind) {
        case kKindBool:
            Add("%s", item.raw != 0 ? "true" : "false");
            break;
        case kKindShort:
        case kKindLong:
            Add("%d", static_cast<int32_t>(item.raw));
            break;
        case kKindFloat: {
            float value;
            std::memcpy(&value, &item.raw, sizeof value);
            JournalFloat(text, sizeof text, value);
            Add("%s,\"bits\":\"%08X\"", text, item.raw);
            break;
        }
        case kKindDouble:
            JournalFloat(text, sizeof text, item.real);
            Add("%s", text);
            break;
        default:
            Add("null,\"length\":%u", item.textLength);
            break;
    }
    if (outcome != nullptr) {
        const char* what = request.command == kCmdWriteSetpoints ? "setpoint" : "channel";
        if (outcome->target != 0) {
            Add(",\"%s\":%d", what, outcome->target);
        } else {
            Add(",\"%s\":null", what);
        }
        Add(",\"applied\":%s", outcome->note == nullptr ? "true" : "false");
        if (outcome->note != nullptr) {
            Add(",\"note\":\"%s\"", outcome->note);
        }
    }
    Add("}");
}

void Journal::Request(int queue, long type, size_t size, const CoreRequest& request,
                      const ItemOutcome* outcomes) {
    Begin(queue, type, size, "request");
    AddHeader(request);
    if (request.command == kCmdFrameValues) {
        Add(",\"com\":%u,\"frame\":%u", request.com, request.frame);
    }
    if (request.command == kCmdSetTime) {
        Add(",\"time\":%u", request.time);
    } else {
        Add(",\"items\":[");
        for (int i = 0; i < request.itemCount; ++i) {
            AddItem(request, i, outcomes != nullptr ? &outcomes[i] : nullptr);
        }
        Add("]");
    }
    Add("}");
    End();
}

void Journal::Notice(int queue, long type, size_t size, const CoreRequest& notice) {
    Begin(queue, type, size, "modmgr");
    AddHeader(notice);
    Add("}");
    End();
}

void Journal::Report(int queue, long type, size_t size, const CommLogReport& report) {
    Begin(queue, type, size, "commlog");
    Add(",\"msgno\":%u,\"pid\":%u,\"sec\":%u,\"usec\":%u,\"report\":%u,\"event\":%u,"
        "\"data1\":%u,\"data\":%u}",
        report.header.number, report.header.pid, report.header.seconds, report.header.microseconds,
        report.kind, report.event >> 8, report.event & 0xFFu, report.data);
    End();
}

void Journal::Tsd(int queue, long type, size_t size, const tsdsim::Request& request,
                  const tsdsim::Outcome& outcome) {
    Begin(queue, type, size, "tsd");
    Add(",\"msgno\":%u,\"pid\":%u,\"sec\":%u,\"usec\":%u,\"journal\":%u,\"operation\":%u,"
        "\"channel\":%u,\"first\":%u,\"count\":%u",
        request.header.number, request.header.pid, request.header.seconds,
        request.header.microseconds, request.kind, request.operation, request.channel,
        request.first, request.count);
    if (outcome.erased >= 0) {
        Add(",\"erased\":%d", outcome.erased);
    } else {
        if (outcome.to != 0) {
            Add(",\"to\":%ld", outcome.to);
        } else {
            Add(",\"to\":null");
        }
        Add(",\"table\":%s,\"tab\":%u,\"current\":%u,\"valid\":%u",
            outcome.table ? "true" : "false", outcome.tab, outcome.current, outcome.valid);
        if (outcome.lateMs > 0) {
            Add(",\"late\":%lld", outcome.lateMs);
        }
        if (outcome.strays > 0) {
            Add(",\"strays\":%d", outcome.strays);
        }
    }
    if (outcome.cue[0] != 0) {
        Add(",\"cue\":\"%s\"", outcome.cue);
    }
    if (outcome.note != nullptr) {
        Add(",\"note\":\"%s\"", outcome.note);
    }
    Add("}");
    End();
}

void Journal::Error(int queue, long type, const uint8_t* body, size_t size, const char* why) {
    Begin(queue, type, size, "error");
    Add(",\"error\":\"");
    // The reasons are built by the stand-in itself; still, keep the line valid JSON.
    for (const char* p = why; *p != 0; ++p) {
        if (*p == '"' || *p == '\\') {
            Add("\\%c", *p);
        } else if (static_cast<unsigned char>(*p) >= 0x20) {
            Add("%c", *p);
        }
    }
    Add("\",\"bytes\":\"");
    size_t shown = size < 1024 ? size : 1024;
    for (size_t i = 0; i < shown; ++i) {
        Add("%02x", body[i]);
    }
    Add("\"}");
    End();
}
