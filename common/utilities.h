// Small general services of the module frame: millisecond sleep and file copy.
#pragma once

// Sleeps ms milliseconds (nothing for ms <= 0); an interrupted sleep starts again.
void WaitMillisecond(int ms);
// Copies source to destination in 512-byte blocks, forcing it to disk when sync is non-zero.
// 0 on success, 1 on failure (logged).
int FileCpySync(const char* source, const char* destination, int sync);
int FileCpy(const char* source, const char* destination);
