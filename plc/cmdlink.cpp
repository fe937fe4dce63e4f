#include "cmdlink.h"

#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "clock.h"
#include "logdebug.h"
#include "serialcomm.h"
#include "stationlog.h"
#include "utilities.h"

namespace {

using cmdlink::kAnswerHead;
using cmdlink::kAnswerMax;
using cmdlink::kAnswerTail;
using cmdlink::kCommandMax;

// Shortest answer worth looking at: "@", unit, command, FCS, "*", carriage return.
constexpr int kAnswerMin = 9;
// A line must be longer than this for its FCS to be read.
constexpr int kFcsMinLength = 6;
// The adapters want a moment between closing the line and opening it again.
constexpr int kReopenMs = 100;

bool Tracing(const CmdLink* link) {
    return link->trace.segment != nullptr;
}

void Trace(CmdLink* link, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Trace(CmdLink* link, const char* format, ...) {
    if (!Tracing(link)) {
        return;
    }
    char text[128];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    WriteStrToSerialDebug(&link->trace, text);
}

// A time stamp, the label with the count, the line as it is, a new line.
void TraceLine(CmdLink* link, const char* label, const char* line, int length) {
    if (!Tracing(link)) {
        return;
    }
    TimeStampSerialDebug(&link->trace);
    PrintfSerialDebug(&link->trace, "%s(%d) : ", label, length);
    WriteBytesToSerialDebug(&link->trace, line, length);
    WriteStrToSerialDebug(&link->trace, "\n");
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Two hexadecimal digits, or -1.
int HexPair(const char* text) {
    int high = HexDigit(text[0]);
    int low = HexDigit(text[1]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

// What the hexadecimal digits at the start of the two characters say, as a lenient reader would
// take them: for the log line only.
int HexPairLenient(const char* text) {
    int high = HexDigit(text[0]);
    if (high < 0) {
        return 0;
    }
    int low = HexDigit(text[1]);
    return low < 0 ? high : high * 16 + low;
}

// Milliseconds a receive gathers for `characters` more characters of the line.
int GatherMs(const CmdLink* link, int characters) {
    if (characters <= 0 || link->charUs <= 0) {
        return 0;
    }
    long long us = static_cast<long long>(characters) * link->charUs;
    return static_cast<int>((us + 999) / 1000);
}

void WaitUntil(long long deadlineMs) {
    long long left = deadlineMs - MonotonicMs();
    if (left > 0) {
        WaitMillisecond(static_cast<int>(left));
    }
}

int OpenLine(CmdLink* link, const LineProfile& profile) {
    if (LineOpen(&link->line, profile) == 0) {
        return 0;
    }
    int error = errno;
    StationLog(LOG_CRIT, "erreur d'ouverture du port serie %s : %d", profile.device, error);
    errno = error;
    return -1;
}

// The rules of an answer in the answer buffer.
int Judge(CmdLink* link) {
    const char* answer = link->answer;
    int length = link->answerLength;
    TraceLine(link, "Rec", answer, length);
    if (length < kAnswerMin || answer[0] != '@') {
        return 1;
    }
    const char* star =
        static_cast<const char*>(std::memchr(answer + 1, '*', static_cast<size_t>(length - 1)));
    if (star == nullptr) {
        return 1;
    }
    // The line ends at its first carriage return: one right after the "*", and nothing after.
    if (star + 2 != answer + length || star[1] != '\r') {
        ++link->badlyFormed;
        return 1;
    }
    if (length <= kFcsMinLength) {
        StationLog(LOG_ERR, "lng insuffisante");
        return 1;
    }
    int computed = CmdLinkFcs(answer, length - kAnswerTail);
    const char* fcs = answer + length - kAnswerTail;
    if (HexPair(fcs) != computed) {
        StationLog(LOG_ERR, "FCS $%02X au lieu de $%02X", HexPairLenient(fcs), computed);
        if (Tracing(link)) {
            TimeStampSerialDebug(&link->trace);
            WriteStrToSerialDebug(&link->trace, "FCS error\n");
        }
        return 1;
    }
    if (link->commandLength < 5 || std::memcmp(answer + 1, link->command + 1, 4) != 0) {
        Trace(link, "Incoherence commande et/ou no automate\n");
        return 1;
    }
    return 0;
}

// One TS exchange with a text made from the time: 1 when the PLC echoed it.
int Echo(CmdLink* link, int unit, const char* format) {
    char text[24];
    int length =
        std::snprintf(text, sizeof text, format, static_cast<unsigned>(Clock().Now().tv_sec));
    if (CmdLinkSetCommand(link, unit, "TS", text, kAnswerHead - 2 + length + kAnswerTail) != 0) {
        return 0;
    }
    CmdLinkSend(link);
    if (CmdLinkCheck(link) != 0) {
        return 0;
    }
    // The echoed text: after the command, up to the FCS.
    int echoed = link->answerLength - (kAnswerHead - 2) - kAnswerTail;
    if (echoed == length && std::memcmp(link->answer + kAnswerHead - 2, text, length) == 0) {
        return 1;
    }
    Trace(link, "String mismatch between received and emitted\n");
    return 0;
}

}  // namespace

int CmdLinkFcs(const char* text, int length) {
    unsigned fcs = 0;
    for (int i = 0; i < length; ++i) {
        fcs ^= static_cast<unsigned char>(text[i]);
    }
    return static_cast<int>(fcs);
}

int CmdLinkOpen(CmdLink* link, int port, int speed, char parity, int dataBits, int stopBits) {
    const char* device = SerialPortName(port);
    LogDebug("ouverture du fichier %s", device != nullptr ? device : "");
    link->port = port;
    LineProfile profile;
    profile.device = device != nullptr ? device : "";
    profile.speed = speed;
    profile.parity = parity;
    profile.dataBits = dataBits;
    profile.stopBits = stopBits;
    if (device == nullptr || port < 0) {
        // No serial device behind that number (-1 is the Ethernet link).
        StationLog(LOG_CRIT, "erreur d'ouverture du port serie %s : %d", profile.device, ENODEV);
        errno = ENODEV;
        return -1;
    }
    if (OpenLine(link, profile) != 0) {
        return -1;
    }
    LineClose(&link->line);
    WaitMillisecond(kReopenMs);
    if (OpenLine(link, profile) != 0) {
        return -1;
    }
    LogDebug("Parity=%c Baud=%d pour %d,%s", parity, speed, port, device);
    // Start bit, data bits, parity bit, stop bits.
    int bits = 1 + dataBits + (parity == 'N' ? 0 : 1) + (stopBits == 2 ? 2 : 1);
    link->charUs = speed > 0 ? bits * 1000000 / speed : 0;
    CriticalAssert(CreateSerialDebug(&link->trace, port) == 0, "affichage debug non operationnel",
                   __FILE__, __LINE__);
    return 0;
}

void CmdLinkClose(CmdLink* link) {
    LineClose(&link->line);
    CloseSerialDebug(&link->trace);
}

int CmdLinkSetCommand(CmdLink* link, int unit, const char* type, const char* parameters,
                      int expected) {
    if (unit < 0 || unit > cmdlink::kMaxUnit || type == nullptr || std::strlen(type) != 2 ||
        parameters == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int length =
        std::snprintf(link->command, sizeof link->command, "@%02d%s%s", unit, type, parameters);
    if (length < 0 || length + kAnswerTail > kCommandMax) {
        link->command[0] = '\0';
        link->commandLength = 0;
        errno = EINVAL;
        return -1;
    }
    std::snprintf(link->command + length, sizeof link->command - static_cast<size_t>(length),
                  "%02X*\r", CmdLinkFcs(link->command, length));
    link->commandLength = length + kAnswerTail;
    link->expected = expected;
    return 0;
}

void CmdLinkSetInit(CmdLink* link) {
    std::memcpy(link->command, "@**\r", 5);
    link->commandLength = 4;
    link->expected = 0;
}

int CmdLinkSend(CmdLink* link) {
    LineFlush(&link->line);
    TraceLine(link, "Snd", link->command, link->commandLength);
    ++link->sends;
    return LineSend(&link->line, link->command, link->commandLength);
}

int CmdLinkReceive(CmdLink* link) {
    long long deadline = LineDeadline(link->timeout * 1000);
    int count = 0;
    while (count < kAnswerMax) {
        // Once the first character is there, the rest of the answer takes its line time: one
        // wake-up for the whole answer instead of one per character.
        int rest = link->expected - count - (count == 0 ? 1 : 0);
        LineSetGather(&link->line, GatherMs(link, rest));
        int n = LineReceive(&link->line, link->answer + count, kAnswerMax - count, deadline);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EIO) {
                StationLog(LOG_ERR, "lecture serie = %d", errno);
            }
            WaitUntil(deadline);
            count = 0;
            break;
        }
        if (n == 0) {
            break;
        }
        const char* end = static_cast<const char*>(
            std::memchr(link->answer + count, '\r', static_cast<size_t>(n)));
        if (end != nullptr) {
            count = static_cast<int>(end - link->answer) + 1;
            break;
        }
        count += n;
    }
    LineSetGather(&link->line, 0);
    link->answerLength = count;
    link->answer[count] = '\0';
    return count;
}

int CmdLinkCheck(CmdLink* link) {
    std::memset(link->answer, 0, sizeof link->answer);
    link->answerLength = 0;
    CmdLinkReceive(link);
    return Judge(link);
}

int CmdLinkCheckAnswer(CmdLink* link, const char* answer, int length) {
    if (length < 0 || answer == nullptr) {
        length = 0;
    }
    if (length > kAnswerMax) {
        length = kAnswerMax;
    }
    std::memset(link->answer, 0, sizeof link->answer);
    if (length > 0) {
        std::memcpy(link->answer, answer, static_cast<size_t>(length));
    }
    link->answerLength = length;
    return Judge(link);
}

int CmdLinkTransact(CmdLink* link) {
    int attempts = link->attempts > 0 ? link->attempts : 1;
    bool valid = false;
    for (int attempt = 0; attempt < attempts && !valid; ++attempt) {
        CmdLinkSend(link);
        valid = CmdLinkCheck(link) == 0;
        if (!valid) {
            Trace(link, "Waiting for %d ms\n", link->pause);
            WaitMillisecond(link->pause);
        }
    }
    if (!valid) {
        return 0;
    }
    link->endCode = HexPair(link->answer + 5);
    if (link->endCode != 0) {
        Trace(link, "Error answer : status=%d\n", link->endCode);
    }
    return 1;
}

int CmdLinkTest(CmdLink* link, int unit, int test, int initWaitMs) {
    if (test != 0) {
        Trace(link, "test communication with the PLC\n");
        if (Echo(link, unit, "KESTR%08XAL") == 1) {
            return 1;
        }
    }
    CmdLinkSetInit(link);
    CmdLinkSend(link);
    Trace(link, "waiting %d ms\n", initWaitMs);
    WaitMillisecond(initWaitMs);
    Trace(link, "test communication with the PLC\n");
    return Echo(link, unit, "TU%08XRBINE");
}
