// The CPU board's I/O lines through sysfs GPIO: the two-colour RUN light, the line and USB
// lights, the modem's supplies and reset, and the configuration switches (with override files
// for tests on the bench). The first process that needs the lines sets them up for the whole
// station and leaves the marker "/var/run/led"; later ones see it and skip the set-up. Also the
// board's fixed answers (box, slot, first switch).
#pragma once

namespace boardio {
// Kernel numbers of the lines.
constexpr int kRunLedFirst = 41;
constexpr int kRunLedSecond = 42;
constexpr int kLineLed = 43;  // active low
constexpr int kUsbLed = 98;   // active low
constexpr int kModem5V = 37;
constexpr int kModem3V3 = 36;
constexpr int kModemReset = 82;
constexpr int kSwitch2 = 40;
constexpr int kSpareInput = 38;

constexpr const char* kMarkerFile = "/var/run/led";
constexpr const char* kExportFile = "/sys/class/gpio/export";
constexpr const char* kSwitch2Override = "/var/run/SW2";
constexpr const char* kSwitch3Override = "/var/run/SW3";
// After an export, how long the line's files may take to appear (the kernel makes them at once;
// a device manager or a simulator may lag), checked every kExportPollMs.
constexpr int kExportWaitMs = 1000;
constexpr int kExportPollMs = 5;

// RUN light commands.
enum class Run { kOff = 0, kFirst = 1, kSecond = 2 };
}  // namespace boardio

// State of the board I/O in one process: whether this process has set the lines up, and the
// last RUN and line light commands.
struct BoardIo {
    bool setUp = false;
    int ledRun = 0;
    int ledLiRi = 0;
};

// ---- On a given state (tests use their own). Line writes give 1 on success and 0 on failure
// (logged); every one sets the lines up first when this state has not.

// Sets the lines up unless the marker file exists; once per state.
void BoardIoSetUp(BoardIo* io);
// 1 -> first colour, 2 -> second colour, 0 -> off; any other command is logged and changes no
// line. The command is remembered in every case.
int BoardIoSetLedRun(BoardIo* io, int command);
int BoardIoSetLedUsb(BoardIo* io, int on);
int BoardIoSetLedLiRi(BoardIo* io, int on);
int BoardIoCmd5VModem(BoardIo* io, int value);
int BoardIoCmd3V3Modem(BoardIo* io, int value);
int BoardIoCmdResetModem(BoardIo* io, int value);
// RUN, USB and line lights off, modem reset, 5 V and 3.3 V at 0, in this order: 1 when every
// line was written.
int BoardIoShutdown(BoardIo* io);
// The override file's value when it holds 0 or 1; else line 40 (switch 2) or 0 (switch 3).
int BoardIoGetSW2(BoardIo* io);
int BoardIoGetSW3(BoardIo* io);

// Writes "1" (value non-zero) or "0" to a line: 1, or 0 (logged). No set-up.
int GpioWrite(int line, int value);
// Value of a line: 1 or 0 (0 also on a failure, logged). No set-up.
int GpioRead(int line);

// ---- The same on the process's own state.
int SetLedRUN(int command);
int GetLedRUN();  // the last command given
int SetLedUsb(int on);
int SetLedLiRi(int on);
int GetLedLiRi();  // the last command given
int Cmd5VModem(int value);
int Cmd3V3Modem(int value);
int CmdResetModem(int value);
int ShutdownLedAndCmd();
int GetSW2();
int GetSW3();

// ---- Fixed answers of this board.
int GetSW1();                // 1
int GetORXBASEBoxNumber();   // 1
int GetORXBASESlotNumber();  // 2
int GetORXBASENo();          // 2
int GetORXBASEAddr();        // 1
// 1 for the serial port types 3 and 4 (no extension board port), else 0.
int IsNoORXCOM(int type);
