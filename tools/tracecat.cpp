// tracecat: shows the debug trace of a port on a running station. "Port=N" prints what the
// module writes from now on until SIGINT or SIGTERM, waiting for the trace when its module has
// not made it yet and following a trace made anew; "Port=N Dump=1" prints the whole ring,
// oldest text first, and exits. The segment is attached read-only and never locked: the
// module writing it is never disturbed, and tracecat keeps its own reader index.
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "argdecode.h"
#include "clock.h"
#include "serialdebug.h"
#include "stationcore.h"
#include "stationlog.h"
#include "utilities.h"

namespace {

constexpr long kPollNs = 20 * 1000000L;  // how often the write index is looked at
constexpr int kPollsPerCheck = 50;       // how often (in polls) the segment is looked for again

// Exit statuses.
constexpr int kDone = 0;
constexpr int kNoTrace = 1;
constexpr int kBadArguments = 2;
constexpr int kOutputFailed = 3;

volatile sig_atomic_t g_stop = 0;

void OnStop(int) {
    g_stop = 1;
}

struct Arguments {
    int port = 0;
    bool dump = false;
};

// A read-only view of a trace segment, its header checked against the segment's real size.
struct ReadOnlyTrace {
    int id = -1;
    const unsigned char* segment = nullptr;
    const unsigned char* ring = nullptr;
    const volatile int32_t* writeIndex = nullptr;
    int ringSize = 0;

