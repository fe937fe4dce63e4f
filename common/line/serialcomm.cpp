#include "serialcomm.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "clock.h"
#include "logdebug.h"
#include "stationfile.h"
#include "stationlog.h"
#include "utilities.h"
#include "variant.h"

namespace {

const char* const kPortNames[] = {
    "ETH0",         "/dev/ttymxc0", "/dev/ttymxc1", "/dev/orxcom0", "/dev/orxcom1",
    "/dev/orxcom2", "/dev/orxcom3", "/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2",
    "/dev/ttyUSB3", "/dev/ttyUSB4", "/dev/ttyUSB5", "/dev/ttyUSB6", "/dev/ttyUSB7",
};
constexpr int kFirstPort = -1;
constexpr int kLastPortFull = 13;
constexpr int kLastPortShort = 5;  // plcbridge has no USB serial adapters

int LastPort() {
    return ThisProgram().ports == PortTable::SHORT ? kLastPortShort : kLastPortFull;
}

struct Speed {
    int bps;
    speed_t constant;
};
constexpr Speed kSpeeds[] = {
    {0, B0},         {50, B50},       {75, B75},         {110, B110},       {134, B134},
    {150, B150},     {200, B200},     {300, B300},       {600, B600},       {1200, B1200},
    {1800, B1800},   {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
};

constexpr int kWriteRetries = 50;
constexpr int kRetryPauseMs = 100;
constexpr int kFlushDrainMax = 256;

bool ApplyBaud(termios& attributes, int speed) {
    for (const Speed& s : kSpeeds) {
        if (s.bps == speed) {
            cfsetispeed(&attributes, s.constant);
            cfsetospeed(&attributes, s.constant);
            return true;
        }
    }
    StationLog(LOG_ERR, "divers.lib : erreur baud");
    return false;
}

bool ApplyParity(termios& attributes, char parity) {
    switch (parity) {
        case 'N':
            attributes.c_cflag &= ~(PARENB | PARODD | CMSPAR);
            return true;
        case 'E':
            attributes.c_cflag &= ~(PARODD | CMSPAR);
            attributes.c_cflag |= PARENB;
            return true;
        case 'O':
            attributes.c_cflag &= ~CMSPAR;
            attributes.c_cflag |= PARENB | PARODD;
            return true;
        default:
            StationLog(LOG_ERR, "divers.lib : parity error");
            return false;
    }
}

void ApplyDataBits(termios& attributes, int dataBits) {
    tcflag_t size = CS8;
    switch (dataBits) {
        case 5:
            size = CS5;
            break;
        case 6:
            size = CS6;
            break;
        case 7:
            size = CS7;
            break;
        default:
            break;
    }
    attributes.c_cflag = (attributes.c_cflag & ~CSIZE) | size;
}

void ApplyStopBits(termios& attributes, int stopBits) {
    if (stopBits == 2) {
        attributes.c_cflag |= CSTOPB;
    } else {
        attributes.c_cflag &= ~CSTOPB;
    }
}

void ApplyRawProfile(termios& attributes) {
    cfmakeraw(&attributes);
    attributes.c_cflag |= CREAD | CLOCAL;
    attributes.c_cflag &= ~CRTSCTS;
    attributes.c_lflag &= ~(ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN);
    attributes.c_iflag &= ~(IXON | IXOFF | IXANY);
    attributes.c_cc[VMIN] = 0;
    attributes.c_cc[VTIME] = 1;
}

// 0, or -1 with errno (tcgetattr; logged).
int ReadAttributes(int fd, termios& attributes) {
    if (tcgetattr(fd, &attributes) != 0) {
        const int error = errno;
        StationLog(LOG_ERR, "divers.lib : erreur lecture attributs port serie=%d", error);
        errno = error;
        return -1;
    }
    return 0;
}

// Every attribute write is announced with the flag words it is about to set.
void LogFlags(const termios& attributes) {
    StationLog(LOG_DEBUG, "divers.lib : cflag=%04X lflag=%04X iflag=%04X",
               static_cast<unsigned>(attributes.c_cflag), static_cast<unsigned>(attributes.c_lflag),
               static_cast<unsigned>(attributes.c_iflag));
}

// 0, or -1 with errno (tcsetattr; logged).
int WriteAttributes(int fd, const termios& attributes) {
    LogFlags(attributes);
    if (tcsetattr(fd, TCSANOW, &attributes) != 0) {
        const int error = errno;
        StationLog(LOG_ERR, "divers.lib : erreur ecriture attributs port serie=%d", error);
        errno = error;
        return -1;
    }
    return 0;
}

// A cleared record has speed B0, which hangs the line up: start from the line's own speed, so
// that a refused speed leaves it as it was.
void KeepLineSpeed(int fd, termios& attributes) {
    termios current{};
    if (tcgetattr(fd, &current) == 0) {
        cfsetispeed(&attributes, cfgetispeed(&current));
        cfsetospeed(&attributes, cfgetospeed(&current));
    }
}

int SpeedOf(const termios& attributes) {
    speed_t constant = cfgetospeed(&attributes);
    for (const Speed& s : kSpeeds) {
        if (s.constant == constant) {
            return s.bps;
        }
    }
    return 0;
}

}  // namespace

const char* SerialPortName(int port) {
    if (port < kFirstPort || port > LastPort()) {
        return nullptr;
    }
    return kPortNames[port - kFirstPort];
}

int SerialPortNumber(const char* path) {
    if (path == nullptr) {
        return -1;
    }
    for (int port = kFirstPort; port <= LastPort(); ++port) {
        if (std::strcmp(kPortNames[port - kFirstPort], path) == 0) {
            return port;
        }
    }
    return -1;
}

int SerialPortAvailable(int port) {
    // -1 names the Ethernet link ("ETH0"): a name, not a device to open.
    const char* name = port >= 0 ? SerialPortName(port) : nullptr;
    if (name == nullptr) {
        StationLog(LOG_ERR, "no peripherique for %d", port);
        return 0;
    }
    int fd = StationOpen(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_SYNC | O_CLOEXEC);
    if (fd == -1) {
        int error = errno;
        StationLog(LOG_ERR, "error open %s (%d)=%s", name, port, std::strerror(error));
        return 0;
    }
    close(fd);
    return 1;
}

int SerialWaitPort(int port, int limitSeconds) {
    long start = GetUptime();
    int failures = 0;
    for (;;) {
        if (SerialPortAvailable(port) == 1) {
            return 1;
        }
        if (GetUptime() > start + limitSeconds) {
            return 0;
        }
        WaitMillisecond(failures * 100 + 50);
        if (failures < 10) {
            ++failures;
        }
    }
}

int SerialOpen(const char* path, int speed, char parity, int dataBits, int stopBits) {
    if (path == nullptr) {
        StationLog(LOG_ERR, "divers.lib : erreur ouverture port serie %s : %d", "(null)", EINVAL);
        errno = EINVAL;
        return -1;
    }
    // Descriptor 0 is a port like any other: a program started with its standard input
    // closed gets it.
    int fd = StationOpen(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) {
        int error = errno;
        StationLog(LOG_ERR, "divers.lib : erreur ouverture port serie %s : %d", path, error);
        errno = error;
        return -1;
    }
    termios attributes{};
    attributes.c_cflag = CREAD | CLOCAL;
    attributes.c_cc[VMIN] = 0;
    attributes.c_cc[VTIME] = 1;
    KeepLineSpeed(fd, attributes);
    ApplyBaud(attributes, speed);
    ApplyParity(attributes, parity);
    ApplyDataBits(attributes, dataBits);
    ApplyStopBits(attributes, stopBits);
    WriteAttributes(fd, attributes);
    return fd;
}

void SerialConfigure(const char* path, int speed, char parity, int dataBits, int stopBits,
                     int flowControl) {
    int fd = StationOpen(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_SYNC | O_CLOEXEC);
    CriticalAssert(fd != -1, "serial port open ", "serialcomm", __LINE__);
    WaitMillisecond(100);
    termios attributes{};
    ApplyRawProfile(attributes);
    KeepLineSpeed(fd, attributes);
    ApplyBaud(attributes, speed);
    ApplyDataBits(attributes, dataBits);
    ApplyParity(attributes, parity);
    ApplyStopBits(attributes, stopBits);
    WriteAttributes(fd, attributes);
    WaitMillisecond(100);
    SerialSetFlowControl(fd, flowControl);
    StationLog(LOG_DEBUG, "%s : Baud=%d Data=%d Parity=%c Stop=%d Flux=%d", path, speed, dataBits,
               parity, stopBits, flowControl);
    close(fd);
    WaitMillisecond(100);
}

int SerialReconfigure(int fd, int speed, char parity, int dataBits, int stopBits) {
    termios attributes{};
    if (ReadAttributes(fd, attributes) != 0) {
        return 0;
    }
    ApplyRawProfile(attributes);
    bool accepted = ApplyBaud(attributes, speed);
    accepted = ApplyParity(attributes, parity) && accepted;
    if (!accepted) {
        return 0;
    }
    ApplyDataBits(attributes, dataBits);
    ApplyStopBits(attributes, stopBits);
    return WriteAttributes(fd, attributes) == 0 ? 1 : 0;
}

int SerialSetBaud(int fd, int speed) {
    termios attributes{};
    if (ReadAttributes(fd, attributes) != 0 || !ApplyBaud(attributes, speed)) {
        return 0;
    }
    return WriteAttributes(fd, attributes) == 0 ? 1 : 0;
}

int SerialSetParity(int fd, char parity) {
    termios attributes{};
    if (ReadAttributes(fd, attributes) != 0 || !ApplyParity(attributes, parity)) {
        return 0;
    }
    return WriteAttributes(fd, attributes) == 0 ? 1 : 0;
}

int SerialSetDataBits(int fd, int dataBits) {
    termios attributes{};
    if (ReadAttributes(fd, attributes) != 0) {
        return 0;
    }
    ApplyDataBits(attributes, dataBits);
    return WriteAttributes(fd, attributes) == 0 ? 1 : 0;
}

int SerialSetStopBits(int fd, int stopBits) {
    termios attributes{};
    if (ReadAttributes(fd, attributes) != 0) {
        return 0;
    }
    ApplyStopBits(attributes, stopBits);
    return WriteAttributes(fd, attributes) == 0 ? 1 : 0;
}

int SerialSetSilence(int fd, int milliseconds) {
    termios attributes{};
    if (ReadAttributes(fd, attributes) != 0) {
        return 0;
    }
    // VTIME is one byte of tenths: longer silences are held at 25.5 s rather than wrapped to a
    // short (or no) time-out.
    int tenths = milliseconds <= 0 ? 0 : milliseconds / 100 + (milliseconds % 100 != 0 ? 1 : 0);
    if (tenths > 255) {
        tenths = 255;
    }
    attributes.c_cc[VMIN] = 0;
    attributes.c_cc[VTIME] = static_cast<cc_t>(tenths);
    StationLog(LOG_DEBUG, "divers.lib : temps de silence=%d 1/10s", tenths);
    return WriteAttributes(fd, attributes) == 0 ? 1 : 0;
}

int SerialSetFlowControl(int fd, int flag) {
    termios attributes{};
    if (ReadAttributes(fd, attributes) != 0) {
        return 0;
    }
    if (flag != 0) {
        attributes.c_cflag |= CRTSCTS;
    } else {
        attributes.c_cflag &= ~CRTSCTS;
    }
    const bool written = WriteAttributes(fd, attributes) == 0;
    StationLog(LOG_DEBUG, "divers.lib : ctrl flux CTS/RTS=%d",
               (attributes.c_cflag & CRTSCTS) != 0 ? 1 : 0);
    return written ? 1 : 0;
}

int SerialGetFlowControl(int fd) {
    termios attributes{};
    if (ReadAttributes(fd, attributes) != 0) {
        return 0;
    }
    return (attributes.c_cflag & CRTSCTS) != 0 ? 1 : 0;
}

int SerialSetNonBlocking(int fd) {
    if (fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
        StationLog(LOG_ERR, "divers.lib: erreur ecriture mode blocant");
        return 0;
    }
    return 1;
}

int SerialSetBlocking(int fd, int flag) {
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1) {
        StationLog(LOG_ERR, "divers.lib: erreur ecriture mode blocant");
        return 0;
    }
    if (flag != 0) {
        flags &= ~O_NONBLOCK;
    } else {
        flags |= O_NONBLOCK;
    }
    StationLog(LOG_DEBUG, "divers.lib : mode blocant=%d", flag != 0 ? 1 : 0);
    if (fcntl(fd, F_SETFL, flags) != 0) {
        StationLog(LOG_ERR, "divers.lib: erreur ecriture mode blocant");
        return 0;
    }
    return 1;
}

