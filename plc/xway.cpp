#include "xway.h"

#include <strings.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "clock.h"
#include "logdebug.h"
#include "serialcomm.h"
#include "stationlog.h"

namespace {

using plc::DataKind;
using unitelway::Event;

BusbridgeDriver* Driver(PlcScanContext* c) {
    return static_cast<BusbridgeDriver*>(c->link);
}

const BusbridgeFrame* FrameOf(const PlcFrameRuntime* f) {
    return f->config.extension.As<BusbridgeFrame>();
}

bool IsWriteCode(int code) {
    switch (code) {
        case 16:
        case 17:
        case 20:
        case 21:
        case 22:
        case xway::kWriteObjects:
        case 70:
            return true;
        default:
            return false;
    }
}

bool KnownCode(int code) {
    return std::find(std::begin(xway::kCodes), std::end(xway::kCodes), code) !=
           std::end(xway::kCodes);
}

// ---- configuration ---------------------------------------------------------------------------

int IntOr(XmlAttributes attributes, const char* name, int fallback) {
    int value = fallback;
    XmlAttrInt(attributes, name, &value);
    return value;
}

void ReadCom(PlcConfigLoader* loader, XmlAttributes attributes) {
    PlcComConfig& com = loader->config->com;
    BusbridgeCom* ext = com.extension.As<BusbridgeCom>();
    ext->adresseEsclave = IntOr(attributes, "AdresseEsclave", xway::kDefaultSlaveAddress);
    if (ext->adresseEsclave < 0 || ext->adresseEsclave > xway::kMaxSlaveAddress) {
        PlcConfigFatal(loader, "the station %d  is not valid", ext->adresseEsclave);
        return;
    }
    ext->timeoutAck = IntOr(attributes, "TimeoutAck", xway::kDefaultTimeoutAckMs);
    if (ext->timeoutAck < com.silence || ext->timeoutAck > xway::kMaxTimeoutAckMs) {
        PlcConfigFatal(loader, "timeoutack except limit [%d,%d]", com.silence,
                       xway::kMaxTimeoutAckMs);
    }
}

// Lng of an object frame against its type; false after a fatal error.
bool CheckObjectLng(PlcConfigLoader* loader, const BusbridgeFrame* b, int lng, int no) {
    switch (b->type) {
        case xway::kTypeBits:
        case xway::kTypeBitsToo:
            if (lng < 8 || lng > 80) {
                PlcConfigFatal(loader, "Lng (%d) of frame No %d  is too big", lng, no);
                return false;
            }
            if (lng % 8 != 0) {
                PlcConfigFatal(loader, "Lng (%d) of frame No %d  is not a multiple of 8", lng, no);
                return false;
            }
            return true;
        case xway::kTypeWords:
        case xway::kTypeLongs:
            if (lng < 1 || lng > (b->type == xway::kTypeWords ? 60 : 30)) {
                PlcConfigFatal(loader, "Lng (%d) of frame No %d  is too big", lng, no);
                return false;
            }
            return true;
        default:
            PlcConfigFatal(loader, "Type (%d) of frame No %d  is unknow", b->type, no);
            return false;
    }
}

void ReadTrame(PlcConfigLoader* loader, XmlAttributes attributes) {
    PlcFrameConfig* frame = loader->frame;
    BusbridgeFrame* b = frame->extension.As<BusbridgeFrame>();
    // A request with a missing address byte or code would go to a PLC nobody chose: such a frame
    // is an error with its line (every one of them is listed, then the table is refused).
    int esc[xway::kAddressBytes] = {};
    int count = XmlAttrIntList(attributes, "Esc", esc, xway::kAddressBytes);
    bool bytes = std::all_of(esc, esc + count, [](int v) { return v >= 0 && v <= 255; });
    if (count < xway::kAddressBytes || !bytes) {
        XmlErrorRecord("Esc of frame No %d  needs 5 numbers from 0 to 255", frame->no);
    }
    for (int i = 0; i < xway::kAddressBytes; ++i) {
        b->esc[i] = static_cast<uint8_t>(esc[i]);
    }
    if (XmlAttrInt(attributes, "Code", &b->code) != 0) {
        XmlErrorRecord("Code of frame No %d  is missing", frame->no);
        return;
    }
    if (!KnownCode(b->code)) {
        PlcConfigFatal(loader, "code %d of frame No %d  is not valid", b->code, frame->no);
        return;
    }
    b->type = IntOr(attributes, "Type", 0);
    b->segment = IntOr(attributes, "Segment", 0);
    // Both go on the line in fewer bits than an int: a value out of range would reach another
    // place of the PLC.
    if (frame->adr < 0 || frame->adr > xway::kMaxAddress) {
        XmlErrorRecord("Adr (%d) of frame No %d  is not in [0,%d]", frame->adr, frame->no,
                       xway::kMaxAddress);
    }
    bool objects = b->code == xway::kReadObjects || b->code == xway::kWriteObjects;
    if (objects && (b->segment < 0 || b->segment > xway::kMaxSegment)) {
        XmlErrorRecord("Segment (%d) of frame No %d  is not in [0,%d]", b->segment, frame->no,
                       xway::kMaxSegment);
    }
    frame->write = IsWriteCode(b->code);
    if (b->code == 0 || b->code == 1) {
        frame->lng = 8;
    } else if (!objects) {
        frame->lng = 1;
    } else {
        CheckObjectLng(loader, b, frame->lng, frame->no);
    }
}

// ---- requests --------------------------------------------------------------------------------

void PutLe16(uint8_t* out, unsigned value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
}

void PutLe32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint16_t WordAt(const PlcFrameRuntime* f, int i) {
    uint16_t word;
    std::memcpy(&word, f->data.data() + 2 * i, 2);
    return word;
}

uint32_t LongAt(const PlcFrameRuntime* f, int i) {
    uint32_t value;
    std::memcpy(&value, f->data.data() + 4 * i, 4);
    return value;
}

// Bytes of `objects` objects of the frame's kind in a request or an answer of code 54 or 55.
int ObjectBytes(const PlcFrameRuntime* f, int objects) {
    switch (f->kind) {
        case DataKind::kWords:
            return 2 * objects;
        case DataKind::kLongs:
            return 4 * objects;
        default:
            return objects / 8;
    }
}

// What the answer to the request being built must be: its answer code, and the payload bytes
// after it (x->objects set for the request).
void Expect(XwayContext* x, const PlcFrameRuntime* f, int code) {
    x->answerCode =
        IsWriteCode(code) ? xway::kPositive : static_cast<uint8_t>(code + xway::kReadAnswerOffset);
    switch (code) {
        case 0:
        case 1:
            // The byte of 8 bits; a PLC may send one more (not used).
            x->answerMin = 1;
            x->answerMax = 2;
            return;
        case 4:
        case 5:
        case 6:
        case 7:
            x->answerMin = x->answerMax = 2;
            return;
        case 64:
        case 65:
            x->answerMin = x->answerMax = 4;
            return;
        case xway::kReadObjects:
            x->answerMin = x->answerMax = 1 + ObjectBytes(f, x->objects);  // the type, the objects
            return;
        default:
            x->answerMin = x->answerMax = 0;
            return;
    }
}

// The header and the address; -1 when the request does not fit.
int Begin(PlcScanContext* c, PlcFrameRuntime* f, uint8_t* out, int capacity, int needed) {
    if (capacity < needed) {
        return -1;
    }
    const BusbridgeFrame* b = FrameOf(f);
    XwayContext* x = &Driver(c)->xway;
    x->objects = 1;
    Expect(x, f, b->code);
    out[0] = xway::kHeader;
    std::memcpy(out + 1, x->address, xway::kAddressBytes);
    out[6] = static_cast<uint8_t>(b->code);
    out[7] = xway::kCategory;
    PutLe16(out + xway::kHeaderSize, static_cast<unsigned>(f->config.adr));
    return xway::kHeaderSize + 2;
}

int RequestRead(PlcScanContext* c, PlcFrameRuntime* f, uint8_t* out, int capacity) {
    return Begin(c, f, out, capacity, xway::kHeaderSize + 2);
}

int RequestWriteBit(PlcScanContext* c, PlcFrameRuntime* f, uint8_t* out, int capacity) {
    int n = Begin(c, f, out, capacity, xway::kHeaderSize + 3);
    if (n < 0 || f->data.empty()) {
        return -1;
    }
    out[n++] = f->data[0] & 1u;
    return n;
}

int RequestWriteWord(PlcScanContext* c, PlcFrameRuntime* f, uint8_t* out, int capacity) {
    int n = Begin(c, f, out, capacity, xway::kHeaderSize + 4);
    if (n < 0 || f->data.size() < 2) {
        return -1;
    }
    PutLe16(out + n, WordAt(f, 0));
    return n + 2;
}

int RequestWriteLong(PlcScanContext* c, PlcFrameRuntime* f, uint8_t* out, int capacity) {
    int n = Begin(c, f, out, capacity, xway::kHeaderSize + 6);
    if (n < 0 || f->data.size() < 4) {
        return -1;
    }
    PutLe32(out + n, LongAt(f, 0));
    return n + 4;
}

// Segment, type, address and number of objects (after the header).
int RequestObjects(PlcScanContext* c, PlcFrameRuntime* f, uint8_t* out, int capacity,
                   int dataBytes) {
    int n = Begin(c, f, out, capacity, xway::kHeaderSize + 6 + dataBytes);
    if (n < 0) {
        return -1;
    }
    const BusbridgeFrame* b = FrameOf(f);
    n = xway::kHeaderSize;
    out[n++] = static_cast<uint8_t>(b->segment);
    out[n++] = static_cast<uint8_t>(b->type);
    PutLe16(out + n, static_cast<unsigned>(f->config.adr));
    PutLe16(out + n + 2, static_cast<unsigned>(f->config.lng));
    XwayContext* x = &Driver(c)->xway;
    x->objects = f->config.lng;
    Expect(x, f, b->code);
    return n + 4;
}

int RequestReadObjects(PlcScanContext* c, PlcFrameRuntime* f, uint8_t* out, int capacity) {
    return RequestObjects(c, f, out, capacity, 0);
}

int RequestWriteObjects(PlcScanContext* c, PlcFrameRuntime* f, uint8_t* out, int capacity) {
    int bytes = static_cast<int>(f->data.size());
    int n = RequestObjects(c, f, out, capacity, bytes);
    if (n < 0) {
        return -1;
    }
    switch (f->kind) {
        case DataKind::kWords:
            for (int i = 0; i < bytes / 2; ++i) {
                PutLe16(out + n + 2 * i, WordAt(f, i));
            }
            break;
        case DataKind::kLongs:
            for (int i = 0; i < bytes / 4; ++i) {
                PutLe32(out + n + 4 * i, LongAt(f, i));
            }
            break;
        default:  // bits, packed 8 a byte from the least significant, as the buffer holds them
            std::memcpy(out + n, f->data.data(), static_cast<size_t>(bytes));
            break;
    }
    return n + bytes;
}

// ---- answers ---------------------------------------------------------------------------------

// The payload of a checked answer when it holds `needed` bytes; null otherwise (counted and
// traced: an answer shorter than the request asked for is never read past its end).
const uint8_t* Payload(PlcScanContext* c, const uint8_t* answer, int length, int needed) {
    XwayContext* x = &Driver(c)->xway;
    if (XwayCheckAnswer(x, answer, length) != 1) {
        return nullptr;
    }
    int got = length - xway::kPayloadIndex;
    if (got < needed) {
        ++x->tooShort;
        PlcTrace(c, "answer too short (%d bytes, %d needed)\n", got, needed);
        return nullptr;
    }
    return answer + xway::kPayloadIndex;
}

int AnswerNone(PlcScanContext* c, PlcFrameRuntime*, const uint8_t* answer, int length) {
    return Payload(c, answer, length, 0) != nullptr ? 0 : -1;
}

int AnswerByteOfBits(PlcScanContext* c, PlcFrameRuntime* f, const uint8_t* answer, int length) {
    const uint8_t* p = Payload(c, answer, length, 1);
    if (p == nullptr || f->data.empty()) {
        return -1;
    }
    f->data[0] = p[0];
    return 1;
}

int AnswerWord(PlcScanContext* c, PlcFrameRuntime* f, const uint8_t* answer, int length) {
    const uint8_t* p = Payload(c, answer, length, 2);
    if (p == nullptr || f->data.size() < 2) {
        return -1;
    }
    uint16_t word = static_cast<uint16_t>(p[0] | (p[1] << 8));
    std::memcpy(f->data.data(), &word, 2);
    return 2;
}

int AnswerLong(PlcScanContext* c, PlcFrameRuntime* f, const uint8_t* answer, int length) {
    const uint8_t* p = Payload(c, answer, length, 4);
    if (p == nullptr || f->data.size() < 4) {
        return -1;
    }
    uint32_t value = p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24);
    std::memcpy(f->data.data(), &value, 4);
    return 4;
}

