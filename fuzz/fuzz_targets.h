// The fuzz targets of the replaying binary: each target's entry point under its name.
#pragma once

#include <cstddef>
#include <cstdint>

struct FuzzTarget {
    const char* name;  // the corpus folder's name; nullptr ends the table
    int (*run)(const uint8_t* data, size_t size);
};

extern const FuzzTarget kFuzzTargets[];
