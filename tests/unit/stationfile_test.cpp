// The file seam: board paths land under the sandbox root, a key directory mounts like a device,
// and a durable write replaces its file whole or leaves it as it was.
#include "stationfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <string>
#include <vector>

#include "sandbox.h"

namespace fs = std::filesystem;

namespace {

mode_t ModeOf(const std::string& hostPath) {
    struct stat info {};
    return stat(hostPath.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

}  // namespace

TEST(StationFile, BoardPathsLandUnderTheRoot) {
    Sandbox box;
    ASSERT_EQ(StationMkdir("/var/nonvolatile/keys", 0755), 0);
    UniqueFd fd(StationOpen("/var/nonvolatile/keys/a", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd.Valid());
    ASSERT_EQ(write(fd.Get(), "abc", 3), 3);
    EXPECT_EQ(fd.Close(), 0);
    EXPECT_FALSE(fd.Valid());
    EXPECT_EQ(box.ReadFile("/var/nonvolatile/keys/a"), "abc");

    struct stat info {};
    EXPECT_EQ(StationStat("/var/nonvolatile/keys/a", &info), 0);
    EXPECT_EQ(info.st_size, 3);
    EXPECT_EQ(StationAccess("/var/nonvolatile/keys/a", R_OK), 0);
    EXPECT_EQ(StationTruncate("/var/nonvolatile/keys/a", 1), 0);
    EXPECT_EQ(StationRename("/var/nonvolatile/keys/a", "/var/nonvolatile/keys/b"), 0);
    EXPECT_EQ(box.ReadFile("/var/nonvolatile/keys/b"), "a");
    FILE* file = StationFopen("/var/nonvolatile/keys/b", "re");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(std::fgetc(file), 'a');
    std::fclose(file);
    DIR* dir = StationOpendir("/var/nonvolatile/keys");
    ASSERT_NE(dir, nullptr);
    closedir(dir);
    EXPECT_EQ(StationUnlink("/var/nonvolatile/keys/b"), 0);
    EXPECT_EQ(StationRmdir("/var/nonvolatile/keys"), 0);
    EXPECT_FALSE(box.Exists("/var/nonvolatile/keys"));

    // The failures are the system's own; a path that cannot be built is refused before.
    EXPECT_EQ(StationLstat("/var/nonvolatile/none", &info), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(StationOpen(nullptr, O_RDONLY), -1);
    EXPECT_EQ(errno, EFAULT);
    std::string tooLong = "/tmp/" + std::string(PATH_MAX, 'x');
    EXPECT_EQ(StationOpen(tooLong.c_str(), O_RDONLY), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
}

// In a sandbox the USB key's device is a directory: mounting binds it on the mount point, where
// it shows through, cannot be mounted there twice, is busy while a file on it is open, and goes
// with the unmount.
TEST(StationFile, KeyDirectoryMountsLikeADevice) {
    Sandbox box;
    box.WriteFile("/dev/sda1/FROMKEY.TXT", "on the key\n");
    fs::create_directories(box.Path("/mnt/usb"));
    ASSERT_EQ(StationMount("/dev/sda1", "/mnt/usb", "vfat", 0, "shortname=mixed"), 0) << errno;
    EXPECT_EQ(box.ReadFile("/mnt/usb/FROMKEY.TXT"), "on the key\n");
    struct statfs key {};
    EXPECT_EQ(StationStatfs("/mnt/usb", &key), 0);
    // Mounted again on the same point: busy, as a device's file system is.
    EXPECT_EQ(StationMount("/dev/sda1", "/mnt/usb", "vfat", 0, ""), -1);
    EXPECT_EQ(errno, EBUSY);

    UniqueFd open(StationOpen("/mnt/usb/FROMKEY.TXT", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(open.Valid());
    EXPECT_EQ(StationUmount("/mnt/usb", 0), -1);
    EXPECT_EQ(errno, EBUSY);
    open.Reset();
    EXPECT_EQ(StationUmount("/mnt/usb", 0), 0);
    EXPECT_FALSE(box.Exists("/mnt/usb/FROMKEY.TXT"));
}

TEST(DurableWriteFile, ReplacesWholeOrLeavesThePreviousFile) {
    Sandbox box;
    SmallFileSystem small(box, "/var/small");
    ASSERT_TRUE(small.Mounted());
    mode_t umaskBefore = umask(077);
    struct Case {
        const char* name;
        const char* path;
        const char* previous;  // nullptr: none
        mode_t previousMode;
        std::string contents;
        mode_t mode;
        stationfile::ModeRule rule;
        int error;  // 0: written
        mode_t expectedMode;
        stationfile::Step failedStep;
    } cases[] = {
        {"new file, mode set whatever the umask", "/var/nonvolatile/KEY1.context", nullptr, 0,
         "12;34\n", 0644, stationfile::ModeRule::kSet, 0, 0644, stationfile::Step::kNone},
        {"replaced, mode set", "/var/nonvolatile/KEY2.context", "old\n", 0600, "new\n", 0640,
         stationfile::ModeRule::kSet, 0, 0640, stationfile::Step::kNone},
        {"replaced, mode kept", "/tmp/utilvelun.txt", "old\n", 0600, "op;Op;0003;x\n", 0644,
         stationfile::ModeRule::kKeep, 0, 0600, stationfile::Step::kNone},
        {"new file, mode kept falls back", "/tmp/new.md5", nullptr, 0, "d41d8cd9", 0644,
         stationfile::ModeRule::kKeep, 0, 0644, stationfile::Step::kNone},
        {"no such directory", "/var/none/KEY.context", nullptr, 0, "x", 0644,
         stationfile::ModeRule::kSet, ENOENT, 0, stationfile::Step::kBegin},
        {"full file system", "/var/small/KEY.context", "previous\n", 0644, std::string(20000, 'c'),
         0644, stationfile::ModeRule::kSet, ENOSPC, 0644, stationfile::Step::kWrite},
    };
    for (const Case& c : cases) {
        if (c.previous != nullptr) {
            box.WriteFile(c.path, c.previous);
            fs::permissions(box.Path(c.path), static_cast<fs::perms>(c.previousMode));
        }
        DurableFile file;
        errno = 0;
        int result = file.Begin(c.path, c.mode, c.rule);
        if (result == 0) {
            result = file.Write(c.contents.data(), c.contents.size());
        }
        if (result == 0) {
            result = file.Commit();
        }
        EXPECT_EQ(result, c.error == 0 ? 0 : -1) << c.name;
        EXPECT_EQ(result == 0 ? 0 : errno, c.error) << c.name;
        EXPECT_EQ(file.FailedStep(), c.failedStep) << c.name;
        std::string expected = c.error == 0 ? c.contents : c.previous != nullptr ? c.previous : "";
        EXPECT_EQ(box.ReadFile(c.path), expected) << c.name;
        if (c.expectedMode != 0) {
            EXPECT_EQ(ModeOf(box.Path(c.path)), c.expectedMode) << c.name;
        }
    }
    umask(umaskBefore);
    // Nothing is left beside the files: no temporary file survives a failure.
    EXPECT_EQ(FilesIn(box.Path("/var/small")), (std::vector<std::string>{"KEY.context"}));
    EXPECT_EQ(FilesIn(box.Path("/var/nonvolatile")),
              (std::vector<std::string>{"KEY1.context", "KEY2.context"}));

    // A directory in the target's place cannot be renamed over: the copy goes, the directory
    // stays.
    fs::create_directories(box.Path("/tmp/BIT403"));
    EXPECT_EQ(DurableWriteFile("/tmp/BIT403", "x", 1, 0644), -1);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_TRUE(fs::is_directory(box.Path("/tmp/BIT403")));
    EXPECT_EQ(std::count_if(fs::directory_iterator(box.Path("/tmp")), fs::directory_iterator(),
                            [](const fs::directory_entry& e) {
                                return e.path().filename().string().rfind("BIT403.", 0) == 0;
                            }),
              0);
}
