// tracecat: shows the debug trace of a port on a running station. "Port=N" prints what the
// module writes from now on until SIGINT or SIGTERM; "Port=N Dump=1" prints the whole ring,
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
    const unsigned char* segment = nullptr;
    const unsigned char* ring = nullptr;
    const volatile int32_t* writeIndex = nullptr;
    int ringSize = 0;

    ~ReadOnlyTrace() {
        if (segment != nullptr) {
            shmdt(segment);
        }
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

bool DecodeArguments(int argc, char** argv, Arguments* arguments) {
    char text[20];
    if (GetArgumentStr(argc, argv, "Port", text, sizeof text - 1) < 0) {
        std::fprintf(stderr, "usage: tracecat Port=N [Dump=1]   (N from -1 to 15)\n");
        return false;
    }
    arguments->port = ValueArgumentDecode(argc, argv, "Port");
    arguments->dump = ValueArgumentDecode(argc, argv, "Dump") > 0;
    FreeArgDecode();
    if (SerialDebugSlot(arguments->port) < 0) {
        Complain("no trace for port %d (ports -1 to 15)", arguments->port);
        return false;
    }
    return true;
}

int AttachTrace(int port, ReadOnlyTrace* trace) {
    int slot = SerialDebugSlot(port);
    int id = shmget(corekey::kSerialDebugBase + slot, 0, 0);
    if (id < 0) {
        Complain("no trace segment for port %d", port);
        return kNoTrace;
    }
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
        Complain("segment of port %d is not a trace", port);
        return kNoTrace;
    }
    trace->ring = trace->segment + kSerialDebugHeaderSize;
    trace->writeIndex = header + 1;
    trace->ringSize = static_cast<int>(ringSize);
    return kDone;
}

bool WriteOut(const unsigned char* bytes, size_t count) {
    return WriteFully(STDOUT_FILENO, bytes, count);
}

// Ring bytes [from, to) without the zeros of a ring never written that far.
bool WriteRange(const ReadOnlyTrace& trace, int from, int to) {
    unsigned char block[512];
    size_t used = 0;
    for (int i = from; i < to; ++i) {
        unsigned char byte = trace.ring[i];
        if (byte == 0) {
            continue;
        }
        block[used++] = byte;
        if (used == sizeof block) {
            if (!WriteOut(block, used)) {
                return false;
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
    bool ok = WriteRange(trace, write, trace.ringSize) && WriteRange(trace, 0, write);
    return ok ? kDone : kOutputFailed;
}

int FollowTrace(const ReadOnlyTrace& trace) {
    int read = trace.WriteIndex();
    while (g_stop == 0) {
        int write = trace.WriteIndex();
        if (write >= 0 && read < 0) {
            read = write;  // the writer came back inside the ring: start from there
        }
        if (write >= 0 && write != read) {
            bool ok = write > read ? WriteOut(trace.ring + read, static_cast<size_t>(write - read))
                                   : WriteOut(trace.ring + read,
                                              static_cast<size_t>(trace.ringSize - read)) &&
                                         WriteOut(trace.ring, static_cast<size_t>(write));
            if (!ok) {
                return kOutputFailed;
            }
            read = write;
        }
        timespec pause{0, kPollNs};
        timespec remaining{};
        Clock().Sleep(pause, &remaining);  // a stop signal cuts it short
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
    if (!DecodeArguments(argc, argv, &arguments)) {
        return kBadArguments;
    }
    CatchStopSignals();
    ReadOnlyTrace trace;
    int status = AttachTrace(arguments.port, &trace);
    if (status != kDone) {
        return status;
    }
    return arguments.dump ? DumpTrace(trace) : FollowTrace(trace);
}
