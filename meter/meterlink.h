// meterlink: one Teleinfo meter line. Reads its frame definitions from the station's XML
// configuration, opens the serial port of its communication block and runs the Teleinfo decoder
// on it until stopped, supervising reception (state channel, per-definition time-outs).
#pragma once

#include <csignal>
#include <vector>

#include "serialdebug.h"
#include "teleinfo.h"

struct Meterlink {
    int port = -1;         // requested port (argument Port)
    int noVoieCom = 0;     // communication number of every channel message
    char device[32] = {};  // serial device path (board path)
    int fd = -1;
    int timeout = 6;    // seconds without a good group before the state channel drops
    int silence = 100;  // longest wait for one character, milliseconds
    int etat = 0;       // state channel, 0 = none
    std::vector<TeleinfoDefinition> definitions;  // dispatch order: last configured first
    TeleinfoDecoder decoder;
    SerialDebug trace;
    // Input read ahead of the decoder (what one read gave beyond the first byte).
    unsigned char input[64] = {};
    int inputLength = 0;
    int inputNext = 0;
};

// Set by the SIGINT handler; the scan loop stops when it is non-zero.
extern volatile sig_atomic_t g_meterlinkStop;

// Installs the SIGINT handler. 0, or the errno of the failure.
int MeterlinkInstallSignal();
// Defaults of the module state for the requested port.
void MeterlinkInit(Meterlink* m, int port);
// Reads "/var/parameters/configuration.xml" and writes "/var/log/meterlink.xml.status".
// 0 when the configuration was accepted, -1 otherwise (logged).
int MeterlinkReadConfiguration(Meterlink* m);
// The configuration, to the verbose log.
void MeterlinkLogConfiguration(const Meterlink* m);
// Opens the serial line (1200 baud, 7 data bits, even parity, 1 stop bit, non-blocking). 0 or -1.
int MeterlinkOpenPort(Meterlink* m);
// Connects the decoder to the channel messages, the trace and the log, and starts supervision.
void MeterlinkStart(Meterlink* m);
// One frame: runs the decoder until the end of a frame, a read error or a stop. 0, or -1 on a
// read error.
int MeterlinkScanFrame(Meterlink* m);
// Waits after a failed scan so that a dead line is not polled in a tight loop (stops early on a
// stop request).
void MeterlinkPauseAfterError(Meterlink* m);
void MeterlinkClose(Meterlink* m);
