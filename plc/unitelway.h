// The Uni-Telway slave link of busbridge: this station on a PLC's serial bus, where the PLC is the
// master that polls the slaves in turn. A slave sends a frame only right after it was polled, and
// every frame is acknowledged by its receiver. The link frames and unframes bytes (DLE STX,
// address, length, data with DLE doubled, BCC), turns what arrives into link events through a
// receive state machine, and counts what went wrong for the driver's statistics.
//
// The link keeps its state in a SlaveLink passed by pointer; its line is the line transport (the
// tty backend on the board, the in-memory one in tests), which handles the RS485 direction.
#pragma once

#include <cstdint>

#include "linetransport.h"
#include "serialdebug.h"

namespace unitelway {

inline constexpr uint8_t kDle = 0x10;
inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEnq = 0x05;
inline constexpr uint8_t kAck = 0x06;
inline constexpr uint8_t kNak = 0x15;
inline constexpr uint8_t kEot = 0x04;

inline constexpr int kMinLength = 6;                    // data bytes of the shortest frame
inline constexpr int kMaxLength = 255;                  // the length is one byte
inline constexpr int kLengthLimitLogged = 507;          // the upper bound the length error names
inline constexpr int kDefaultAddress = 6;               // until the driver sets its own
inline constexpr int kDefaultPacingMs = 100;            // until set to the silence time
inline constexpr int kDefaultAckAttempts = 10;          // until set from the acknowledgement time
inline constexpr int kRawMax = 4 + 2 * kMaxLength + 2;  // a frame on the line, every DLE doubled
inline constexpr int kInputSize = 256;                  // bytes taken from the line at once
inline constexpr int kPollFailureWaitMs = 60000;        // after a failed wait for input

// What SlaveLinkReceive gives (the numbers are the link's event numbers).
enum class Event : int {
    kPolled = 0,  // DLE ENQ with this station's address
    kFrame = 1,   // a frame for this station with a good BCC; its data are in link->received
    kAck = 2,
    kNak = 3,
    // No event for a whole receive pacing period: a silent line (or only other stations'
    // traffic) ends the receive, so that the waits that count events stay bounded.
    kSilence = 4,
    kNone = 5,        // SlaveLinkFeed only: the byte completed nothing
    kLineFailed = 6,  // the line failed (when the link does not end the process for it)
};

enum class RxState : int { kIdle, kStart, kAddress, kLength, kData, kCheck };

}  // namespace unitelway

// Counters of the link, for the driver's statistics; they only grow.
struct SlaveLinkCounters {
    int bccErrors = 0;  // checksum and length errors
    int dleErrors = 0;
    int syncErrors = 0;  // bytes that do not start a frame
    int polls = 0;       // polls for this station
    int framesReceived = 0;
    int ackSent = 0;
    int nakSent = 0;
    int ackReceived = 0;
    int nakReceived = 0;
    int ackTimeouts = 0;
    int framesSent = 0;
};

// Where the receive state machine stands.
struct SlaveLinkReceiver {
    unitelway::RxState state = unitelway::RxState::kIdle;
    bool polling = false;  // the sequence began DLE ENQ (else DLE STX)
    bool dle = false;      // a DLE came that is not doubled yet
    unsigned sum = 0;
    int remaining = 0;  // data bytes still to come
    uint8_t address = 0;
    uint8_t raw[unitelway::kRawMax] = {};  // the bytes of the sequence, for the trace
    int rawLength = 0;
};

using SlaveLinkLogFunction = void (*)(int priority, const char* format, ...);

struct SlaveLink {
    Line line;  // the tty backend unless a test put another there before the open
    SerialDebug trace;
    int address = unitelway::kDefaultAddress;
    int pacingMs = unitelway::kDefaultPacingMs;
    int ackAttempts = unitelway::kDefaultAckAttempts;
    // The data of the last frame received: the length byte, then the data (unstuffed).
    uint8_t received[1 + unitelway::kMaxLength] = {};
    SlaveLinkReceiver rx;
    SlaveLinkCounters counters;
    // Bytes taken from the line and not yet through the state machine.
    uint8_t input[unitelway::kInputSize] = {};
    int inputLength = 0;
    int inputNext = 0;
    // A read error on the line ends the process (the board's behaviour); tests and fuzzing turn
    // it into the kLineFailed event.
    bool abortOnReadError = true;
    // The link's error lines (StationLog; fuzzing silences them).
    SlaveLinkLogFunction log = nullptr;
};

// Opens the link on the device (board path) into *link: 8 data bits, 1 stop bit, the speed and
// parity given, RS485 direction as the kernel allows, the defaults (address 6, pacing 100 ms,
// 10 acknowledgement attempts), the debug trace of the device's port, pending input and output
// discarded. 0, or -1 with errno when the device cannot be opened (logged "error in opening of
// %s : %d"). A debug trace that cannot be made ends the process ("error in open of debug").
int SlaveLinkInit(SlaveLink* link, const char* device, int speed, char parity);
// SlaveLinkInit on a link of its own (an allocation failure is fatal): the link, or null.
SlaveLink* SlaveLinkOpen(const char* device, int speed, char parity);

// One received byte through the state machine: the event it completes, or kNone. Line errors are
// counted and logged, never given as events; every complete or broken sequence goes to the trace
// as a "Rec" line. No I/O besides the trace and the log.
unitelway::Event SlaveLinkFeed(SlaveLink* link, uint8_t byte);

// The next link event: takes bytes from the line (what is already there first) until one
// completes an event. kSilence when a pacing period passes without one; kLineFailed only when a
// read error does not end the process (abortOnReadError false).
unitelway::Event SlaveLinkReceive(SlaveLink* link);

// Sends the data (0 to 255 bytes) as a frame from this station, then takes up to ackAttempts
// events for its acknowledgement: 1 when it was acknowledged (ACK), 0 on a NAK, when the
// attempts ran out (an acknowledgement time-out), or when the frame could not be sent.
int SlaveLinkSendFrame(SlaveLink* link, const uint8_t* data, int length);
// One character on the line (traced "Snd"). 0, or -1 (logged "error in send of character=%d").
int SlaveLinkSendChar(SlaveLink* link, uint8_t character);
// ACK when positive is non-zero, else NAK; counted.
int SlaveLinkReply(SlaveLink* link, int positive);
int SlaveLinkSendEot(SlaveLink* link);

// Clears the receive state machine and the bytes held from the line (not the counters).
void SlaveLinkResetReceiver(SlaveLink* link);
