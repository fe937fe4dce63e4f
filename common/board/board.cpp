#include "board.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool IsLiveProcessPath(const char* path) {
    static const char proc[] = "/proc/";
    if (std::strncmp(path, proc, sizeof proc - 1) != 0) {
        return false;
    }
    const char* rest = path + sizeof proc - 1;
    return std::isdigit(static_cast<unsigned char>(rest[0])) || std::strcmp(rest, "self") == 0 ||
           std::strncmp(rest, "self/", 5) == 0;
}

// Length of the root to put before the path: 0 when the path stays as it is. Trailing slashes of
// the root are not counted.
size_t RootLength(const char* root, const char* path) {
    if (root == nullptr || path[0] != '/' || IsLiveProcessPath(path)) {
        return 0;
    }
    size_t length = std::strlen(root);
    while (length > 0 && root[length - 1] == '/') {
        --length;
    }
    return length;
}

}  // namespace

std::string StationRoot() {
    const char* root = std::getenv("STATION_ROOT");
    return root != nullptr ? std::string(root) : std::string();
}

std::string StationPath(const std::string& path) {
    const char* root = std::getenv("STATION_ROOT");
    return std::string(root != nullptr ? root : "", RootLength(root, path.c_str())) + path;
}

int StationPathTo(char* buffer, size_t size, const char* path) {
    if (buffer == nullptr || path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    const char* root = std::getenv("STATION_ROOT");
    size_t rootLength = RootLength(root, path);
    size_t pathLength = std::strlen(path);
    if (rootLength + pathLength >= size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (rootLength > 0) {
        std::memcpy(buffer, root, rootLength);
    }
    std::memcpy(buffer + rootLength, path, pathLength + 1);
    return 0;
}
