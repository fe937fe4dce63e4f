// The Sysway command link of plcbridge: the master sends one command line to a PLC unit and the
// PLC answers with one line that echoes the unit and the command, carries an end code and, for
// reads, the data. Both lines end with a frame check sequence (FCS), "*" and a carriage return.
// The link keeps its state in a CmdLink passed by pointer and talks to its line through the line
// transport, so tests run it on the in-memory line and the fake clock.
#pragma once

#include "linetransport.h"
#include "serialdebug.h"

namespace cmdlink {
// Characters of an answer read at most.
inline constexpr int kAnswerMax = 131;
// Room for the longest command: "@", unit, type, a 4-digit address, 30 words of 4 digits, FCS,
// "*", carriage return (133), with a margin.
inline constexpr int kCommandMax = 160;
inline constexpr int kMaxUnit = 99;
// Addresses and word counts travel as four decimal digits.
inline constexpr int kMaxField = 9999;
// Characters of an answer around its data: "@", unit, command, end code / FCS, "*", CR.
inline constexpr int kAnswerHead = 7;
inline constexpr int kAnswerTail = 4;
}  // namespace cmdlink

struct CmdLink {
    Line line;  // the tty backend unless a test put another there
    SerialDebug trace;
    int port = -1;
    int timeout = 2;   // answer time-out, whole seconds
    int pause = 0;     // milliseconds between two attempts
    int attempts = 1;  // attempts for one command (at least 1)
    int charUs = 0;    // line time of one character, for gathering an answer in one wake-up
    char command[cmdlink::kCommandMax + 1] = {};
    int commandLength = 0;
    int expected = 0;  // characters of the answer the command calls for (0: not known)
    char answer[cmdlink::kAnswerMax + 1] = {};
    int answerLength = 0;
    int endCode = 0;      // of the last valid answer of CmdLinkTransact; -1 when not hexadecimal
    int badlyFormed = 0;  // answers without a carriage return right after the "*"
    long sends = 0;       // lines sent since the link was opened
};

// Exclusive-or of the characters, the FCS of a line.
int CmdLinkFcs(const char* text, int length);

// Opens the line of the port (raw mode, the four settings; opened, closed and opened again 100 ms
// later, as the adapters want it), computes the character time, and creates the port's debug
// trace (a failure there is fatal). 0, or -1 when the device could not be opened: logged
// "erreur d'ouverture du port serie %s : %d" (critical), errno from the open; the caller ends
// the process.
int CmdLinkOpen(CmdLink* link, int port, int speed, char parity, int dataBits, int stopBits);
void CmdLinkClose(CmdLink* link);

// Puts a command in the command buffer: "@", the unit as two digits, the two-character type, the
// parameters, the FCS as two upper-case hexadecimal digits, "*", carriage return. `expected` is
// the length of the answer it calls for (0 when not known). 0, or -1 with errno EINVAL: unit
// outside 0 to 99, type not two characters, or parameters too long.
int CmdLinkSetCommand(CmdLink* link, int unit, const char* type, const char* parameters,
                      int expected);
// Puts the initialisation line ("@**" and carriage return, without unit nor FCS).
void CmdLinkSetInit(CmdLink* link);

// Discards pending input, traces the command and sends it. 0, or -1 with errno (LineSend).
int CmdLinkSend(CmdLink* link);
// Receives one answer line into the answer buffer: up to 131 characters, ending after the first
// carriage return, within the time-out. The number of characters (0 when none came; also after a
// read error, logged "lecture serie = %d", or a hang-up: both wait out the time-out first, so a
// dead line is not polled in a tight loop).
int CmdLinkReceive(CmdLink* link);
// Receives and checks the answer to the command sent: 0 when valid, 1 otherwise.
int CmdLinkCheck(CmdLink* link);
// The checks of CmdLinkCheck on an answer already received (copied into the answer buffer,
// traced). 0 when valid, 1 otherwise (logged and traced as the check says).
int CmdLinkCheckAnswer(CmdLink* link, const char* answer, int length);
// Sends the command and checks the answer, up to `attempts` times with `pause` after each
// invalid answer. 1 when a valid answer came (its end code in endCode, traced when not 0), 0
// otherwise.
int CmdLinkTransact(CmdLink* link);
// The communication test of a unit: with `test` set, an echo test first; then the
// initialisation line, `initWaitMs` of waiting, and a second echo test. 1 when the PLC echoed a
// test text, 0 otherwise.
int CmdLinkTest(CmdLink* link, int unit, int test, int initWaitMs);
