// The line transport: how a field-bus driver talks to its serial line. A line is a small table of
// operations (open with a profile, send, receive with a deadline, flush, close) over a backend:
// the tty backend is the serial port layer on a real device (or a pty), the in-memory backend
// (memoryline.h) is a scripted peer on the module's clock, for tests. RS485 direction is handled
// once, inside the send, so a driver never drives RTS itself.
//
// Times are milliseconds of the module's monotonic clock (MonotonicMs(), clock.h); a deadline is
// such a time, e.g. LineDeadline(100) for "within 100 ms from now".
#pragma once

#include <cstdint>

namespace line {
// Bytes a receive that stopped at an end byte keeps for the next receive.
constexpr int kHeldMax = 256;
}  // namespace line

// Direction control of an RS485 transceiver, as resolved when the line opens.
enum class LineRs485 {
    kNone,    // full-duplex line (RS232, USB adapter), or RS485 not asked for
    kKernel,  // the kernel drives the transmitter (the port is switched to RS485 mode)
    kRts,     // the transport raises RTS for each send and lowers it once the last bit is out
};

struct LineProfile {
    const char* device = "";  // board path, e.g. "/dev/ttyUSB0" (taken under STATION_ROOT)
    int speed = 9600;         // bits per second, as SerialSetBaud takes them
    char parity = 'N';        // 'N', 'E' or 'O'
    int dataBits = 8;         // 5 to 8
    int stopBits = 1;         // 1 or 2
    // RS485 transceiver: direction by the kernel when the running kernel can (SerialRs485AutoRts),
    // otherwise RTS framing around each send.
    bool rs485 = false;
    // 0: a receive returns as soon as one byte is there. > 0: a receive gathers for this long
    // after the first byte (or, right after a receive that brought bytes, from its start) and
    // returns what has accumulated, so a slow line wakes the driver a few times a second instead
    // of once per character. A byte waits at most about this long (never past the deadline,
    // unless it came just at it); a receive that filled its buffer is followed by one that reads
    // at once, so a fast line is not slowed down. Nothing there still means 0 at the deadline.
    int gatherMs = 0;
};

struct Line;

// One backend's operations. Each is called only through the functions below, which check
// their arguments first.
struct LineBackend {
    const char* name;
    int (*open)(Line* line, const LineProfile& profile);
    int (*send)(Line* line, const uint8_t* bytes, int length);
    int (*receive)(Line* line, uint8_t* buffer, int size, long long deadlineMs);
    int (*flush)(Line* line);
    void (*close)(Line* line);
};

// The tty backend: the serial port layer (serialcomm.h) on the profile's device.
extern const LineBackend kTtyLine;

struct Line {
    const LineBackend* backend = &kTtyLine;
    void* context = nullptr;  // the backend's own (the in-memory backend's peer)
    int fd = -1;              // tty backend: the open descriptor
    // tty backend: the same terminal opened again, blocking, for receives that wait on the
    // terminal's own timer (VMIN 0, VTIME waitMs / 100); -1 when its settings do not allow it.
    // The transport owns the terminal's settings: VMIN and VTIME changed behind it would make
    // such a receive wait past its deadline. A signal whose handler was installed with
    // SA_RESTART does not cut such a wait (it ends at the terminal's timer, 100 ms at most).
    int waitFd = -1;
    int waitMs = 0;
    bool open = false;
    LineRs485 rs485 = LineRs485::kNone;
    int rs485Error = 0;  // errno of a refused switch to RS485 mode (kKernel), 0 when none
    int gatherMs = 0;
    bool readAgain = false;  // tty backend: the last read filled the buffer, more may be there
    bool streaming = false;  // tty backend: the last receive brought bytes
    // Bytes received past an end byte (LineReceiveUntil), given out first by the next receive.
    uint8_t held[line::kHeldMax] = {};
    int heldStart = 0;
    int heldEnd = 0;
};

// Deadline `milliseconds` from now on the module's monotonic clock.
long long LineDeadline(int milliseconds);

// Opens the line with the profile through line->backend (the tty backend unless another was
// put there). tty: opens the device read-write, non-blocking, without controlling terminal, in
// raw mode with the profile's settings (SerialOpen: a failure is logged there), discards pending
// input and output, and with rs485 switches the port to RS485 mode or lowers RTS (receive
// direction). A refused switch to RS485 mode is not a failure: the line stays usable and
// line->rs485Error says why, for the driver's log. Likewise a device whose modem lines cannot be
// read (a pty) gets no RTS framing: line->rs485 stays kNone and rs485Error says why.
// 0, or -1 with errno:
//   EBUSY   the line is already open
//   EINVAL  no device in the profile, or a gather time below 0
//   (open)  the device could not be opened (ENOENT, EACCES, ...)
int LineOpen(Line* line, const LineProfile& profile);

// Sends every byte, with the RS485 direction handled as the line resolved it at open. Waits as
// the serial layer's SerialWrite does for a full output queue (about 5 s at most).
// 0 when every byte was sent, or -1 with errno:
//   EBADF      the line is not open
//   EINVAL     no buffer, or a length below 0
//   ETIMEDOUT  the output queue stayed full (SerialWrite gave up)
//   EIO        the line hung up
//   (write)    any other error of the write
int LineSend(Line* line, const void* bytes, int length);

// Receives what is there, up to `size` bytes: waits until at least one byte has come (or, with a
// gather time, until it has gathered) or the deadline passes. A deadline already past looks once
// without waiting.
// The number of bytes (1 to size); 0 when nothing came before the deadline; or -1 with errno:
//   EBADF   the line is not open
//   EINVAL  no buffer, or a size below 1
//   EINTR   a signal cut the wait (nothing was received)
//   EIO     the line hung up (the other side closed, the device went away); bytes that came
//           before the hang-up are returned first
//   (poll, read) any other error of the system calls
int LineReceive(Line* line, void* buffer, int size, long long deadlineMs);

// Receives until `size` bytes are in, or the byte `end` (0..255; -1 for none) has come, or the
// line has been silent for `silenceMs` after a byte (0: no such limit), or the deadline passes.
// Bytes that came after `end` are kept for the next receive.
// The number of bytes received (0: none before the deadline). A failure before any byte came is
// -1 with errno as for LineReceive; one after some bytes ends this receive with them, and the
// next receive reports it.
int LineReceiveUntil(Line* line, void* buffer, int size, long long deadlineMs, int silenceMs,
                     int end);

// Receives the answer of a peer that speaks when asked: its first byte before `firstDeadlineMs`,
// then more until the line has been silent for `silenceMs` after a byte, `size` bytes are in, or
// `deadlineMs` passes (neither wait goes past it).
// The number of bytes (0: none came in time); -1 with errno as for LineReceive when the first
// receive failed; a failure after some bytes ends the answer with them.
int LineReceiveAnswer(Line* line, void* buffer, int size, long long firstDeadlineMs, int silenceMs,
                      long long deadlineMs);

// Changes the gather time (LineProfile::gatherMs) of the receives that follow: a driver that
// knows how soon a message can be complete may gather longer. Below 0 counts as 0.
void LineSetGather(Line* line, int milliseconds);

// Discards input that has come and not been received (kept bytes included). 0, or -1 with errno:
//   EBADF  the line is not open
//   (tcflush, read) the driver refused and the input could not be drained (SerialFlush)
int LineFlush(Line* line);

// Closes the line; a line that is not open is left as it is.
void LineClose(Line* line);