int SerialWrite(int fd, const void* buffer, int length) {
    if (length <= 0) {
        return 0;
    }
    if (buffer == nullptr) {
        StationLog(LOG_ERR, "divers.lib : SerialWrite error=%d", EINVAL);
        errno = EINVAL;
        return -1;
    }
    const char* next = static_cast<const char*>(buffer);
    int remaining = length;
    int failures = 0;
    while (remaining > 0) {
        ssize_t written = write(fd, next, static_cast<size_t>(remaining));
        int error = errno;
        LogDebug("Emis=%d Lng=%d", static_cast<int>(written), length);
        if (written > 0) {
            next += written;
            remaining -= static_cast<int>(written);
            continue;
        }
        // A write that moves nothing is a stall like a full queue, so it is bounded the same way.
        if (++failures > kWriteRetries) {
            StationLog(LOG_ERR, "divers.lib : SerialWrite depassement Temps");
            errno = ETIMEDOUT;
            return -1;
        }
        if (written < 0) {
            if (error == EINTR) {
                StationLog(LOG_DEBUG, "divers.lib : SerialWrite interrupted by signal");
            } else if (error == EAGAIN) {
                // The short port table is plcbridge's build, which also traces this case.
                if (ThisProgram().ports == PortTable::SHORT) {
                    LogDebug("divers.lib : SerialWrite interrupted by EAGAIN");
                }
            } else {
                StationLog(LOG_ERR, "divers.lib : SerialWrite error=%d", error);
                errno = error;
                return -1;
            }
        }
        WaitMillisecond(kRetryPauseMs);
    }
    return 0;
}

