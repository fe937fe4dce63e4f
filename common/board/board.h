// The seam between the programs and the board. Every absolute station path (files, devices,
// sysfs, board facts under /proc) is built here: with STATION_ROOT set, the path is taken under
// that directory, so that a whole station can run in a sandbox on a development machine.
// Module code does not call this for a system call: the wrappers of stationfile.h do.
#pragma once

#include <cstddef>
#include <string>

// Station path of an absolute board path: "$STATION_ROOT" + path when STATION_ROOT is set and
// not empty, the path itself otherwise. The live process table "/proc/<pid>" and "/proc/self"
// are never prefixed; other board facts under /proc are.
std::string StationPath(const std::string& path);

// The same path written into buffer, without allocating. 0, or -1 with errno ENAMETOOLONG when
// it does not fit (terminator included), EFAULT when path or buffer is null.
int StationPathTo(char* buffer, size_t size, const char* path);

// The sandbox root, or "" on the board.
std::string StationRoot();