    ReadOnlyTrace() = default;
    ReadOnlyTrace(const ReadOnlyTrace&) = delete;
    ReadOnlyTrace& operator=(const ReadOnlyTrace&) = delete;
    ~ReadOnlyTrace() { Detach(); }
    void Detach() {
        if (segment != nullptr) {
            shmdt(segment);
        }
        id = -1;
        segment = nullptr;
        ring = nullptr;
        writeIndex = nullptr;
        ringSize = 0;
    }
    // The shared write index, or -1 when it is not inside the ring.
    int WriteIndex() const {
        int32_t index = *writeIndex;
        return index >= 0 && index < ringSize ? index : -1;
    }
};

void Complain(const char* format, int value) {
    char text[160];
    std::snprintf(text, sizeof text, format, value);
    std::fprintf(stderr, "tracecat: %s\n", text);
    StationLog(LOG_ERR, "%s", text);
}

// 0, or -1 with errno EINVAL (told on stderr) when there is no port or no trace for it.
int DecodeArguments(int argc, char** argv, Arguments* arguments) {
    char text[20];
    if (GetArgumentStr(argc, argv, "Port", text, sizeof text - 1) < 0) {
        std::fprintf(stderr, "usage: tracecat Port=N [Dump=1]   (N from -1 to 15)\n");
        errno = EINVAL;
        return -1;
    }
    arguments->port = ValueArgumentDecode(argc, argv, "Port");
    arguments->dump = ValueArgumentDecode(argc, argv, "Dump") > 0;
    FreeArgDecode();
    if (SerialDebugSlot(arguments->port) < 0) {
        Complain("no trace for port %d (ports -1 to 15)", arguments->port);
        errno = EINVAL;
        return -1;
    }
    return 0;
}

// Id of the port's trace segment, or -1 while there is none.
int TraceSegmentId(int port) {
    return shmget(corekey::kSerialDebugBase + SerialDebugSlot(port), 0, 0);
}

// A module makes its segment first and writes the header just after: a follower may look in
// between. Set when the header was not a trace's yet, so that the caller may look again.
bool g_headerNotReady = false;

int AttachTrace(int port, ReadOnlyTrace* trace, bool quiet = false) {
    g_headerNotReady = false;
    int slot = SerialDebugSlot(port);
    int id = TraceSegmentId(port);
    if (id < 0) {
        Complain("no trace segment for port %d", port);
        return kNoTrace;
    }
    trace->id = id;
    shmid_ds info{};
    if (shmctl(id, IPC_STAT, &info) != 0 || info.shm_segsz <= kSerialDebugHeaderSize) {
        Complain("trace segment of port %d unreadable", port);
        return kNoTrace;
    }
    void* address = shmat(id, nullptr, SHM_RDONLY);
    if (address == reinterpret_cast<void*>(-1)) {
        Complain("cannot attach the trace of port %d", port);
        return kNoTrace;
    }
    trace->segment = static_cast<const unsigned char*>(address);
    const auto* header = reinterpret_cast<const int32_t*>(address);
    uint32_t marker = static_cast<uint32_t>(header[2]);
    long ringSize = header[0];
    if (marker != kSerialDebugMarker + static_cast<uint32_t>(slot) || ringSize <= 0 ||
        ringSize > static_cast<long>(info.shm_segsz) - kSerialDebugHeaderSize) {
        trace->Detach();
        g_headerNotReady = true;
        if (!quiet) {
            Complain("segment of port %d is not a trace", port);
        }
        return kNoTrace;
    }
    trace->ring = trace->segment + kSerialDebugHeaderSize;
    trace->writeIndex = header + 1;
    trace->ringSize = static_cast<int>(ringSize);
    return kDone;
}

// 0, or -1 with errno (write).
int WriteOut(const unsigned char* bytes, size_t count) {
    return WriteFully(STDOUT_FILENO, bytes, count);
}

// Ring bytes [from, to) without the zeros of a ring never written that far.
int WriteRange(const ReadOnlyTrace& trace, int from, int to) {
    unsigned char block[512];
    size_t used = 0;
    for (int i = from; i < to; ++i) {
        unsigned char byte = trace.ring[i];
        if (byte == 0) {
            continue;
        }
        block[used++] = byte;
        if (used == sizeof block) {
            if (WriteOut(block, used) != 0) {
                return -1;
            }
            used = 0;
        }
    }
    return WriteOut(block, used);
}

int DumpTrace(const ReadOnlyTrace& trace) {
    int write = trace.WriteIndex();
    if (write < 0) {
        Complain("write index out of the ring (%d)", static_cast<int>(*trace.writeIndex));
        return kNoTrace;
    }
    if (WriteRange(trace, write, trace.ringSize) != 0 || WriteRange(trace, 0, write) != 0) {
        return kOutputFailed;
    }
    return kDone;
}

// Sleeps one poll period; a stop signal cuts it short.
void PollPause() {
    timespec pause{0, kPollNs};
    timespec remaining{};
    Clock().Sleep(pause, &remaining);
}

// Waits, as tail -F does for a file, until the port's trace segment exists (or a stop).
void WaitForSegment(int port) {
    bool told = false;
    while (g_stop == 0 && TraceSegmentId(port) < 0) {
        if (!told) {
            std::fprintf(stderr, "tracecat: waiting for the trace of port %d\n", port);
            told = true;
        }
        PollPause();
    }
}

// Shows what is written from now on. When the segment goes away (the station restarted, or it
// was removed by hand) and comes back, the new one is followed from its start.
int FollowTrace(int port) {
    ReadOnlyTrace trace;
    int read = -1;
    bool fresh = false;  // a segment made while following: shown from its start
    for (int polls = 0; g_stop == 0; ++polls) {
        if (trace.segment == nullptr) {
            WaitForSegment(port);
            if (g_stop != 0) {
                break;
            }
            // A segment just made gets its header within a moment: look again for up to a
            // second before calling it something else.
            int status = kNoTrace;
            for (int tries = 1; g_stop == 0; ++tries) {
                status = AttachTrace(port, &trace, tries < kPollsPerCheck);
                if (status == kDone || !g_headerNotReady || tries >= kPollsPerCheck) {
                    break;
                }
                PollPause();
            }
            if (g_stop != 0) {
                break;
            }
            if (status != kDone) {
                return status;
            }
            read = fresh ? 0 : trace.WriteIndex();
        }
        int write = trace.WriteIndex();
        if (write >= 0 && read < 0) {
            read = write;  // the writer came back inside the ring: start from there
        }
        if (write >= 0 && write != read) {
            int written = 0;
            if (write > read) {
                written = WriteOut(trace.ring + read, static_cast<size_t>(write - read));
            } else {
                written = WriteOut(trace.ring + read, static_cast<size_t>(trace.ringSize - read));
                if (written == 0) {
                    written = WriteOut(trace.ring, static_cast<size_t>(write));
                }
            }
            if (written != 0) {
                return kOutputFailed;
            }
            read = write;
        }
        if (polls % kPollsPerCheck == 0 && TraceSegmentId(port) != trace.id) {
            std::fprintf(stderr, "tracecat: the trace of port %d was removed\n", port);
            trace.Detach();
            fresh = true;
            continue;
        }
        PollPause();
    }
    return kDone;
}

void CatchStopSignals() {
    struct sigaction action {};
    action.sa_handler = OnStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a closed output ends the run through a failed write
}

}  // namespace

int main(int argc, char** argv) {
    StationOpenLog("tracecat");
    Arguments arguments;
    if (DecodeArguments(argc, argv, &arguments) != 0) {
        return kBadArguments;
    }
    CatchStopSignals();
    if (!arguments.dump) {
        return FollowTrace(arguments.port);
    }
    ReadOnlyTrace trace;
    int status = AttachTrace(arguments.port, &trace);
    return status != kDone ? status : DumpTrace(trace);
}
