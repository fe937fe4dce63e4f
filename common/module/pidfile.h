// Pid files "/var/run/" + name + ".pid": how a resident process says it is up.
#pragma once

#include <csignal>
#include <ctime>

// 0, or 1 after logging the failure.
int WritePidFile(const char* name);
// Waits (at most 300 s of uptime) for a pid file naming a live process: the pid, or -1. A
// signal that interrupts the wait (one the module catches to stop) gives -1 at once, with errno
// EINTR.
int WaitPidFile(const char* name);
// The same, also ending with -1 and errno EINTR once *stop is set. The flag is looked at before
// every sleep, so a signal that lands just before a sleep starts (and so does not cut it) stops
// the wait within that one second instead of being missed for the rest of the wait.
int WaitPidFile(const char* name, const volatile sig_atomic_t* stop);
// Modification time of the pid file, waiting up to 60 s for it to exist; 0 on failure.
time_t GetPidFileDate(const char* name);
int IsPidFile(const char* name);
void DeletePidFile(const char* name);
