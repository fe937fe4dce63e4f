#include "kit/run.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <random>

namespace simkit {
namespace {

// Process-wide by nature: what a signal handler sets, and the mask the waits let it through with.
volatile sig_atomic_t g_stop = 0;
sigset_t g_waitMask;
bool g_maskSet = false;

void OnStopSignal(int) {
    g_stop = 1;
}

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

}  // namespace

void HoldStopSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int s : kStopSignals) {
        sigaddset(&stopSignals, s);
    }
    sigprocmask(SIG_BLOCK, &stopSignals, &g_waitMask);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    for (int s : kStopSignals) {
        sigdelset(&g_waitMask, s);
        sigaction(s, &action, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);
    g_maskSet = true;
}

bool StopAsked() {
    return g_stop != 0;
}

long long NowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

int Poll(pollfd* fds, size_t count, long long deadlineNs) {
    long long left = deadlineNs - NowNs();
    if (left < 0) {
        left = 0;
    }
    timespec timeout{static_cast<time_t>(left / 1000000000LL),
                     static_cast<long>(left % 1000000000LL)};
    return ppoll(fds, static_cast<nfds_t>(count), &timeout, g_maskSet ? &g_waitMask : nullptr);
}

int WriteStatus(const std::string& path, const char* format, ...) {
    if (path.empty()) {
        return 0;
    }
    std::string temp = path + ".tmp";
    FILE* f = fopen(temp.c_str(), "w");
    if (f == nullptr) {
        return -1;
    }
    va_list args;
    va_start(args, format);
    int written = vfprintf(f, format, args);
    va_end(args);
    if (fclose(f) != 0 || written < 0) {
        return -1;
    }
    return rename(temp.c_str(), path.c_str()) == 0 ? 0 : -1;
}

int ApplyScript(const char* program, const std::string& path,
                const std::function<bool(const std::string& line)>& apply) {
    if (path.empty()) {
        return 0;
    }
    std::ifstream in(path);
    if (!in) {
        fprintf(stderr, "%s: cannot read %s\n", program, path.c_str());
        return -1;
    }
    for (std::string line; std::getline(in, line);) {
        if (!apply(line)) {
            return -1;
        }
    }
    return 0;
}

std::string RandomBytes(size_t count) {
    static std::minstd_rand random(std::random_device{}());
    std::string bytes(count, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random() & 0xFF);
    }
    return bytes;
}

}  // namespace simkit
