#include "board.h"

#include <cctype>
#include <cstdlib>

std::string StationRoot() {
    const char* root = std::getenv("STATION_ROOT");
    return root != nullptr ? std::string(root) : std::string();
}

static bool IsLiveProcessPath(const std::string& path) {
    static const std::string proc = "/proc/";
    if (path.compare(0, proc.size(), proc) != 0) {
        return false;
    }
    const std::string rest = path.substr(proc.size());
    return (!rest.empty() && std::isdigit(static_cast<unsigned char>(rest[0]))) || rest == "self" ||
           rest.compare(0, 5, "self/") == 0;
}

std::string StationPath(const std::string& path) {
    std::string root = StationRoot();
    if (root.empty() || path.empty() || path[0] != '/' || IsLiveProcessPath(path)) {
        return path;
    }
    while (!root.empty() && root.back() == '/') {
        root.pop_back();
    }
    return root + path;
}