int SerialWriteRts(int fd, const void* buffer, int length) {
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) != 0) {
        StationLog(LOG_ERR, "divers.lib : erreur dans commande rts=%d", errno);
    } else {
        lines |= TIOCM_RTS;
        if (ioctl(fd, TIOCMSET, &lines) != 0) {
            StationLog(LOG_ERR, "divers.lib : erreur dans commande rts=%d", errno);
        }
    }
    int result = SerialWrite(fd, buffer, length);
    if (result == 0) {
        // Wait for the last stop bit before turning the line round. The bound is the time the
        // frame takes at the line's speed (11 bits a byte) with a margin, so a status register
        // that never reports empty cannot hold the program.
        termios attributes{};
        int speed = tcgetattr(fd, &attributes) == 0 ? SpeedOf(attributes) : 0;
        long long boundMs =
            200 + (speed > 0 ? static_cast<long long>(length) * 11 * 1000 / speed : 1000);
        long long deadline = MonotonicMs() + boundMs;
        for (;;) {
            unsigned int status = 0;
            if (ioctl(fd, TIOCSERGETLSR, &status) != 0) {
                StationLog(LOG_ERR, "divers.lib : ioctl error=%d", errno);
                break;
            }
            if ((status & TIOCSER_TEMT) != 0 || MonotonicMs() >= deadline) {
                break;
            }
            WaitMillisecond(1);
        }
    }
    if (ioctl(fd, TIOCMGET, &lines) == 0) {
        lines &= ~TIOCM_RTS;
        if (ioctl(fd, TIOCMSET, &lines) != 0) {
            StationLog(LOG_ERR, "divers.lib : erreur dans commande rts=%d", errno);
        }
    }
    return result;
}

