#include "boardio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "clock.h"
#include "stationfile.h"
#include "stationlog.h"

namespace {

using namespace boardio;

struct LineSetUp {
    int line;
    const char* direction;
    int start;  // value written at set-up, -1 for none
};

// In the order they are set up.
constexpr LineSetUp kLines[] = {
    {kRunLedFirst, "out", -1}, {kRunLedSecond, "out", -1}, {kLineLed, "out", 1},
    {kUsbLed, "out", 1},       {kModem5V, "out", -1},      {kModem3V3, "out", -1},
    {kModemReset, "out", -1},  {kSwitch2, "in", -1},       {kSpareInput, "in", -1},
};

// Board path of a file of a line ("value", "direction"), on the stack.
struct LinePath {
    char text[64];
    LinePath(int line, const char* file) {
        std::snprintf(text, sizeof text, "/sys/class/gpio/gpio%d/%s", line, file);
    }
};

bool Exists(const char* path) {
    struct stat info {};
    return StationStat(path, &info) == 0;
}

// One write of the whole text, started again after a signal. 0, or -1 with errno (write; ENOSPC
// when it took less).
int WriteText(int fd, const char* text, size_t length) {
    ssize_t written = 0;
    do {
        written = write(fd, text, length);
    } while (written < 0 && errno == EINTR);
    if (written == static_cast<ssize_t>(length)) {
        return 0;
    }
    if (written >= 0) {
        errno = ENOSPC;
    }
    return -1;
}

// Waits, bounded, for the files of a line just exported to appear.
void WaitForLine(const char* direction) {
    timespec poll{0, kExportPollMs * 1000000L};
    for (int waited = 0; !Exists(direction) && waited < kExportWaitMs; waited += kExportPollMs) {
        Clock().Sleep(poll, nullptr);
    }
}

void Export(int line, const char* direction) {
    char number[16];
    int length = std::snprintf(number, sizeof number, "%d", line);
    UniqueFd fd(StationOpen(kExportFile, O_WRONLY | O_APPEND | O_CLOEXEC));
    if (!fd.Valid()) {
        StationLog(LOG_ERR, "Cannot open export file. (%d)", errno);
        return;
    }
    StationLog(LOG_DEBUG, "%s -> /sys/class/gpio/export", number);
    if (WriteText(fd.Get(), number, static_cast<size_t>(length)) != 0 || fd.Close() != 0) {
        StationLog(LOG_ERR, "Cannot write export file. (%d)", errno);
        return;
    }
    WaitForLine(direction);
}

void SetDirection(const char* direction, const char* word) {
    StationLog(LOG_DEBUG, "%s -> %s", word, direction);
    UniqueFd fd(StationOpen(direction, O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (!fd.Valid() || WriteText(fd.Get(), word, std::strlen(word)) != 0 || fd.Close() != 0) {
        StationLog(LOG_ERR, "Erreur sur le positionnement en sortie de %s : %d.", direction, errno);
    }
}

// The override file's 0 or 1 into *value: false when there is none to use.
bool ReadOverride(const char* path, int* value) {
    if (!Exists(path)) {
        return false;
    }
    FILE* file = StationFopen(path, "re");
    if (file == nullptr) {
        StationLog(LOG_ERR, "divers.lib : erreur d'ouverture de %s : %d", path, errno);
        return false;
    }
    int read = 0;
    bool used = false;
    if (std::fscanf(file, "%d", &read) != 1) {
        StationLog(LOG_ERR, "divers.lib : erreur de lecture de %s ", path);
    } else if (read == 0 || read == 1) {
        StationLog(LOG_DEBUG, "divers.lib : lecture switch %d dans %s", read, path);
        *value = read;
        used = true;
    }
    std::fclose(file);
    return used;
}

BoardIo g_board;

}  // namespace

int GpioWrite(int line, int value) {
    LinePath path(line, "value");
    UniqueFd fd(StationOpen(path.text, O_WRONLY | O_APPEND | O_CLOEXEC));
    if (!fd.Valid() || WriteText(fd.Get(), value != 0 ? "1" : "0", 1) != 0 || fd.Close() != 0) {
        StationLog(LOG_ERR, "error on  value %s :%d", path.text, errno);
        return 0;
    }
    return 1;
}

int GpioRead(int line) {
    LinePath path(line, "value");
    UniqueFd fd(StationOpen(path.text, O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        StationLog(LOG_ERR, "error on  value %s :%d", path.text, errno);
        return 0;
    }
    char text[4];
    ssize_t got = 0;
    do {
        got = read(fd.Get(), text, sizeof text);
    } while (got < 0 && errno == EINTR);
    // The kernel gives the digit and a line end.
    if (got <= 1) {
        StationLog(LOG_ERR, "error in read of %s", path.text);
        return 0;
    }
    return text[0] == '1' ? 1 : 0;
}

void BoardIoSetUp(BoardIo* io) {
    if (io->setUp) {
        return;
    }
    io->setUp = true;
    if (Exists(kMarkerFile)) {
        StationLog(LOG_DEBUG, "GPIO already");
        return;
    }
    for (const LineSetUp& line : kLines) {
        LinePath direction(line.line, "direction");
        if (Exists(direction.text)) {
            StationLog(LOG_DEBUG, "%s already", direction.text);
        } else {
            Export(line.line, direction.text);
        }
        SetDirection(direction.text, line.direction);
        if (line.start >= 0) {
            GpioWrite(line.line, line.start);
        }
    }
    char pid[16];
    int length = std::snprintf(pid, sizeof pid, "%d\n", static_cast<int>(getpid()));
    if (DurableWriteFile(kMarkerFile, pid, static_cast<size_t>(length), 0644) != 0) {
        StationLog(LOG_ERR, "%s write error :%d", kMarkerFile, errno);
    }
}

int BoardIoSetLedRun(BoardIo* io, int command) {
    BoardIoSetUp(io);
    io->ledRun = command;
    int first = 0;
    int second = 0;
    switch (static_cast<Run>(command)) {
        case Run::kOff:
            break;
        case Run::kFirst:
            first = 1;
            break;
        case Run::kSecond:
            second = 1;
            break;
        default:
            StationLog(LOG_ERR, "divers.lib : commande erronee de la Led RUN=%d", command);
            return 0;
    }
    int done = GpioWrite(kRunLedFirst, first);
    return GpioWrite(kRunLedSecond, second) & done;
}

int BoardIoSetLedUsb(BoardIo* io, int on) {
    BoardIoSetUp(io);
    return GpioWrite(kUsbLed, on == 0 ? 1 : 0);
}

int BoardIoSetLedLiRi(BoardIo* io, int on) {
    BoardIoSetUp(io);
    io->ledLiRi = on;
    return GpioWrite(kLineLed, on == 0 ? 1 : 0);
}

int BoardIoCmd5VModem(BoardIo* io, int value) {
    BoardIoSetUp(io);
    StationLog(LOG_DEBUG, "%d -> 5V", value);
    return GpioWrite(kModem5V, value);
}

int BoardIoCmd3V3Modem(BoardIo* io, int value) {
    BoardIoSetUp(io);
    StationLog(LOG_DEBUG, "%d -> 3V3", value);
    return GpioWrite(kModem3V3, value);
}

int BoardIoCmdResetModem(BoardIo* io, int value) {
    BoardIoSetUp(io);
    StationLog(LOG_DEBUG, "%d -> reset modem", value);
    return GpioWrite(kModemReset, value);
}

int BoardIoShutdown(BoardIo* io) {
    int done = BoardIoSetLedRun(io, 0);
    done &= BoardIoSetLedUsb(io, 0);
    done &= BoardIoSetLedLiRi(io, 0);
    done &= BoardIoCmdResetModem(io, 0);
    done &= BoardIoCmd5VModem(io, 0);
    done &= BoardIoCmd3V3Modem(io, 0);
    return done;
}

int BoardIoGetSW2(BoardIo* io) {
    BoardIoSetUp(io);
    int value = 0;
    return ReadOverride(kSwitch2Override, &value) ? value : GpioRead(kSwitch2);
}

int BoardIoGetSW3(BoardIo* io) {
    BoardIoSetUp(io);
    int value = 0;
    return ReadOverride(kSwitch3Override, &value) ? value : 0;
}

int SetLedRUN(int command) {
    return BoardIoSetLedRun(&g_board, command);
}

int GetLedRUN() {
    return g_board.ledRun;
}

int SetLedUsb(int on) {
    return BoardIoSetLedUsb(&g_board, on);
}

int SetLedLiRi(int on) {
    return BoardIoSetLedLiRi(&g_board, on);
}

int GetLedLiRi() {
    return g_board.ledLiRi;
}

int Cmd5VModem(int value) {
    return BoardIoCmd5VModem(&g_board, value);
}

int Cmd3V3Modem(int value) {
    return BoardIoCmd3V3Modem(&g_board, value);
}

int CmdResetModem(int value) {
    return BoardIoCmdResetModem(&g_board, value);
}

int ShutdownLedAndCmd() {
    return BoardIoShutdown(&g_board);
}

int GetSW2() {
    return BoardIoGetSW2(&g_board);
}

int GetSW3() {
    return BoardIoGetSW3(&g_board);
}

int GetSW1() {
    return 1;
}

int GetORXBASEBoxNumber() {
    return 1;
}

int GetORXBASESlotNumber() {
    return 2;
}

int GetORXBASENo() {
    return 2;
}

int GetORXBASEAddr() {
    return 1;
}

int IsNoORXCOM(int type) {
    return type == 3 || type == 4 ? 1 : 0;
}
