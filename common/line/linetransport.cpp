// The line transport's operations and its tty backend over the serial port layer.
#include "linetransport.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "clock.h"
#include "serialcomm.h"
#include "stationfile.h"

namespace {

int Fail(int error) {
    errno = error;
    return -1;
}

// ---- tty backend ----------------------------------------------------------------------------

// A wait for the first byte costs a poll and then a read: two system calls, each a good part of a
// wake-up's cost on a small board. A read on a blocking descriptor with the terminal's timer set
// (VMIN 0, VTIME t: a read returns at the first byte, or with nothing after t tenths of a second)
// does the same in one. The line's descriptor stays non-blocking, since a send must never hang on
// a full output queue, so such reads go through a second descriptor of the same terminal.
void OpenWaitingReads(Line* line, const char* device) {
    line->waitFd = -1;
    line->waitMs = 0;
    termios attributes{};
    if (tcgetattr(line->fd, &attributes) != 0 || attributes.c_cc[VMIN] != 0 ||
        attributes.c_cc[VTIME] == 0) {
        return;
    }
    int fd = StationOpen(device, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return;  // the poll and read still work
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return;
    }
    line->waitFd = fd;
    line->waitMs = attributes.c_cc[VTIME] * 100;
}

int TtyOpen(Line* line, const LineProfile& profile) {
    int fd = SerialOpen(profile.device, profile.speed, profile.parity, profile.dataBits,
                        profile.stopBits);
    if (fd < 0) {
        return -1;
    }
    tcflush(fd, TCIOFLUSH);
    line->fd = fd;
    OpenWaitingReads(line, profile.device);
    if (profile.rs485) {
        if (SerialRs485AutoRts() == 1) {
            line->rs485 = LineRs485::kKernel;
            serial_rs485 rs485{};
            rs485.flags = SER_RS485_ENABLED;
            if (ioctl(fd, TIOCSRS485, &rs485) != 0) {
                line->rs485Error = errno;
            }
        } else {
            // A device whose modem lines cannot be read has no RTS to turn the line round
            // with: sends go out plainly instead of failing three requests each.
            int lines = 0;
            if (ioctl(fd, TIOCMGET, &lines) == 0) {
                line->rs485 = LineRs485::kRts;
                lines &= ~TIOCM_RTS;
                ioctl(fd, TIOCMSET, &lines);
            } else {
                line->rs485Error = errno;
            }
        }
    }
    return 0;
}

int TtySend(Line* line, const uint8_t* bytes, int length) {
    return line->rs485 == LineRs485::kRts ? SerialWriteRts(line->fd, bytes, length)
                                          : SerialWrite(line->fd, bytes, length);
}

long long Remaining(long long deadlineMs) {
    long long remaining = deadlineMs - MonotonicMs();
    return remaining > 0 ? remaining : 0;
}

// Gathering sleeps rather than polls: the terminal wakes a poller at every character whatever
// VMIN says (poll only reports readiness at VMIN bytes, when VTIME is 0), so a poll cannot wait
// for several characters without a wake-up for each.
int TtyReceive(Line* line, uint8_t* buffer, int size, long long deadlineMs) {
    bool timerUsed = false;
    for (;;) {
        if (!line->readAgain) {
            // While bytes keep coming, the next ones are gathered without waiting for the first.
            if (line->gatherMs <= 0 || !line->streaming) {
                long long wait = Remaining(deadlineMs);
                // The terminal's timer when the deadline is no nearer than it, once: a silent
                // line then waits out the rest in one poll rather than in one read per period.
                if (line->gatherMs <= 0 && line->waitFd >= 0 && !timerUsed &&
                    wait >= line->waitMs) {
                    timerUsed = true;
                    ssize_t n = read(line->waitFd, buffer, static_cast<size_t>(size));
                    if (n > 0) {
                        line->readAgain = n == size;
                        line->streaming = true;
                        return static_cast<int>(n);
                    }
                    if (n < 0) {
                        return -1;
                    }
                    // Nothing: the timer ran out, or the other side hung up (which the poll
                    // below reports at once).
                    continue;
                }
                pollfd waiting{line->fd, POLLIN, 0};
                int ready = poll(&waiting, 1, static_cast<int>(wait < INT_MAX ? wait : INT_MAX));
                if (ready < 0) {
                    return -1;
                }
                if (ready == 0) {
                    return 0;
                }
            }
            if (line->gatherMs > 0) {
                long long wait = Remaining(deadlineMs);
                wait = line->gatherMs < wait ? line->gatherMs : wait;
                timespec delay{static_cast<time_t>(wait / 1000),
                               static_cast<long>(wait % 1000) * 1000000L};
                Clock().Sleep(delay, nullptr);
            }
        }
        line->readAgain = false;
        ssize_t n = read(line->fd, buffer, static_cast<size_t>(size));
        if (n > 0) {
            // A full buffer may have left bytes behind: the next receive reads at once.
            line->readAgain = n == size;
            line->streaming = true;
            return static_cast<int>(n);
        }
        line->streaming = false;
        if (n == 0) {
            // End of file on a terminal: the other side hung up.
            return Fail(EIO);
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return -1;
        }
        if (Remaining(deadlineMs) == 0) {
            return 0;
        }
    }
}

int TtyFlush(Line* line) {
    line->readAgain = false;
    line->streaming = false;
    return SerialFlush(line->fd);
}

void TtyClose(Line* line) {
    close(line->fd);
    line->fd = -1;
    if (line->waitFd >= 0) {
        close(line->waitFd);
        line->waitFd = -1;
    }
}

}  // namespace