int AnswerObjects(PlcScanContext* c, PlcFrameRuntime* f, const uint8_t* answer, int length) {
    int objects = Driver(c)->xway.objects;
    int capacity = static_cast<int>(f->data.size());
    int bytes = ObjectBytes(f, objects);
    if (objects < 0 || bytes > capacity) {
        return -1;  // never asked for more than the buffer holds; a guard all the same
    }
    // The first byte of the payload is the object type.
    const uint8_t* p = Payload(c, answer, length, 1 + bytes);
    if (p == nullptr) {
        return -1;
    }
    ++p;
    switch (f->kind) {
        case DataKind::kWords:
            for (int i = 0; i < objects; ++i) {
                uint16_t word = static_cast<uint16_t>(p[2 * i] | (p[2 * i + 1] << 8));
                std::memcpy(f->data.data() + 2 * i, &word, 2);
            }
            break;
        case DataKind::kLongs:
            for (int i = 0; i < objects; ++i) {
                const uint8_t* u = p + 4 * i;
                uint32_t value = u[0] | (u[1] << 8) | (u[2] << 16) | (uint32_t{u[3]} << 24);
                std::memcpy(f->data.data() + 4 * i, &value, 4);
            }
            break;
        default:
            std::memcpy(f->data.data(), p, static_cast<size_t>(bytes));
            break;
    }
    return 1 + bytes;
}

