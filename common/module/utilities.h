// Small general services of the module frame: millisecond sleep and file copy.
#pragma once

#include <cstddef>

// Sleeps ms milliseconds (nothing for ms <= 0); an interrupted sleep starts again.
void WaitMillisecond(int ms);
// Copies source to destination (board paths) in 512-byte blocks, forcing it to disk when sync is
// non-zero. The destination is replaced whole or not at all and keeps its permissions (0644 for a
// new one). 0 on success, 1 on failure (logged).
int FileCpySync(const char* source, const char* destination, int sync);
int FileCpy(const char* source, const char* destination);
// Writes all count bytes to the descriptor, going on after a signal or a partial write. 0, or
// -1 with errno (write).
int WriteFully(int fd, const void* bytes, size_t count);
