#include "sandbox.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

static bool WriteProcFile(const char* path, const std::string& text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

bool EnterTestNamespaces() {
    uid_t uid = geteuid();
    gid_t gid = getegid();
    int flags = CLONE_NEWIPC | CLONE_NEWNS;
    if (uid != 0) {
        flags |= CLONE_NEWUSER;
    }
    if (unshare(flags) != 0) {
        std::perror("unshare");
        return false;
    }
    if (uid != 0) {
        WriteProcFile("/proc/self/setgroups", "deny");
        WriteProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        WriteProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    }
    // Mounts made by a test (the USB key's bind mount) stay inside its namespace.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::perror("mount private");
        return false;
    }
    return true;
}

bool EnterNetworkNamespace() {
    if (unshare(CLONE_NEWNET) != 0) {
        std::perror("unshare network");
        return false;
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("socket");
        return false;
    }
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "lo");
    bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    if (!up) {
        std::perror("loopback up");
    }
    close(fd);
    return up;
}

Sandbox::Sandbox() {
    std::string base = (fs::temp_directory_path() / "station-XXXXXX").string();
    if (mkdtemp(base.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    root_ = base;
    for (const char* dir : {"etc", "tmp", "var/run", "var/log", "var/parameters", "var/nonvolatile",
                            "dev", "proc/sys/kernel", "sys/class/gpio"}) {
        fs::create_directories(fs::path(root_) / dir);
    }
    setenv("STATION_ROOT", root_.c_str(), 1);
}

Sandbox::~Sandbox() {
    unsetenv("STATION_ROOT");
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

std::string Sandbox::Path(const std::string& stationPath) const {
    return stationPath.empty() || stationPath[0] != '/' ? root_ + "/" + stationPath
                                                        : root_ + stationPath;
}

void Sandbox::WriteFile(const std::string& stationPath, const std::string& contents) const {
    fs::path path(Path(stationPath));
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

std::string Sandbox::ReadFile(const std::string& stationPath) const {
    std::ifstream in(Path(stationPath), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Sandbox::Exists(const std::string& stationPath) const {
    return fs::exists(fs::symlink_status(Path(stationPath)));
}

std::string Sandbox::Log() const {
    return ReadFile("/var/log/messages");
}

std::vector<std::string> Sandbox::LogLines() const {
    std::vector<std::string> lines;
    std::istringstream in(Log());
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool Sandbox::LogHas(const std::string& text, const std::string& priority) const {
    for (const std::string& line : LogLines()) {
        size_t colon = line.find("]: ");
        if (colon == std::string::npos || line.compare(colon + 3, std::string::npos, text) != 0) {
            continue;
        }
        if (priority.empty() || line.compare(0, priority.size() + 1, priority + " ") == 0) {
            return true;
        }
    }
    return false;
}

SmallFileSystem::SmallFileSystem(const Sandbox& box, const std::string& stationPath,
                                 const char* size)
    : dir_(box.Path(stationPath)) {
    fs::create_directories(dir_);
    std::string options = std::string("size=") + size;
    mounted_ = mount("tmpfs", dir_.c_str(), "tmpfs", 0, options.c_str()) == 0;
    if (!mounted_) {
        std::perror("mount tmpfs");
    }
}

SmallFileSystem::~SmallFileSystem() {
    if (mounted_) {
        umount2(dir_.c_str(), MNT_DETACH);
    }
}

void SmallFileSystem::Fill() const {
    int fd = open((dir_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    std::string block(4096, 'f');
    while (fd >= 0 && write(fd, block.data(), block.size()) > 0) {
    }
    if (fd >= 0) {
        close(fd);
    }
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string ProgramPath(const std::string& name) {
    return std::string(STATION_BIN_DIR) + "/" + name;
}

std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string SourcePath(const std::string& relative) {
    return std::string(STATION_SOURCE_DIR) + "/" + relative;
}