// ---- the bus -------------------------------------------------------------------------------

bool Expired(long long startMs, int milliseconds) {
    return MonotonicMs() - startMs >= milliseconds;
}

int Units(int lng) {
    return lng > 0 ? lng : 0;
}

}  // namespace

void BusbridgeHook(PlcConfigLoader* loader, const char* element, XmlAttributes attributes) {
    if (loader->phase != plc::HookPhase::kAfter) {
        return;
    }
    if (loader->position == plc::Position::kCom && std::strcmp(element, "COM") == 0) {
        const char* type = XmlAttrFind(attributes, "Type");
        if (type != nullptr && strcasecmp(type, xway::kDriverName) == 0) {
            ReadCom(loader, attributes);
        }
    } else if (loader->position == plc::Position::kTrame && std::strcmp(element, "TRAME") == 0 &&
               loader->frame != nullptr) {
        ReadTrame(loader, attributes);
    }
}

int BusbridgeLinkInit(PlcScanContext* c, const PlcConfig* config) {
    static BusbridgeDriver process;
    BusbridgeDriver* d = c->link != nullptr ? Driver(c) : &process;
    const PlcComConfig& com = config->com;
    const BusbridgeCom* ext = com.extension.As<BusbridgeCom>();
    const char* device = SerialPortName(com.port);
    if (com.port < 0 || device == nullptr) {
        // Port -1 is the Ethernet link: there is no bus to be a slave on.
        StationLog(LOG_ERR, "error in opening of %s : %d", device != nullptr ? device : "", ENODEV);
        PlcRefuse(c, "error in opening of %s : %d", device != nullptr ? device : "", ENODEV);
        return -1;
    }
    if (SlaveLinkInit(&d->link, device, com.baud, com.format[1]) != 0) {
        PlcRefuse(c, "error in opening of %s : %d", device, errno);
        return -1;
    }
    int silence = com.silence > 0 ? com.silence : unitelway::kDefaultPacingMs;
    d->link.pacingMs = silence;
    d->link.ackAttempts = ext->timeoutAck / silence + (ext->timeoutAck % silence != 0 ? 1 : 0);
    d->link.address = ext->adresseEsclave;
    LogDebug("Silence=%d ms TimeoutAck=%d ms SlaveAddr=%d", silence, d->link.ackAttempts * silence,
             d->link.address);
    d->xway = XwayContext{};
    d->xway.link = &d->link;
    c->link = d;
    c->trace = &d->link.trace;
    c->fd = d->link.line.fd;
    c->wait = XwayWait;
    c->statistics = XwayStatistics;
    LogDebug("TimeoutAck=%d Addr=%d Silence=%d", ext->timeoutAck, d->link.address, silence);
    return 0;
}

