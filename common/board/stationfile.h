// The file seam of the board layer. Module code names files and devices by their board paths
// ("/var/log/messages", "/dev/ttyUSB0", "/sys/class/gpio/export"); the wrappers below take such a
// path, apply StationPath() and make the system call, so that no other code builds a sandbox path
// by hand (scripts/check-seam fails the tests when a path system call appears elsewhere).
// Also here: the owning descriptor, and the one way to replace a state file.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <string>

// A descriptor that is closed when its owner goes. Move-only.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the one held (its result is lost: use Close where it matters) and holds fd.
    void Reset(int fd = -1);
    // Closes now: 0, or -1 with close's errno (data written through a descriptor may fail only
    // here). Holds nothing afterwards, whatever the result; 0 when nothing was held.
    int Close();

  private:
    int fd_ = -1;
};

// ---- Thin wrappers. Each takes board paths and gives its system call's result and errno. A
// null path gives EFAULT; a path that does not fit PATH_MAX under the root gives ENAMETOOLONG.
// They allocate nothing.

// open(2): the descriptor, or -1.
int StationOpen(const char* path, int flags, mode_t mode = 0);
// fopen(3): the stream, or nullptr.
FILE* StationFopen(const char* path, const char* mode);
// opendir(3): the directory stream, or nullptr.
DIR* StationOpendir(const char* path);
// stat(2), lstat(2), statfs(2), access(2): 0 or -1.
int StationStat(const char* path, struct stat* info);
int StationLstat(const char* path, struct stat* info);
int StationStatfs(const char* path, struct statfs* info);
int StationAccess(const char* path, int mode);
// mkdir(2), rmdir(2), unlink(2), truncate(2), chdir(2): 0 or -1.
int StationMkdir(const char* path, mode_t mode);
int StationRmdir(const char* path);
int StationUnlink(const char* path);
int StationTruncate(const char* path, off_t length);
int StationChdir(const char* path);
// rename(2), both names board paths: 0 or -1.
int StationRename(const char* from, const char* to);
// mount(2) of a board device (source) on a board directory (target): 0 or -1. A source that is
// not an absolute path ("tmpfs", "none") is passed as it is. In a sandbox the key's device may be
// a directory: a source that is a directory is bind-mounted (type and data are then not used),
// so that a forced unmount and statfs behave as on the board; mounting it again on the point
// where it is mounted already gives EBUSY, as the device's file system would.
int StationMount(const char* source, const char* target, const char* type, unsigned long flags,
                 const void* data);
// umount2(2): 0 or -1.
int StationUmount(const char* target, int flags);
// mkostemp(3) on a board path template ending in "XXXXXX": creates a new file exclusively (mode
// 0600) and writes the name chosen into the template, which stays a board path. The descriptor,
// or -1 with errno: EINVAL (no XXXXXX at the end), EEXIST (no free name), ENOENT, ENOSPC, ...
int StationMkostemp(char* boardTemplate, int flags);
// fsync(2) of the directory that holds a board path, so that a name made, renamed or removed
// there survives a power cut. 0, or -1 with errno (open(2) or fsync(2)).
int StationSyncDirectory(const char* path);

// ---- Replacing a file whole or not at all: the one way to write a state file (context files,
// digests, operators, pid files, request files). The new contents go to a temporary file created
// exclusively in the target's directory ("<target>.XXXXXX"), are written, synced, and renamed
// over the target, then the directory is synced. A reader sees the old file or the new one, never
// half of one, and after a power cut the file is one of the two.

namespace stationfile {
// How the new file's permission bits are chosen.
enum class ModeRule {
    kSet,   // exactly the mode given (the umask does not apply)
    kKeep,  // those of the file replaced; the mode given when there is none
};
// The step of a DurableFile that failed last, for callers whose log texts tell them apart.
enum class Step { kNone, kBegin, kWrite, kSync, kClose, kRename, kSyncDirectory };
}  // namespace stationfile

class DurableFile {
  public:
    DurableFile() = default;
    // A temporary file not committed is removed; the target is untouched.
    ~DurableFile() { Abandon(); }
    DurableFile(const DurableFile&) = delete;
    DurableFile& operator=(const DurableFile&) = delete;

    // Creates the temporary file for the target (a board path) with its mode. 0, or -1 with
    // errno: EFAULT (null path), ENAMETOOLONG, EBUSY (one is begun already, and goes on), or
    // those of stat(2) on the target (kKeep), mkostemp(3) (ENOENT: no such directory, ENOSPC,
    // EACCES, ...) and fchmod(2).
    int Begin(const char* path, mode_t mode,
              stationfile::ModeRule rule = stationfile::ModeRule::kSet);
    // The temporary file's descriptor (-1 before Begin), for writers that need one.
    int Fd() const { return fd_.Get(); }
    // Writes all bytes, going on after a signal or a short write. 0, or -1 with write's errno
    // (ENOSPC, EIO, ...; EBADF when nothing is begun); a failure removes the temporary file.
    int Write(const void* bytes, size_t count);
    // sync true: fsync the file, close it, rename it over the target, fsync the directory.
    // sync false: the same without the two fsyncs (a reader still never sees half a file, but a
    // power cut may lose the change). 0, or -1 with errno (EBADF when nothing is begun, or
    // after a failed Write). A failure before the rename removes the temporary file and leaves
    // the target as it was; a failure to sync the directory comes after the rename: the new
    // file is in place but may not survive a power cut.
    int Commit(bool sync = true);
    // Removes the temporary file now, if any; the target is untouched.
    void Abandon();
    // Which step the last failure came from (kNone while none failed).
    stationfile::Step FailedStep() const { return failed_; }

  private:
    int Fail(stationfile::Step step);

    UniqueFd fd_;
    stationfile::Step failed_ = stationfile::Step::kNone;
    std::string temporary_;  // station paths
    std::string target_;
};

// DurableFile in one call: the whole contents. 0, or -1 with errno (see DurableFile).
int DurableWriteFile(const char* path, const void* bytes, size_t size, mode_t mode,
                     stationfile::ModeRule rule = stationfile::ModeRule::kSet);
