// The run of a simulator: stop signals, the clock, waits, the status file, the script.
#pragma once

#include <poll.h>

#include <cstddef>
#include <functional>
#include <string>

namespace simkit {

// Holds the stop signals (SIGTERM, SIGINT, SIGHUP) blocked, so that they come through only inside
// Poll: a stop between a look at StopAsked() and a wait is never missed. SIGPIPE is ignored.
void HoldStopSignals();
// Whether a stop signal came.
bool StopAsked();

// The monotonic clock in nanoseconds.
long long NowNs();

// ppoll on fds until deadlineNs (monotonic; one gone by: no wait), with the stop signals let
// through. ppoll's result.
int Poll(pollfd* fds, size_t count, long long deadlineNs);

// Rewrites the status file with the text (written aside and renamed, so a reader never sees half
// of it). An empty path writes nothing. 0, or -1 with errno set.
int WriteStatus(const std::string& path, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Hands each line of the script file to apply, in order, until it refuses one. An empty path
// applies nothing. 0, or -1 when the file cannot be read (said on standard error after the
// program's name) or a line was refused.
int ApplyScript(const char* program, const std::string& path,
                const std::function<bool(const std::string& line)>& apply);

// count random bytes, for bursts of interference.
std::string RandomBytes(size_t count);

}  // namespace simkit
