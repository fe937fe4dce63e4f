#include "unitelway.h"

#include <syslog.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "logdebug.h"
#include "serialcomm.h"
#include "stationlog.h"
#include "utilities.h"

namespace {

using unitelway::Event;
using unitelway::RxState;
namespace utw = unitelway;

SlaveLinkLogFunction Log(const SlaveLink* link) {
    return link->log != nullptr ? link->log : StationLog;
}

bool Tracing(const SlaveLink* link) {
    return link->trace.segment != nullptr;
}

void TraceBytes(SlaveLink* link, const char* label, const uint8_t* bytes, int count) {
    if (Tracing(link)) {
        FramePrintf(&link->trace, label, bytes, count);
    }
}

// The sequence is over (complete or broken): to the trace, and reception starts over.
void EndSequence(SlaveLink* link) {
    SlaveLinkReceiver& rx = link->rx;
    TraceBytes(link, "Rec", rx.raw, rx.rawLength);
    rx.state = RxState::kIdle;
    rx.dle = false;
    rx.rawLength = 0;
}

int Send(SlaveLink* link, const uint8_t* bytes, int count) {
    TraceBytes(link, "Snd", bytes, count);
    return LineSend(&link->line, bytes, count);
}

void Store(SlaveLink* link, uint8_t byte) {
    SlaveLinkReceiver& rx = link->rx;
    int length = link->received[0];
    link->received[1 + length - rx.remaining] = byte;
    if (--rx.remaining == 0) {
        rx.state = RxState::kCheck;
    }
}

Event Idle(SlaveLink* link, uint8_t byte) {
    switch (byte) {
        case utw::kAck:
            EndSequence(link);
            return Event::kAck;
        case utw::kNak:
            EndSequence(link);
            return Event::kNak;
        case utw::kEot:
            EndSequence(link);
            return Event::kNone;
        case utw::kDle:
            link->rx.state = RxState::kStart;
            return Event::kNone;
        default:
            ++link->counters.syncErrors;
            EndSequence(link);
            return Event::kNone;
    }
}

Event Address(SlaveLink* link, uint8_t byte) {
    SlaveLinkReceiver& rx = link->rx;
    if (rx.polling) {
        bool ours = byte == link->address;
        if (ours) {
            ++link->counters.polls;
        }
        EndSequence(link);
        return ours ? Event::kPolled : Event::kNone;
    }
    rx.address = byte;
    rx.sum = byte + utw::kDle + utw::kStx;
    rx.dle = false;
    rx.state = RxState::kLength;
    return Event::kNone;
}

Event Length(SlaveLink* link, uint8_t byte) {
    SlaveLinkReceiver& rx = link->rx;
    if (byte == utw::kDle && !rx.dle) {
        rx.dle = true;
        rx.sum += byte;
        return Event::kNone;
    }
    if (rx.dle && byte != utw::kDle) {
        ++link->counters.dleErrors;
        Log(link)(LOG_ERR, "DLE error");
        EndSequence(link);
        return Event::kNone;
    }
    rx.dle = false;
    rx.sum += byte;
    if (byte < utw::kMinLength) {
        ++link->counters.bccErrors;
        Log(link)(LOG_ERR, "lng error %d not in [6,%d]", byte, utw::kLengthLimitLogged);
        EndSequence(link);
        return Event::kNone;
    }
    link->received[0] = byte;
    rx.remaining = byte;
    rx.state = RxState::kData;
    return Event::kNone;
}

Event Data(SlaveLink* link, uint8_t byte) {
    SlaveLinkReceiver& rx = link->rx;
    rx.sum += byte;
    if (byte == utw::kDle && !rx.dle) {
        rx.dle = true;
        return Event::kNone;
    }
    if (rx.dle) {
        rx.dle = false;
        if (byte != utw::kDle) {
            ++link->counters.dleErrors;
            Log(link)(LOG_ERR, "DLE error");
            if (byte == utw::kEnq || byte == utw::kStx) {
                // The sender started over: read what follows as a new sequence.
                rx.rawLength = rx.rawLength >= 2 ? rx.rawLength - 2 : 0;
                EndSequence(link);
                rx.raw[0] = utw::kDle;
                rx.raw[1] = byte;
                rx.rawLength = 2;
                rx.polling = byte == utw::kEnq;
                rx.state = RxState::kAddress;
            } else {
                EndSequence(link);
            }
            return Event::kNone;
        }
    }
    Store(link, byte);
    return Event::kNone;
}

Event Check(SlaveLink* link, uint8_t byte) {
    SlaveLinkReceiver& rx = link->rx;
    if (byte != (rx.sum & 0xFFu)) {
        ++link->counters.bccErrors;
        Log(link)(LOG_ERR, "checksum error");
        EndSequence(link);
        return Event::kNone;
    }
    bool ours = rx.address == link->address;
    if (ours) {
        ++link->counters.framesReceived;
    }
    EndSequence(link);
    return ours ? Event::kFrame : Event::kNone;
}

}  // namespace

void SlaveLinkResetReceiver(SlaveLink* link) {
    link->rx = SlaveLinkReceiver{};
    link->inputLength = 0;
    link->inputNext = 0;
}