int SerialReadChar(int fd) {
    unsigned char byte = 0;
    if (read(fd, &byte, 1) == 1) {
        return byte;
    }
    WaitMillisecond(kRetryPauseMs);
    return -1;
}

int SerialFlush(int fd) {
    if (tcflush(fd, TCIFLUSH) == 0) {
        return 0;
    }
    // Not a terminal (or the driver refuses): drain by hand, never waiting for more input.
    int drained = 0;
    int result = 0;
    int error = 0;
    for (;;) {
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, 0) != 1 || (waiting.revents & POLLIN) == 0) {
            break;
        }
        unsigned char byte = 0;
        ssize_t n = read(fd, &byte, 1);
        if (n != 1) {
            if (n < 0 && errno != EAGAIN) {
                error = errno;
                StationLog(LOG_ERR, "divers.lib : error in flush (%d)", error);
                result = -1;
            }
            break;
        }
        if (++drained >= kFlushDrainMax) {
            StationLog(LOG_ERR, "divers.lib : too many byte received before flush");
            error = EAGAIN;  // input keeps coming faster than it can be drained
            result = -1;
            break;
        }
    }
    if (drained > 0) {
        StationLog(LOG_ERR, "divers.lib: flush receive : %d byte", drained);
    }
    if (result != 0) {
        errno = error;
    }
    return result;
}