int BusbridgeFrameInit(PlcScanContext* c, PlcFrameRuntime* f) {
    const BusbridgeFrame* b = FrameOf(f);
    int lng = Units(f->config.lng);
    switch (b->code) {
        case 0:
        case 1:
            f->kind = DataKind::kBits;
            f->size = 8;
            f->request = RequestRead;
            f->answer = AnswerByteOfBits;
            break;
        case 4:
        case 5:
        case 6:
        case 7:
            f->kind = DataKind::kWords;
            f->size = 2;
            f->request = RequestRead;
            f->answer = AnswerWord;
            break;
        case 16:
        case 17:
            f->kind = DataKind::kBits;
            f->size = 1;
            f->request = RequestWriteBit;
            f->answer = AnswerNone;
            break;
        case 20:
        case 21:
        case 22:
            f->kind = DataKind::kWords;
            f->size = 2;
            f->request = RequestWriteWord;
            f->answer = AnswerNone;
            break;
        case 64:
        case 65:
            f->kind = DataKind::kLongs;
            f->size = 4;
            f->request = RequestRead;
            f->answer = AnswerLong;
            break;
        case 70:
            f->kind = DataKind::kLongs;
            f->size = 4;
            f->request = RequestWriteLong;
            f->answer = AnswerNone;
            break;
        case xway::kReadObjects:
        case xway::kWriteObjects:
            if (b->type == xway::kTypeWords) {
                f->kind = DataKind::kWords;
                f->size = 2 * lng;
            } else if (b->type == xway::kTypeLongs) {
                f->kind = DataKind::kLongs;
                f->size = 4 * lng;
            } else {
                f->kind = DataKind::kBits;
                f->size = lng / 8;
            }
            f->request = b->code == xway::kReadObjects ? RequestReadObjects : RequestWriteObjects;
            f->answer = b->code == xway::kReadObjects ? AnswerObjects : AnswerNone;
            break;
        default:
            StationLog(LOG_ERR, "Frame No %d  : code %d unknow", f->config.no, b->code);
            PlcRefuse(c, "Frame No %d  : code %d unknow", f->config.no, b->code);
            return -1;
    }
    f->exchange = XwayExchange;
    return 0;
}

