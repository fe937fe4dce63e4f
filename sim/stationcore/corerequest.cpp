#include "corerequest.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "stationcore.h"

namespace {

// Big-endian reader that never reads past the end: each take checks its own length.
struct Cursor {
    const uint8_t* bytes;
    size_t size;
    size_t at = 0;

    bool Has(size_t n) const { return n <= size && at <= size - n; }
    bool U8(uint8_t& out) {
        if (!Has(1)) {
            return false;
        }
        out = bytes[at++];
        return true;
    }
    bool U16(uint16_t& out) {
        if (!Has(2)) {
            return false;
        }
        out = static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
        at += 2;
        return true;
    }
    bool U32(uint32_t& out) {
        if (!Has(4)) {
            return false;
        }
        out = static_cast<uint32_t>(bytes[at]) << 24 | static_cast<uint32_t>(bytes[at + 1]) << 16 |
              static_cast<uint32_t>(bytes[at + 2]) << 8 | bytes[at + 3];
        at += 4;
        return true;
    }
};

int Fail(CoreRequest& request, const char* format, ...) __attribute__((format(printf, 2, 3)));
int Fail(CoreRequest& request, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(request.error, sizeof request.error, format, args);
    va_end(args);
    return -1;
}

// The header alone; null, or why it is refused.
const char* HeaderFault(Cursor& in, CoreHeader& h) {
    if (!in.U32(h.marker) || !in.U16(h.number) || !in.U16(h.pid) || !in.U32(h.seconds) ||
        !in.U32(h.microseconds)) {
        return "short";
    }
    if (h.marker != kMsgMarker) {
        return "marker";
    }
    return h.number == 0 ? "number" : nullptr;
}

// Writes why a header was refused; `what` names what should follow it.
void HeaderError(char* error, size_t size, const char* fault, size_t bodySize, const CoreHeader& h,
                 const char* what) {
    if (fault[0] == 's') {
        std::snprintf(error, size, "body of %zu bytes is shorter than a header and %s", bodySize,
                      what);
    } else if (fault[0] == 'm') {
        std::snprintf(error, size, "wrong marker %08X", h.marker);
    } else {
        std::snprintf(error, size, "message number 0");
    }
}

int DecodeHeader(Cursor& in, CoreRequest& request) {
    const char* fault = HeaderFault(in, request.header);
    if (fault == nullptr && !in.U8(request.command)) {
        fault = "short";
    }
    if (fault == nullptr) {
        return 0;
    }
    HeaderError(request.error, sizeof request.error, fault, in.size, request.header, "a command");
    return -1;
}

int DecodeItems(Cursor& in, CoreRequest& request) {
    for (;;) {
        size_t start = in.at;
        uint16_t number = 0;
        uint8_t kind = 0;
        if (!in.U16(number) || !in.U8(kind)) {
            return Fail(request, "items end at byte %zu without the terminator item", start);
        }
        if (number == 0) {
            uint8_t value = 0;
            if (kind != kKindBool || !in.U8(value) || value != 0) {
                return Fail(request, "terminator item at byte %zu is not 00 00 01 00", start);
            }
            if (in.at != in.size) {
                return Fail(request, "%zu bytes after the terminator item", in.size - in.at);
            }
            return 0;
        }
        if (request.itemCount >= kCoreMaxItems) {
            return Fail(request, "more than %d items", kCoreMaxItems);
        }
        CoreItem& item = request.items[request.itemCount];
        item = CoreItem{};
        item.number = number;
        item.kind = kind;
        bool complete = false;
        uint8_t u8 = 0;
        uint16_t u16 = 0;
        uint32_t u32 = 0;
        switch (kind) {
            case kKindBool:
                complete = in.U8(u8);
                item.raw = u8 != 0 ? 1 : 0;
                break;
            case kKindShort:
                complete = in.U16(u16);
                item.raw = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(u16)));
                break;
            case kKindLong:
            case kKindFloat:
                complete = in.U32(u32);
                item.raw = u32;
                break;
            case kKindDouble: {
                uint32_t high = 0;
                complete = in.U32(high) && in.U32(u32);
                uint64_t bits = static_cast<uint64_t>(high) << 32 | u32;
                std::memcpy(&item.real, &bits, sizeof bits);
                break;
            }
            case kKindString:
                complete = in.U16(u16) && u16 <= 255 && in.Has(u16);
                if (complete) {
                    item.textOffset = static_cast<uint16_t>(in.at);
                    item.textLength = u16;
                    in.at += u16;
                }
                break;
            default:
                return Fail(request, "item %u at byte %zu has unknown kind %u", number, start,
                            kind);
        }
        if (!complete) {
            return Fail(request, "item %u (%s) at byte %zu is cut short", number,
                        CoreKindName(kind), start);
        }
        ++request.itemCount;
    }
}

