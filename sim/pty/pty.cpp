#include "pty.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <utility>

namespace {

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Waits for `events` on fd until the absolute deadline: true when ready.
bool WaitFor(int fd, short events, long long deadlineMs) {
    for (;;) {
        long long left = deadlineMs - NowMs();
        pollfd waiting{fd, events, 0};
        int ready = poll(&waiting, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready > 0) {
            return true;
        }
        if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
}

}  // namespace

PtyLine::~PtyLine() {
    Close();
}

PtyLine::PtyLine(PtyLine&& other) noexcept {
    *this = std::move(other);
}

PtyLine& PtyLine::operator=(PtyLine&& other) noexcept {
    if (this != &other) {
        Close();
        std::swap(master_, other.master_);
        std::swap(slave_, other.slave_);
        std::swap(slavePath_, other.slavePath_);
        std::swap(linkPath_, other.linkPath_);
    }
    return *this;
}

int PtyLine::Open(const std::string& linkPath) {
    Close();
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master == -1) {
        return -1;
    }
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        int error = errno;
        close(master);
        errno = error;
        return -1;
    }
    int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave == -1) {
        int error = errno;
        close(master);
        errno = error;
        return -1;
    }
    // A fresh pty echoes and edits lines; a serial line does neither.
    termios attributes{};
    if (tcgetattr(slave, &attributes) == 0) {
        cfmakeraw(&attributes);
        attributes.c_cflag |= CREAD | CLOCAL;
        tcsetattr(slave, TCSANOW, &attributes);
    }
    int flags = fcntl(master, F_GETFL);
    fcntl(master, F_SETFL, (flags == -1 ? 0 : flags) | O_NONBLOCK);

    master_ = master;
    slave_ = slave;
    slavePath_ = name;
    if (!linkPath.empty()) {
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(linkPath).parent_path(), ignored);
        unlink(linkPath.c_str());
        if (symlink(name, linkPath.c_str()) != 0) {
            int error = errno;
            Close();
            errno = error;
            return -1;
        }
        linkPath_ = linkPath;
    }
    return 0;
}

void PtyLine::Close() {
    if (!linkPath_.empty()) {
        unlink(linkPath_.c_str());
        linkPath_.clear();
    }
    if (slave_ != -1) {
        close(slave_);
        slave_ = -1;
    }
    if (master_ != -1) {
        close(master_);
        master_ = -1;
    }
    slavePath_.clear();
}

bool PtyLine::Attributes(termios* attributes) const {
    return master_ != -1 && attributes != nullptr && tcgetattr(master_, attributes) == 0;
}

int PtyLine::Baud() const {
    termios attributes{};
    if (!Attributes(&attributes)) {
        return -1;
    }
    switch (cfgetospeed(&attributes)) {
        case B0:
            return 0;
        case B50:
            return 50;
        case B75:
            return 75;
        case B110:
            return 110;
        case B134:
            return 134;
        case B150:
            return 150;
        case B200:
            return 200;
        case B300:
            return 300;
        case B600:
            return 600;
        case B1200:
            return 1200;
        case B1800:
            return 1800;
        case B2400:
            return 2400;
        case B4800:
            return 4800;
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        case B230400:
            return 230400;
        default:
            return -1;
    }
}

bool PtyLine::Write(const void* bytes, size_t count, int timeoutMs) {
    const char* next = static_cast<const char*>(bytes);
    long long deadline = NowMs() + timeoutMs;
    while (count > 0) {
        ssize_t n = write(master_, next, count);
        if (n > 0) {
            next += n;
            count -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        if (!WaitFor(master_, POLLOUT, deadline)) {
            return false;
        }
    }
    return true;
}

ssize_t PtyLine::ReadSome(void* buffer, size_t max, int timeoutMs) {
    if (master_ == -1) {
        errno = EBADF;
        return -1;
    }
    if (!WaitFor(master_, POLLIN, NowMs() + timeoutMs)) {
        return 0;
    }
    ssize_t n = read(master_, buffer, max);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return 0;
    }
    return n;
}

std::string PtyLine::Read(size_t count, int timeoutMs) {
    std::string bytes;
    long long deadline = NowMs() + timeoutMs;
    char chunk[256];
    while (bytes.size() < count) {
        long long left = deadline - NowMs();
        size_t want = std::min(sizeof chunk, count - bytes.size());
        ssize_t n = ReadSome(chunk, want, left > 0 ? static_cast<int>(left) : 0);
        if (n > 0) {
            bytes.append(chunk, static_cast<size_t>(n));
        } else if (n < 0 || left <= 0) {
            break;
        }
    }
    return bytes;
}

std::string PtyLine::ReadUntil(char terminator, size_t max, int timeoutMs) {
    std::string bytes;
    long long deadline = NowMs() + timeoutMs;
    while (bytes.size() < max) {
        long long left = deadline - NowMs();
        char byte = 0;
        ssize_t n = ReadSome(&byte, 1, left > 0 ? static_cast<int>(left) : 0);
        if (n == 1) {
            bytes.push_back(byte);
            if (byte == terminator) {
                break;
            }
        } else if (n < 0 || left <= 0) {
            break;
        }
    }
    return bytes;
}

size_t PtyLine::Discard() {
    size_t discarded = 0;
    char chunk[256];
    for (;;) {
        ssize_t n = master_ == -1 ? -1 : read(master_, chunk, sizeof chunk);
        if (n <= 0) {
            return discarded;
        }
        discarded += static_cast<size_t>(n);
    }
}