int BusbridgeExtraFrameInit(PlcScanContext*, PlcFrameRuntime* f) {
    f->exchange = XwayExchange;
    return 0;
}

PlcDriverHooks BusbridgeHooks() {
    PlcDriverHooks hooks;
    hooks.linkInit = BusbridgeLinkInit;
    hooks.frameInit = BusbridgeFrameInit;
    hooks.extraFrameInit = BusbridgeExtraFrameInit;
    return hooks;
}

int XwayCheckAnswer(XwayContext* x, const uint8_t* data, int length) {
    SlaveLink* link = x->link;
    ++x->answers;
    if (length <= xway::kAnswerCodeIndex || data == nullptr) {
        if (link->trace.segment != nullptr) {
            PrintfSerialDebug(&link->trace, "error in frame length (%d)\n", length);
        }
        ++x->tooShort;
        return 0;
    }
    uint8_t code = data[xway::kAnswerCodeIndex];
    if ((code & 0x80u) != 0 && code != xway::kPositive) {
        if (link->trace.segment != nullptr) {
            PrintfSerialDebug(&link->trace, "negative answer($%02X)\n", code);
        }
        ++x->negativeAnswers;
        SlaveLinkReply(link, 1);
        return 0;
    }
    SlaveLinkReply(link, 1);
    return 1;
}