float FloatOf(uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// One item to one channel, by the item's own kind.
const char* WriteChannel(ChannelImage& image, int channel, const CoreItem& item) {
    if (channel < 1 || channel > image.channelCount) {
        return "channel outside 1..N";
    }
    switch (item.kind) {
        case kKindBool:
            ImageWriteBool(image, channel, item.raw != 0);
            return nullptr;
        case kKindShort:
            ImageWriteShort(image, channel, static_cast<int16_t>(item.raw));
            return nullptr;
        case kKindLong:
            ImageWriteLong(image, channel, static_cast<int32_t>(item.raw));
            return nullptr;
        case kKindFloat:
            ImageWriteFloat(image, channel, FloatOf(item.raw));
            return nullptr;
        default:
            return "kind not held by a channel";
    }
}

const char* WriteSetpoint(ChannelImage& image, const CoreItem& item) {
    switch (item.kind) {
        case kKindShort:
            return ImageWriteIntSetpoint(image, item.number, static_cast<int16_t>(item.raw)) == 0
                       ? nullptr
                       : "integer set-point outside 1..128";
        case kKindFloat:
            return ImageWriteRealSetpoint(image, item.number, FloatOf(item.raw)) == 0
                       ? nullptr
                       : "real set-point outside 1..64";
        default:
            return "set-points take short or float items";
    }
}

}  // namespace

const char* CoreKindName(uint8_t kind) {
    switch (kind) {
        case kKindBool:
            return "bool";
        case kKindShort:
            return "short";
        case kKindLong:
            return "long";
        case kKindFloat:
            return "float";
        case kKindString:
            return "string";
        case kKindDouble:
            return "double";
        default:
            return "unknown";
    }
}

int DecodeCoreRequest(const uint8_t* body, size_t size, CoreRequest& request) {
    request.itemCount = 0;
    request.error[0] = 0;
    request.com = request.frame = 0;
    request.time = 0;
    if (size > kCoreMaxBody) {
        Cursor in{body, size};
        DecodeHeader(in, request);
        return Fail(request, "body of %zu bytes exceeds %zu", size, kCoreMaxBody);
    }
    Cursor in{body, size};
    if (DecodeHeader(in, request) != 0) {
        return -1;
    }
    switch (request.command) {
        case kCmdWriteChannels:
        case kCmdWriteSetpoints:
            return DecodeItems(in, request);
        case kCmdFrameValues:
            if (!in.U16(request.com) || !in.U16(request.frame)) {
                return Fail(request, "frame request without its communication and frame numbers");
            }
            return DecodeItems(in, request);
        case kCmdSetTime:
            if (!in.U32(request.time)) {
                return Fail(request, "time request without its time");
            }
            if (in.at != in.size) {
                return Fail(request, "%zu bytes after the time", in.size - in.at);
            }
            return 0;
        default:
            return Fail(request, "unknown command %u", request.command);
    }
}

int DecodeModmgrNotice(const uint8_t* body, size_t size, CoreRequest& notice) {
    notice.itemCount = 0;
    notice.error[0] = 0;
    Cursor in{body, size};
    return DecodeHeader(in, notice);
}

int DecodeCommLogReport(const uint8_t* body, size_t size, CommLogReport& report) {
    report.error[0] = 0;
    Cursor in{body, size};
    const char* fault = HeaderFault(in, report.header);
    if (fault == nullptr && !(in.U8(report.kind) && in.U16(report.event) && in.U32(report.data))) {
        fault = "short";
    }
    if (fault == nullptr) {
        return 0;
    }
    HeaderError(report.error, sizeof report.error, fault, size, report.header, "a report");
    return -1;
}

int ApplyCoreRequest(const CoreRequest& request, const Site& site, ChannelImage& image,
                     ItemOutcome* outcomes, ChannelWriteObserver* observer) {
    int applied = 0;
    for (int i = 0; i < request.itemCount; ++i) {
        const CoreItem& item = request.items[i];
        ItemOutcome& outcome = outcomes[i];
        outcome = ItemOutcome{};
        switch (request.command) {
            case kCmdWriteChannels:
                outcome.target = item.number;
                outcome.note = WriteChannel(image, item.number, item);
                break;
            case kCmdFrameValues:
                outcome.target = SiteFrameChannel(site, request.com, request.frame, item.number);
                outcome.note = outcome.target == 0 ? "index not in the frame map"
                                                   : WriteChannel(image, outcome.target, item);
                break;
            case kCmdWriteSetpoints:
                outcome.target = item.number;
                outcome.note = WriteSetpoint(image, item);
                break;
            default:
                outcome.note = "command carries no items";
                break;
        }
        if (outcome.note == nullptr) {
            ++applied;
            if (observer != nullptr && request.command != kCmdWriteSetpoints) {
                observer->Written(outcome.target);
            }
        }
    }
    return applied;
}
