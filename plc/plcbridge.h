// plcbridge: the station as master of PLCs on a Sysway command line. Each frame of the frame
// table is one command (read or write a block of 16-bit words at an address of a unit) or a
// communication test; the scan engine drives them through the callbacks here.
#pragma once

#include <cstdint>

#include "cmdlink.h"
#include "refreshplc.h"
#include "xmlplc.h"

namespace plcbridge {
inline constexpr const char* kDriverName = "plcbridge";
inline constexpr int kMaxLng = 30;  // words of one command
inline constexpr int kPauseDefaultMs = 500;
inline constexpr int kInitWaitDefaultMs = 1000;
inline constexpr int kInitWaitMinMs = 1000;
inline constexpr int kInitWaitMaxMs = 360000;
inline constexpr int kMinTimeoutSeconds = 2;
// A cycle in which no frame was exchanged (all disabled, untriggered or unchanged) has no line
// to pace it: it waits this long before the next, so the scan never spins.
inline constexpr int kIdleCycleMs = 100;
inline constexpr const char* kTestType = "**";
}  // namespace plcbridge

// plcbridge's TRAME attributes (the frame extension).
struct PlcbridgeFrame {
    bool test = false;  // a communication test frame (Type "**")
    int esc = 0;        // PLC unit number
    char type[3] = {};  // the two-letter command
    int testFlag = 0;   // test frames: echo test before the initialisation line
    int attenteInit = plcbridge::kInitWaitDefaultMs;  // test frames: wait after it, ms
};

// The driver's record: the command link, and what the idle-cycle check remembers.
struct Plcbridge {
    CmdLink link;
    long sendsAtCycle = 0;  // lines the link had sent when the last cycle ended
};

// The configuration hook of plcbridge: Pause after the selected COM; Esc, Type, and Lng or Test
// and AttenteInit after each TRAME. A broken rule is fatal, with its line in the status file.
void PlcbridgeHook(PlcConfigLoader* loader, const char* element, XmlAttributes attributes);

// The answer time-out in whole seconds for a Timeout in milliseconds: rounded up, at least 2.
int PlcbridgeTimeoutSeconds(int milliseconds);

// The engine's callbacks. The driver's record is context->link when set before (tests), else the
// process's own.
extern const PlcDriverHooks kPlcbridgeHooks;

// The engine over the driver's record (its line may be a test's): PlcRefreshInit with
// plcbridge's hooks. 0, or -1 when the line could not be opened (logged).
int PlcbridgeRefreshInit(PlcScanContext* context, const PlcConfig* config, Plcbridge* driver);

// The data words of a read answer of `count` words (exactly that many, four hexadecimal digits
// each, right after the end code) into words[], first word first. 0, or -1 when the answer does
// not carry them (words[] untouched).
int PlcbridgeParseWords(const char* answer, int length, int count, uint16_t* words);
