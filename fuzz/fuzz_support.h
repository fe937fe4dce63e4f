// For the fuzz targets: the check of a property, and for those whose input reaches the code
// through a file a throw-away station root, made once per process and removed at exit, and the
// input written as a file.
#pragma once

#include <sched.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fuzzsupport {

// A property that must hold for every input: a crash libFuzzer reports with the input.
inline void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

inline std::string& RootPath() {
    static std::string root;
    return root;
}

inline void RemoveRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(RootPath(), ignored);
}

// The station root (STATION_ROOT points at it), with the station folders the targets use. Made
// in `base`: a target that syncs files per input is faster on a tmpfs ("/dev/shm").
inline const std::string& StationRoot(const char* name, const char* base = "/tmp") {
    std::string& root = RootPath();
    if (root.empty()) {
        std::string pattern = std::string(base) + "/fuzz-" + name + "-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        root = pattern;
        for (const char* dir : {"/etc", "/tmp", "/dev"}) {
            std::filesystem::create_directories(root + dir);
        }
        setenv("STATION_ROOT", root.c_str(), 1);
        std::atexit(RemoveRoot);
    }
    return root;
}

// Gives the process System V keys of its own (a user namespace too when not root), so that what
// a target sends to the core's fixed queues never reaches the host's. Ends the process when the
// kernel refuses: the target must not run on the host's keys.
inline void PrivateIpc() {
    static bool done = false;
    if (done) {
        return;
    }
    if (unshare(CLONE_NEWIPC) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWIPC) != 0) {
        std::perror("unshare");
        std::abort();
    }
    done = true;
}

// Replaces the file with the input; false when it cannot be written.
inline bool WriteInput(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    if (size > 0) {
        std::fwrite(data, 1, size, file);  // an empty input may come with no buffer at all
    }
    return std::fclose(file) == 0;
}

}  // namespace fuzzsupport
