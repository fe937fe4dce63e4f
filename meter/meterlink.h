// meterlink: one Teleinfo meter line. Reads its frame definitions from the station's XML
// configuration, opens the serial port of its communication block and runs the Teleinfo decoder
// on it until stopped, supervising reception (state channel, per-definition time-outs).
#pragma once

#include <csignal>
#include <vector>

#include "linetransport.h"
#include "serialdebug.h"
#include "teleinfo.h"

namespace meterlink {
// A receive gathers what the line brought for this long, plus the time of the characters that
// must still come before the group being received can end: a few wake-ups a second at 1200 baud
// instead of one per character, and no value later than this after its group's last character.
constexpr int kGatherMs = 90;
constexpr int kCharUs = 8334;  // one character at 1200 baud: start, 7 data, parity, stop bits
}  // namespace meterlink

// The decoder's effects, as this module delivers them: frame messages and single writes to
// chanmgr, the port's debug trace, the system log.
class MeterlinkOutput final : public TeleinfoOutput {
  public:
    explicit MeterlinkOutput(SerialDebug* trace) : trace_(trace) {}
    void Begin(int com, int frame) override;
    void WriteBool(int index, bool value) override;
    void WriteLong(int index, int32_t value) override;
    void WriteFloat(int index, float value) override;
    void Terminate() override;
    void WriteChannelBool(int channel, bool value) override;
    void Trace(const char* text, int length) override;
    void TraceTimestamp() override;
    void Log(int priority, const char* text) override;
    bool Verbose() const override;

  private:
    SerialDebug* trace_;
};

struct Meterlink {
    int port = -1;         // requested port (argument Port)
    int noVoieCom = 0;     // communication number of every channel message
    char device[32] = {};  // serial device path (board path)
    Line line;             // the meter's line: the tty backend unless a test put another there
    int timeout = 6;       // seconds without a good group before the state channel drops
    int silence = 100;     // longest wait for one character, milliseconds
    int etat = 0;          // state channel, 0 = none
    std::vector<TeleinfoDefinition> definitions;  // dispatch order: last configured first
    TeleinfoDecoder decoder;
    SerialDebug trace;
    MeterlinkOutput output{&trace};
    // What one receive gave, taken by the decoder character by character; a frame may end in the
    // middle, and the rest is the next scan's.
    unsigned char input[128] = {};
    int inputLength = 0;
    int inputNext = 0;
};

// Set by the SIGINT handler; the scan loop stops when it is non-zero.
extern volatile sig_atomic_t g_meterlinkStop;

// Installs the SIGINT handler. 0, or -1 with errno (sigaction).
int MeterlinkInstallSignal();
// Defaults of the module state for the requested port.
void MeterlinkInit(Meterlink* m, int port);
// Reads "/var/parameters/configuration.xml" and writes "/var/log/meterlink.xml.status".
// 0 when the configuration was accepted, -1 otherwise (logged).
int MeterlinkReadConfiguration(Meterlink* m);
// The configuration, to the verbose log.
void MeterlinkLogConfiguration(const Meterlink* m);
// Opens the meter's line (1200 baud, 7 data bits, even parity, 1 stop bit; receives gathered,
// see meterlink::kGatherMs). 0, or -1 with errno (LineOpen).
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
