// linkkeeper: asks, through the request file "/tmp/BIT403", for a read of the timestamped data
// over the station's permanent link. The file holds the time of the request; the process that
// serves the link reads and deletes it.
#pragma once

#include <cstddef>

#include "serialdebug.h"

constexpr const char* kLinkRequestPath = "/tmp/BIT403";

// Exit statuses.
constexpr int kLinkRequestWritten = 8;
constexpr int kLinkNotEnoughArguments = 101;
constexpr int kLinkCannotCreate = 102;
constexpr int kLinkCannotWrite = 103;

// The request text for the time now: "%8X\n" (9 characters). Returns its length.
int FormatLinkRequest(char* buffer, size_t size);

// Logs each argument, the program name included, as "Argv[%d] = %s" at debug level.
void LogLinkArguments(int argc, char** argv);

// Writes the request file (replacing any, never through a link planted in its place) and traces
// the steps. kLinkRequestWritten, kLinkCannotCreate or kLinkCannotWrite.
int WriteLinkRequest(SerialDebug* trace);
