#include "argdecode.h"

#include <sys/stat.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "logdebug.h"
#include "stationfile.h"
#include "stationlog.h"

namespace {

// Lines of argument files are read into one buffer kept for the life of the process (or until
// FreeArgDecode), grown to the size of the largest file seen.
char* g_lineBuffer = nullptr;
size_t g_lineBufferSize = 0;

struct FileCloser {
    FILE* file;
    ~FileCloser() {
        if (file != nullptr) {
            std::fclose(file);
        }
    }
};

// True when item is "key...=value": copies the value (cut at length characters) into buffer.
bool MatchItem(const char* item, const char* key, char* buffer, int length) {
    const char* equal = std::strchr(item, '=');
    if (equal == nullptr || std::strncmp(item, key, std::strlen(key)) != 0) {
        return false;
    }
    if (buffer != nullptr && length >= 0) {
        std::snprintf(buffer, static_cast<size_t>(length) + 1, "%s", equal + 1);
    }
    return true;
}

// Looks for the key in the lines of an argument file; true on a match.
bool MatchFile(const char* path, const char* key, char* buffer, int length) {
    struct stat info {};
    if (StationStat(path, &info) != 0) {
        StationLog(LOG_ERR, "divers.lib : erreur lecture taille %s=%d", path, errno);
        return false;
    }
    if (info.st_size <= 2) {
        StationLog(LOG_ERR, "divers.lib : taille %s <3", path);
        return false;
    }
    // One more byte than the file, so that a whole line, its end included, fits in one read.
    size_t needed = static_cast<size_t>(info.st_size) + 1;
    if (needed > g_lineBufferSize) {
        char* grown = static_cast<char*>(std::realloc(g_lineBuffer, needed));
        CriticalAssert(grown != nullptr, "erreur allocation", "argdecode", __LINE__);
        g_lineBuffer = grown;
        g_lineBufferSize = needed;
    }
    FileCloser file{StationFopen(path, "r")};
    if (file.file == nullptr) {
        StationLog(LOG_ERR, "divers.lib : erreur lecture %s=%d", path, errno);
        return false;
    }
    while (std::fgets(g_lineBuffer, static_cast<int>(g_lineBufferSize), file.file) != nullptr) {
        if (MatchItem(g_lineBuffer, key, buffer, length)) {
            return true;
        }
    }
    return false;
}

}  // namespace

int GetArgumentStr(int argc, char** argv, const char* key, char* buffer, int length) {
    CriticalAssert(key != nullptr, "pointeur nul", "argdecode", __LINE__);
    if (argc <= 1 || argv == nullptr) {
        return -1;
    }
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        const char* item = argv[i];
        bool found = item[0] == '@' ? MatchFile(item + 1, key, buffer, length)
                                    : MatchItem(item, key, buffer, length);
        if (found) {
            return i;
        }
    }
    return -1;
}

int ValueArgumentDecode(int argc, char** argv, const char* key) {
    char value[20];
    if (GetArgumentStr(argc, argv, key, value, sizeof value - 1) < 0) {
        return -1;
    }
    // Held to the int range: a huge value must not wrap round to a small, valid-looking one.
    long long number = std::strtoll(value, nullptr, 10);
    return static_cast<int>(std::clamp<long long>(number, INT_MIN, INT_MAX));
}

char CharArgumentDecode(int argc, char** argv, const char* key) {
    char value[20];
    if (GetArgumentStr(argc, argv, key, value, sizeof value - 1) < 0) {
        return 0;
    }
    return value[0];
}

void FreeArgDecode() {
    std::free(g_lineBuffer);
    g_lineBuffer = nullptr;
    g_lineBufferSize = 0;
}