int SlaveLinkInit(SlaveLink* link, const char* device, int speed, char parity) {
    link->address = utw::kDefaultAddress;
    link->pacingMs = utw::kDefaultPacingMs;
    link->ackAttempts = utw::kDefaultAckAttempts;
    link->counters = SlaveLinkCounters{};
    SlaveLinkResetReceiver(link);

    LineProfile profile;
    profile.device = device;
    profile.speed = speed;
    profile.parity = parity;
    // The frame format's character: whatever the configuration's Format says of data and stop
    // bits, the link uses 8 and 1.
    profile.dataBits = 8;
    profile.stopBits = 1;
    profile.rs485 = true;
    if (LineOpen(&link->line, profile) != 0) {
        int error = errno;
        Log(link)(LOG_ERR, "error in opening of %s : %d", device != nullptr ? device : "", error);
        errno = error;
        return -1;
    }
    if (link->line.rs485Error != 0) {
        Log(link)(LOG_ERR, "parametrage RS485=%s ", std::strerror(link->line.rs485Error));
    } else if (link->line.rs485 == LineRs485::kKernel) {
        LogDebug("mode RS485 active");
    }
    WaitMillisecond(100);
    LogDebug("Parity=%c Baud=%d", parity, speed);
    if (link->trace.segment == nullptr &&
        CreateSerialDebug(&link->trace, SerialPortNumber(device)) != 0) {
        Log(link)(LOG_ERR, "error in open of debug");
        std::abort();
    }
    LineFlush(&link->line);
    return 0;
}

SlaveLink* SlaveLinkOpen(const char* device, int speed, char parity) {
    SlaveLink* link = new (std::nothrow) SlaveLink;
    CriticalAssert(link != nullptr, "erreur allocation", __FILE__, __LINE__);
    if (SlaveLinkInit(link, device, speed, parity) != 0) {
        delete link;
        return nullptr;
    }
    return link;
}

unitelway::Event SlaveLinkFeed(SlaveLink* link, uint8_t byte) {
    SlaveLinkReceiver& rx = link->rx;
    if (rx.rawLength < utw::kRawMax) {
        rx.raw[rx.rawLength++] = byte;
    }
    switch (rx.state) {
        case RxState::kIdle:
            return Idle(link, byte);
        case RxState::kStart:
            if (byte == utw::kEnq || byte == utw::kStx) {
                rx.polling = byte == utw::kEnq;
                rx.state = RxState::kAddress;
            } else {
                EndSequence(link);
            }
            return Event::kNone;
        case RxState::kAddress:
            return Address(link, byte);
        case RxState::kLength:
            return Length(link, byte);
        case RxState::kData:
            return Data(link, byte);
        case RxState::kCheck:
            return Check(link, byte);
    }
    return Event::kNone;
}

unitelway::Event SlaveLinkReceive(SlaveLink* link) {
    long long deadline = LineDeadline(link->pacingMs);
    for (;;) {
        while (link->inputNext < link->inputLength) {
            Event event = SlaveLinkFeed(link, link->input[link->inputNext++]);
            if (event != Event::kNone) {
                return event;
            }
        }
        int n = LineReceive(&link->line, link->input, sizeof link->input, deadline);
        if (n > 0) {
            link->inputLength = n;
            link->inputNext = 0;
            continue;
        }
        link->inputLength = link->inputNext = 0;
        if (n == 0) {
            return Event::kSilence;
        }
        int error = errno;
        if (error == EINTR) {
            continue;  // a signal is no failure of the line; the deadline still holds
        }
        if (error == ENOMEM) {
            // The wait itself failed: give the system time, then wait again.
            Log(link)(LOG_ERR, "error in poll function=%d", error);
            WaitMillisecond(utw::kPollFailureWaitMs);
            deadline = LineDeadline(link->pacingMs);
            continue;
        }
        Log(link)(LOG_ERR, "error in serial read=%d", error);
        if (link->abortOnReadError) {
            std::abort();
        }
        return Event::kLineFailed;
    }
}

int SlaveLinkSendFrame(SlaveLink* link, const uint8_t* data, int length) {
    if (length < 0 || length > utw::kMaxLength || (data == nullptr && length > 0)) {
        return 0;
    }
    uint8_t frame[utw::kRawMax];
    int n = 0;
    frame[n++] = utw::kDle;
    frame[n++] = utw::kStx;
    frame[n++] = static_cast<uint8_t>(link->address);
    auto put = [&](uint8_t byte) {
        frame[n++] = byte;
        if (byte == utw::kDle) {
            frame[n++] = byte;
        }
    };
    put(static_cast<uint8_t>(length));
    for (int i = 0; i < length; ++i) {
        put(data[i]);
    }
    unsigned sum = 0;
    for (int i = 0; i < n; ++i) {
        sum += frame[i];
    }
    frame[n++] = static_cast<uint8_t>(sum);
    if (Send(link, frame, n) != 0) {
        return 0;
    }
    ++link->counters.framesSent;
    for (int attempt = 0; attempt < link->ackAttempts; ++attempt) {
        switch (SlaveLinkReceive(link)) {
            case Event::kAck:
                ++link->counters.ackReceived;
                return 1;
            case Event::kNak:
                ++link->counters.nakReceived;
                return 0;
            case Event::kLineFailed:
                return 0;
            default:
                break;  // a poll, a frame or a silent period uses the attempt
        }
    }
    ++link->counters.ackTimeouts;
    return 0;
}

int SlaveLinkSendChar(SlaveLink* link, uint8_t character) {
    if (Send(link, &character, 1) != 0) {
        Log(link)(LOG_ERR, "error in send of character=%d", character);
        return -1;
    }
    return 0;
}

int SlaveLinkReply(SlaveLink* link, int positive) {
    if (positive != 0) {
        ++link->counters.ackSent;
        return SlaveLinkSendChar(link, utw::kAck);
    }
    ++link->counters.nakSent;
    return SlaveLinkSendChar(link, utw::kNak);
}

int SlaveLinkSendEot(SlaveLink* link) {
    return SlaveLinkSendChar(link, utw::kEot);
}
