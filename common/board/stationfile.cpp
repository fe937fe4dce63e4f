#include "stationfile.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "board.h"

namespace {

// A station path on the stack: the wrappers allocate nothing, so that drivers may use them in
// their steady-state loops (sysfs lights, for one).
struct Path {
    char text[PATH_MAX];
    bool ok;
    explicit Path(const char* board) : ok(StationPathTo(text, sizeof text, board) == 0) {}
};

// Descriptor of the directory that holds a station path, for syncing it.
int OpenDirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    return open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace

void UniqueFd::Reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) {
        close(fd_);
    }
    fd_ = fd;
}

int UniqueFd::Close() {
    int fd = Release();
    return fd < 0 ? 0 : close(fd);
}

int StationOpen(const char* path, int flags, mode_t mode) {
    Path p(path);
    return p.ok ? open(p.text, flags, mode) : -1;
}

FILE* StationFopen(const char* path, const char* mode) {
    Path p(path);
    return p.ok ? std::fopen(p.text, mode) : nullptr;
}

DIR* StationOpendir(const char* path) {
    Path p(path);
    return p.ok ? opendir(p.text) : nullptr;
}

int StationStat(const char* path, struct stat* info) {
    Path p(path);
    return p.ok ? stat(p.text, info) : -1;
}

int StationLstat(const char* path, struct stat* info) {
    Path p(path);
    return p.ok ? lstat(p.text, info) : -1;
}

int StationStatfs(const char* path, struct statfs* info) {
    Path p(path);
    return p.ok ? statfs(p.text, info) : -1;
}

int StationAccess(const char* path, int mode) {
    Path p(path);
    return p.ok ? access(p.text, mode) : -1;
}

int StationMkdir(const char* path, mode_t mode) {
    Path p(path);
    return p.ok ? mkdir(p.text, mode) : -1;
}

int StationRmdir(const char* path) {
    Path p(path);
    return p.ok ? rmdir(p.text) : -1;
}

int StationUnlink(const char* path) {
    Path p(path);
    return p.ok ? unlink(p.text) : -1;
}

int StationTruncate(const char* path, off_t length) {
    Path p(path);
    return p.ok ? truncate(p.text, length) : -1;
}

int StationChdir(const char* path) {
    Path p(path);
    return p.ok ? chdir(p.text) : -1;
}

int StationRename(const char* from, const char* to) {
    Path source(from);
    if (!source.ok) {
        return -1;
    }
    Path target(to);
    return target.ok ? rename(source.text, target.text) : -1;
}

int StationMount(const char* source, const char* target, const char* type, unsigned long flags,
                 const void* data) {
    Path device(source);
    if (!device.ok) {
        return -1;
    }
    Path point(target);
    if (!point.ok) {
        return -1;
    }
    struct stat info {};
    if (!StationRoot().empty() && stat(device.text, &info) == 0 && S_ISDIR(info.st_mode)) {
        // A key mounted on the point already shows its root there. A device's file system is
        // refused a second mount on the same point (EBUSY); a bind mount would stack instead.
        struct stat shown {};
        if (stat(point.text, &shown) == 0 && shown.st_dev == info.st_dev &&
            shown.st_ino == info.st_ino) {
            errno = EBUSY;
            return -1;
        }
        return mount(device.text, point.text, nullptr, flags | MS_BIND, nullptr);
    }
    return mount(device.text, point.text, type, flags, data);
}

int StationUmount(const char* target, int flags) {
    Path p(target);
    return p.ok ? umount2(p.text, flags) : -1;
}

int StationMkostemp(char* boardTemplate, int flags) {
    Path p(boardTemplate);
    if (!p.ok) {
        return -1;
    }
    size_t boardLength = std::strlen(boardTemplate);
    size_t stationLength = std::strlen(p.text);
    int fd = mkostemp(p.text, flags);
    if (fd >= 0) {
        // The root only comes before the name: the letters chosen end both texts.
        std::memcpy(boardTemplate + boardLength - 6, p.text + stationLength - 6, 6);
    }
    return fd;
}

int StationSyncDirectory(const char* path) {
    Path p(path);
    if (!p.ok) {
        return -1;
    }
    UniqueFd directory(OpenDirectoryOf(p.text));
    if (!directory.Valid()) {
        return -1;
    }
    return fsync(directory.Get());
}

// ---- DurableFile ----------------------------------------------------------------------------

int DurableFile::Fail(stationfile::Step step) {
    failed_ = step;
    Abandon();
    return -1;
}

int DurableFile::Begin(const char* path, mode_t mode, stationfile::ModeRule rule) {
    if (fd_.Valid()) {
        errno = EBUSY;
        failed_ = stationfile::Step::kBegin;  // the one begun goes on
        return -1;
    }
    Path target(path);
    if (!target.ok) {
        return Fail(stationfile::Step::kBegin);
    }
    if (rule == stationfile::ModeRule::kKeep) {
        struct stat info {};
        if (stat(target.text, &info) == 0) {
            mode = info.st_mode & 07777;
        } else if (errno != ENOENT) {
            return Fail(stationfile::Step::kBegin);
        }
    }
    temporary_ = std::string(target.text) + ".XXXXXX";
    fd_.Reset(mkostemp(temporary_.data(), O_CLOEXEC));
    if (!fd_.Valid()) {
        temporary_.clear();  // nothing was created
        return Fail(stationfile::Step::kBegin);
    }
    if (fchmod(fd_.Get(), mode) != 0) {
        return Fail(stationfile::Step::kBegin);
    }
    target_ = target.text;
    failed_ = stationfile::Step::kNone;
    return 0;
}

int DurableFile::Write(const void* bytes, size_t count) {
    if (!fd_.Valid()) {
        errno = EBADF;
        failed_ = stationfile::Step::kWrite;
        return -1;
    }
    const auto* next = static_cast<const char*>(bytes);
    while (count > 0) {
        ssize_t written = write(fd_.Get(), next, count);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Fail(stationfile::Step::kWrite);
        }
        next += written;
        count -= static_cast<size_t>(written);
    }
    return 0;
}

int DurableFile::Commit(bool sync) {
    if (!fd_.Valid()) {
        errno = EBADF;
        failed_ = stationfile::Step::kClose;
        return -1;
    }
    if (sync && fsync(fd_.Get()) != 0) {
        return Fail(stationfile::Step::kSync);
    }
    if (fd_.Close() != 0) {
        return Fail(stationfile::Step::kClose);
    }
    if (rename(temporary_.c_str(), target_.c_str()) != 0) {
        return Fail(stationfile::Step::kRename);
    }
    temporary_.clear();
    if (sync) {
        // The new name is on disk only once its directory is.
        UniqueFd directory(OpenDirectoryOf(target_));
        if (!directory.Valid() || fsync(directory.Get()) != 0) {
            failed_ = stationfile::Step::kSyncDirectory;
            return -1;
        }
    }
    return 0;
}

void DurableFile::Abandon() {
    int error = errno;  // the caller's cause stays the one reported
    fd_.Reset();
    if (!temporary_.empty()) {
        unlink(temporary_.c_str());
        temporary_.clear();
    }
    errno = error;
}

int DurableWriteFile(const char* path, const void* bytes, size_t size, mode_t mode,
                     stationfile::ModeRule rule) {
    DurableFile file;
    if (file.Begin(path, mode, rule) != 0 || file.Write(bytes, size) != 0) {
        return -1;  // the destructor removes the temporary file, errno is kept
    }
    return file.Commit();
}