const LineBackend kTtyLine = {"tty", TtyOpen, TtySend, TtyReceive, TtyFlush, TtyClose};

long long LineDeadline(int milliseconds) {
    return MonotonicMs() + milliseconds;
}

int LineOpen(Line* line, const LineProfile& profile) {
    if (line->open) {
        return Fail(EBUSY);
    }
    if (profile.device == nullptr || profile.device[0] == '\0' || profile.gatherMs < 0) {
        return Fail(EINVAL);
    }
    line->fd = -1;
    line->waitFd = -1;
    line->rs485 = LineRs485::kNone;
    line->rs485Error = 0;
    line->gatherMs = profile.gatherMs;
    line->readAgain = false;
    line->streaming = false;
    line->heldStart = line->heldEnd = 0;
    if (line->backend->open(line, profile) != 0) {
        return -1;
    }
    line->open = true;
    return 0;
}

int LineSend(Line* line, const void* bytes, int length) {
    if (!line->open) {
        return Fail(EBADF);
    }
    if (length < 0 || (bytes == nullptr && length > 0)) {
        return Fail(EINVAL);
    }
    if (length == 0) {
        return 0;
    }
    return line->backend->send(line, static_cast<const uint8_t*>(bytes), length);
}

int LineReceive(Line* line, void* buffer, int size, long long deadlineMs) {
    if (!line->open) {
        return Fail(EBADF);
    }
    if (buffer == nullptr || size < 1) {
        return Fail(EINVAL);
    }
    if (line->heldStart < line->heldEnd) {
        int n = line->heldEnd - line->heldStart;
        n = n < size ? n : size;
        memcpy(buffer, line->held + line->heldStart, static_cast<size_t>(n));
        line->heldStart += n;
        return n;
    }
    return line->backend->receive(line, static_cast<uint8_t*>(buffer), size, deadlineMs);
}

int LineReceiveUntil(Line* line, void* buffer, int size, long long deadlineMs, int silenceMs,
                     int end) {
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    int count = 0;
    while (count < size) {
        long long until = deadlineMs;
        if (count > 0 && silenceMs > 0) {
            long long quiet = MonotonicMs() + silenceMs;
            until = quiet < deadlineMs ? quiet : deadlineMs;
        }
        // Past an end byte at most kHeldMax bytes can then come in one receive: they all fit the
        // kept bytes.
        int ask = size - count;
        if (end >= 0 && ask > line::kHeldMax + 1) {
            ask = line::kHeldMax + 1;
        }
        bool fromHeld = line->heldStart < line->heldEnd;
        int n = LineReceive(line, bytes + count, ask, until);
        if (n < 0) {
            return count > 0 ? count : -1;
        }
        if (n == 0) {
            return count;
        }
        if (end >= 0) {
            const void* found = memchr(bytes + count, end, static_cast<size_t>(n));
            if (found != nullptr) {
                int upTo = static_cast<int>(static_cast<const uint8_t*>(found) - bytes) + 1;
                int extra = count + n - upTo;
                if (fromHeld) {
                    // They came from the kept bytes and are still there, just before heldStart.
                    line->heldStart -= extra;
                } else {
                    memcpy(line->held, bytes + upTo, static_cast<size_t>(extra));
                    line->heldStart = 0;
                    line->heldEnd = extra;
                }
                return upTo;
            }
        }
        count += n;
    }
    return count;
}

int LineReceiveAnswer(Line* line, void* buffer, int size, long long firstDeadlineMs, int silenceMs,
                      long long deadlineMs) {
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    int count =
        LineReceive(line, bytes, size, firstDeadlineMs < deadlineMs ? firstDeadlineMs : deadlineMs);
    while (count > 0 && count < size) {
        long long quiet = MonotonicMs() + silenceMs;
        int n =
            LineReceive(line, bytes + count, size - count, quiet < deadlineMs ? quiet : deadlineMs);
        if (n <= 0) {
            break;
        }
        count += n;
    }
    return count;
}

void LineSetGather(Line* line, int milliseconds) {
    line->gatherMs = milliseconds > 0 ? milliseconds : 0;
}

int LineFlush(Line* line) {
    if (!line->open) {
        return Fail(EBADF);
    }
    line->heldStart = line->heldEnd = 0;
    return line->backend->flush(line);
}

void LineClose(Line* line) {
    if (!line->open) {
        return;
    }
    line->backend->close(line);
    line->open = false;
    line->heldStart = line->heldEnd = 0;
}