int SerialGetCD(int fd) {
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) != 0) {
        StationLog(LOG_ERR, "divers.lib : erreur lecture CD=%d", errno);
        return 0;
    }
    return (lines & TIOCM_CD) != 0 ? 1 : 0;
}

int SerialGetRI(int fd) {
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) != 0) {
        StationLog(LOG_ERR, "divers.lib : erreur lecture RI=%d", errno);
        return 0;
    }
    return (lines & TIOCM_RI) != 0 ? 1 : 0;
}

int SerialSetDTR(int fd, int flag) {
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) != 0) {
        StationLog(LOG_ERR, "divers.lib : erreur dans commande dtr=%d", errno);
        return 0;
    }
    int state = flag == 1 ? 1 : 0;
    if (state != 0) {
        lines |= TIOCM_DTR;
    } else {
        lines &= ~TIOCM_DTR;
    }
    LogDebug("divers.lib : %d ->DTR ", state);
    if (ioctl(fd, TIOCMSET, &lines) != 0) {
        StationLog(LOG_ERR, "divers.lib : erreur dans commande dtr=%d", errno);
        return 0;
    }
    return 1;
}

int SerialSetLocal(int fd, int flag) {
    termios attributes{};
    if (tcgetattr(fd, &attributes) != 0) {
        StationLog(LOG_ERR, "divers.lib : erreur dans lecture cflag :%d", errno);
        return 0;
    }
    tcflag_t old = attributes.c_cflag;
    if (flag != 0) {
        attributes.c_cflag |= CLOCAL;
    } else {
        attributes.c_cflag &= ~CLOCAL;
    }
    LogFlags(attributes);
    if (tcsetattr(fd, TCSANOW, &attributes) != 0) {
        StationLog(LOG_ERR, "divers.lib: erreur dans ecriture cflag :%d", errno);
        return 0;
    }
    StationLog(LOG_DEBUG, "divers.lib changement CLOCAL (Old=%X,New=%X)",
               static_cast<unsigned>(old), static_cast<unsigned>(attributes.c_cflag));
    return 1;
}

int SerialRs485AutoRts() {
    static const char kRelease[] = "/proc/sys/kernel/osrelease";
    FILE* file = StationFopen(kRelease, "re");
    if (file == nullptr) {
        StationLog(LOG_ERR, "erreur ouverture /proc/sys/kernel/osrelease = %d", errno);
        return 0;
    }
    char release[128] = {};
    errno = 0;
    bool read = std::fgets(release, sizeof release, file) != nullptr;
    int error = errno;
    std::fclose(file);
    if (!read) {
        StationLog(LOG_ERR, "erreur lecture /proc/version = %d", error);
        return 0;
    }
    release[std::strcspn(release, "\n")] = '\0';
    StationLog(LOG_DEBUG, "Verification du support du RS485 dans le noyau %s", release);

    struct Part {
        const char* delimiters;
        const char* missing;
        int value;
    } parts[] = {
        {".", "Kernel Version not available", 0},
        {".", "Kernel PatchLevel not available", 0},
        {"-", "Kernel Sublevel not available", 0},
        {"-", "Kernel Extraversion not available", 0},
    };
    char* rest = nullptr;
    char* text = release;
    for (Part& part : parts) {
        char* token = strtok_r(text, part.delimiters, &rest);
        text = nullptr;
        if (token == nullptr) {
            StationLog(LOG_ERR, "%s", part.missing);
            return 0;
        }
        part.value = std::atoi(token);
    }
    bool automatic =
        parts[0].value > 1 && parts[1].value > 5 && parts[2].value > 30 && parts[3].value > 68;
    StationLog(LOG_DEBUG,
               automatic ? "Gestion RTS du RS485 automatique\n" : "Gestion RTS du RS485 manuel\n");
    return automatic ? 1 : 0;
}
