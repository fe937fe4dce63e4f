// busbridge's X-WAY driver on the Uni-Telway slave link: each frame of the frame table is one
// request (read or write bits, words, double words or objects) that the station sends to the PLC
// when polled, then waits for its answer while it keeps answering the bus. It plugs into the
// frame table reader (its hook) and the scan engine (link init, frame init, the wait and
// statistics functions).
#pragma once

#include <cstdint>

#include "refreshplc.h"
#include "unitelway.h"
#include "xmlplc.h"

namespace xway {

inline constexpr const char* kDriverName = "busbridge";

inline constexpr uint8_t kHeader = 0x20;    // first byte of every request
inline constexpr uint8_t kCategory = 0x07;  // after the request code
inline constexpr uint8_t kPositive = 0xFE;  // answer code of a done write
inline constexpr int kAddressBytes = 5;
inline constexpr int kHeaderSize = 8;       // header, address bytes, code, category
inline constexpr int kAnswerCodeIndex = 6;  // data byte 7 of an answer
inline constexpr int kPayloadIndex = 7;     // data byte 8: the payload
// A read's answer code is its request code plus this (a write's is kPositive).
inline constexpr int kReadAnswerOffset = 0x30;
inline constexpr int kMaxAddress = 65535;  // Adr, on 2 bytes
inline constexpr int kMaxSegment = 255;    // Segment, on 1 byte

inline constexpr int kDefaultSlaveAddress = 6;
inline constexpr int kMaxSlaveAddress = 253;
inline constexpr int kDefaultTimeoutAckMs = 200;
inline constexpr int kMaxTimeoutAckMs = 10000;

// Request codes (decimal, as the configuration gives them).
inline constexpr int kCodes[] = {0, 1, 4, 5, 6, 7, 16, 17, 20, 21, 22, 54, 55, 64, 65, 70};
inline constexpr int kReadObjects = 54;
inline constexpr int kWriteObjects = 55;

// Object types of codes 54 and 55.
inline constexpr int kTypeBits = 5;
inline constexpr int kTypeBitsToo = 6;
inline constexpr int kTypeWords = 7;
inline constexpr int kTypeLongs = 8;

}  // namespace xway

// busbridge's COM attributes (PlcComConfig::extension).
struct BusbridgeCom {
    int adresseEsclave;
    int timeoutAck;
};

// busbridge's TRAME attributes (PlcFrameConfig::extension).
struct BusbridgeFrame {
    uint8_t esc[xway::kAddressBytes];
    int code;
    int type;
    int segment;
};

// The X-WAY side of one link.
struct XwayContext {
    SlaveLink* link = nullptr;
    uint8_t address[xway::kAddressBytes] = {};  // of the frame being exchanged
    int code = 0;                               // its request code
    int objects = 0;                            // objects the current request asked for
    uint8_t answerCode = 0;                     // the answer code that answers it
    int answerMin = 0;                          // payload bytes its answer carries
    int answerMax = 0;
    int answers = 0;  // answers checked
    int tooShort = 0;
    int answerTimeouts = 0;
    int negativeAnswers = 0;
    int strayAnswers = 0;  // answers to another request, refused
};

// What busbridge keeps behind PlcScanContext::link.
struct BusbridgeDriver {
    SlaveLink link;
    XwayContext xway;
};

// The frame table hook of busbridge: after a selected COM, AdresseEsclave and TimeoutAck; after
// each TRAME, Esc, Code, Type and Segment, with the rules on the code, the direction and Lng.
void BusbridgeHook(PlcConfigLoader* loader, const char* element, XmlAttributes attributes);

// Opens the slave link on the COM's port and gives the engine its trace, descriptor, wait and
// statistics functions. context->link may already hold a BusbridgeDriver (its line's backend
// chosen, e.g. by a test); otherwise the process-wide one is used. 0, or -1 when the line cannot
// be opened (logged).
int BusbridgeLinkInit(PlcScanContext* context, const PlcConfig* config);
// The exchange, request builder and answer decoder of the frame's code, its data kind and size.
// -1 for a code it does not know (logged "Frame No %d  : code %d unknow").
int BusbridgeFrameInit(PlcScanContext* context, PlcFrameRuntime* frame);
int BusbridgeExtraFrameInit(PlcScanContext* context, PlcFrameRuntime* frame);
PlcDriverHooks BusbridgeHooks();

// Checks the answer data (data byte 1 first, after the length byte) and acknowledges it: 1 for a
// positive answer (payload from data byte 8), 0 for a short one (no acknowledgement) or a
// negative one (acknowledged).
int XwayCheckAnswer(XwayContext* x, const uint8_t* data, int length);
// Whether an answer (data byte 1 first) answers the request last built: a positive one must carry
// its answer code and its payload length. Negative answers and answers too short to tell are
// taken as its own (XwayCheckAnswer refuses them).
bool XwayAnswersRequest(const XwayContext* x, const uint8_t* data, int length);
// One frame: waits to be polled, sends the request, waits for the answer while answering polls
// with EOT. An answer that is not the request's (XwayAnswersRequest) is refused with NAK and
// counted, and the wait goes on. 1 when the answer was good (read frames: in the frame's
// buffer), 0 otherwise. Both waits are bounded by the COM's Timeout.
int XwayExchange(PlcScanContext* context, PlcFrameRuntime* frame);
// The engine's wait: serves the bus (polls get EOT, frames NAK) for the time given; takes at
// least one link event.
void XwayWait(PlcScanContext* context, int milliseconds);
// The three statistics lines of the link, to the trace.
void XwayStatistics(PlcScanContext* context);
