// Verbose logging and the fatal stop of a module.
#pragma once

// Verbose level read from "/var/run/" + name + ".debug" (0 when absent or unreadable); it
// becomes the process-wide level that LogDebug tests.
int IsDebug(const char* name);
// The process-wide verbose level (0 = off).
int DebugLevel();
// Sends the message to the system log at debug priority when the verbose level is non-zero.
void LogDebug(const char* format, ...) __attribute__((format(printf, 1, 2)));

// When condition is false: logs "%s a la ligne No %d du fichier %s " at critical priority
// (message, line, file), syncs the file systems and aborts.
void CriticalAssert(bool condition, const char* message, const char* file, int line);
