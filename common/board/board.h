// The seam between the programs and the board. Every absolute station path (files, devices,
// sysfs, board facts under /proc) is built here: with STATION_ROOT set, the path is taken under
// that directory, so that a whole station can run in a sandbox on a development machine.
#pragma once

#include <string>

// Station path of an absolute board path: "$STATION_ROOT" + path when STATION_ROOT is set and
// not empty, the path itself otherwise. The live process table "/proc/<pid>" and "/proc/self"
// are never prefixed; other board facts under /proc are.
std::string StationPath(const std::string& path);

// The sandbox root, or "" on the board.
std::string StationRoot();
