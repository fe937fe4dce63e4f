// The serial port layer of the field-bus drivers: port numbers and device paths, raw-mode opening,
// line settings, bounded writes, modem lines, and the kernel's RS485 direction support. Plain
// functions on a descriptor or a port number; the layer keeps no state.
//
// Paths given to and returned by this layer are board paths ("/dev/ttyUSB0"); the layer opens them
// through StationPath(). Setters return 1 when the setting was applied, 0 when it was refused or
// the system refused it (logged); nothing else changes then.
#pragma once

#include <cstddef>

// Device path of a port number (-1 gives "ETH0", the Ethernet link), or nullptr when the number
// has no device. plcbridge's build knows only -1 to 5.
const char* SerialPortName(int port);
// Port number of a device path, or -1 when the path is not in the table.
int SerialPortNumber(const char* path);
// 1 when the port's device can be opened (and is closed again), 0 otherwise; 0 also for -1, the
// Ethernet link, which is no serial device.
int SerialPortAvailable(int port);
// Tries SerialPortAvailable with growing pauses (50 ms to 1050 ms) until it succeeds (1) or the
// uptime passes the start plus `limitSeconds` (0).
int SerialWaitPort(int port, int limitSeconds);

// Opens the path read-write, non-blocking, without controlling terminal, in raw mode with the
// given settings (a refused speed keeps the line's own). The descriptor (the caller's to close),
// or -1 with the open's errno.
int SerialOpen(const char* path, int speed, char parity, int dataBits, int stopBits);
// Sets up a line for another program or a later open: raw profile, settings, CTS/RTS flow
// control, then closes it again. Failing to open the path is fatal.
void SerialConfigure(const char* path, int speed, char parity, int dataBits, int stopBits,
                     int flowControl);
// Raw mode and the four settings on an open descriptor. A refused speed or parity leaves the
// line as it was (0).
int SerialReconfigure(int fd, int speed, char parity, int dataBits, int stopBits);

// Speed in bits per second: 0, 50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800,
// 9600, 19200, 38400, 57600, 115200 or 230400; anything else is refused.
int SerialSetBaud(int fd, int speed);
// 'N', 'E' or 'O'; anything else is refused. The character size is left alone.
int SerialSetParity(int fd, char parity);
// 5 to 8; any other value gives 8.
int SerialSetDataBits(int fd, int dataBits);
// 2 gives two stop bits, any other value one.
int SerialSetStopBits(int fd, int stopBits);
// Inter-character time-out in milliseconds, rounded up to tenths of a second (VTIME, at most
// 25.5 s), VMIN 0.
int SerialSetSilence(int fd, int milliseconds);
// CTS/RTS hardware flow control on (flag non-zero) or off.
int SerialSetFlowControl(int fd, int flag);
// 1 when CTS/RTS flow control is on.
int SerialGetFlowControl(int fd);
// Replaces the descriptor's status flags with the non-blocking flag.
int SerialSetNonBlocking(int fd);
// flag non-zero: blocking reads and writes; zero: non-blocking.
int SerialSetBlocking(int fd, int flag);

// Writes every byte, waiting 100 ms after an interruption or a full output queue; gives up on the
// 51st failed write (about 5 s of a stalled line). 0 when everything was written, -1 otherwise
// with errno: ETIMEDOUT for the stalled line, EINVAL for no buffer, else the write's error.
int SerialWrite(int fd, const void* buffer, int length);
// SerialWrite framed by RTS for manual RS485 direction: RTS up, write, wait until the transmitter
// has shifted everything out (bounded), RTS down. The result of SerialWrite.
int SerialWriteRts(int fd, const void* buffer, int length);
// One byte (0 to 255); -1 after a 100 ms pause when none came.
int SerialReadChar(int fd);
// Discards pending input; drains at most 256 bytes by hand when the driver refuses. 0, or -1 when
// the input could not be emptied (errno: the read's error, or EAGAIN when it kept coming).
int SerialFlush(int fd);

// State of the carrier-detect and ring-indicator lines (0 when they cannot be read).
int SerialGetCD(int fd);
int SerialGetRI(int fd);
// flag 1 raises DTR, any other value lowers it.
int SerialSetDTR(int fd, int flag);
// CLOCAL on (flag non-zero: modem lines ignored) or off.
int SerialSetLocal(int fd, int flag);

// 1 when the running kernel drives the RS485 transmitter itself (release string of
// "/proc/sys/kernel/osrelease"), 0 when the program must drive RTS around each transmission.
int SerialRs485AutoRts();
