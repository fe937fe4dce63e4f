// The system log of a module. Every log line of every program goes through StationLog: it goes
// to syslog, and with STATION_ROOT set it is also appended to "$STATION_ROOT/var/log/messages"
// as "<priority> <ident>[<pid>]: <text>", so that what a program said can be read back.
#pragma once

#include <syslog.h>

#include <cstdarg>

// Opens the system log under the program's identity (the option and facility of openlog).
void StationOpenLog(const char* ident, int option = LOG_PID, int facility = LOG_USER);

void StationLog(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));
void StationVLog(int priority, const char* format, va_list args);

// Name of a priority as the log copy writes it ("crit", "err", "warning", "info", "debug").
const char* StationPriorityName(int priority);