bool XwayAnswersRequest(const XwayContext* x, const uint8_t* data, int length) {
    if (data == nullptr || length <= xway::kAnswerCodeIndex) {
        return true;  // too short to tell: the decoder refuses it
    }
    uint8_t code = data[xway::kAnswerCodeIndex];
    if ((code & 0x80u) != 0 && code != xway::kPositive) {
        return true;  // a negative answer
    }
    int payload = length - xway::kPayloadIndex;
    return code == x->answerCode && payload >= x->answerMin && payload <= x->answerMax;
}

int XwayExchange(PlcScanContext* c, PlcFrameRuntime* f) {
    BusbridgeDriver* d = Driver(c);
    SlaveLink* link = &d->link;
    XwayContext* x = &d->xway;
    const BusbridgeFrame* b = FrameOf(f);
    std::memcpy(x->address, b->esc, xway::kAddressBytes);
    x->code = b->code;
    if (f->request == nullptr || f->answer == nullptr) {
        return 0;
    }

    // A slave speaks only when polled. A PLC that stops polling fails the exchange after the
    // answer time, as a missing answer does, instead of holding the driver.
    long long start = MonotonicMs();
    for (;;) {
        Event event = SlaveLinkReceive(link);
        if (event == Event::kPolled) {
            break;
        }
        if (event == Event::kFrame) {
            SlaveLinkReply(link, 0);
        } else if (event == Event::kLineFailed) {
            return 0;
        }
        if (Expired(start, c->timeout)) {
            PlcTrace(c, "no polling within the time for the answer (%d ms)\n", c->timeout);
            ++x->answerTimeouts;
            return 0;
        }
    }

    uint8_t request[unitelway::kMaxLength];
    int length = f->request(c, f, request, sizeof request);
    if (length < 0 || SlaveLinkSendFrame(link, request, length) != 1) {
        return 0;
    }

    start = MonotonicMs();
    for (;;) {
        Event event = SlaveLinkReceive(link);
        if (event == Event::kFrame) {
            const uint8_t* answer = link->received + 1;
            int answerLength = link->received[0];
            if (XwayAnswersRequest(x, answer, answerLength)) {
                return f->answer(c, f, answer, answerLength) >= 0 ? 1 : 0;
            }
            // Another request's answer (one given up on, come late): refused, and this one's
            // is waited for still.
            ++x->answers;
            ++x->strayAnswers;
            PlcTrace(c, "answer ($%02X, %d bytes) not the one to code %d\n",
                     answer[xway::kAnswerCodeIndex], answerLength - xway::kPayloadIndex, x->code);
            SlaveLinkReply(link, 0);
        }
        if (event == Event::kPolled) {
            SlaveLinkSendEot(link);  // nothing more to send meanwhile
        } else if (event == Event::kLineFailed) {
            return 0;
        }
        if (Expired(start, c->timeout)) {
            PlcTrace(c, "maximum going beyond time for the answer\n");
            ++x->answerTimeouts;
            return 0;
        }
    }
}

void XwayWait(PlcScanContext* c, int milliseconds) {
    SlaveLink* link = &Driver(c)->link;
    PlcTrace(c, "Wait (%d ms)\n", milliseconds);
    long long start = MonotonicMs();
    do {
        Event event = SlaveLinkReceive(link);
        if (event == Event::kFrame) {
            SlaveLinkReply(link, 0);
        } else if (event == Event::kPolled) {
            SlaveLinkSendEot(link);
        } else if (event == Event::kLineFailed) {
            return;
        }
    } while (!Expired(start, milliseconds));
}

void XwayStatistics(PlcScanContext* c) {
    BusbridgeDriver* d = Driver(c);
    const SlaveLinkCounters& n = d->link.counters;
    const XwayContext& x = d->xway;
    PlcTrace(c, "Snd(Ack=%d Nack=%d Frame=%d) ", n.ackSent, n.nakSent, n.framesSent);
    PlcTrace(c, "Rec(Ack=%d Nack=%d TimeoutAck=%d Frame=%d) ", n.ackReceived, n.nakReceived,
             n.ackTimeouts, x.answers);
    PlcTrace(c, "Polling=%d Error(Bcc=%d Dle=%d Sync=%d TimeoutAnswer=%d NegativeAnswer=%d) \n",
             n.polls, n.bccErrors, n.dleErrors, n.syncErrors, x.answerTimeouts, x.negativeAnswers);
}
