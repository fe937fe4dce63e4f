#include "integrity.h"

#include <fcntl.h>
#include <md5.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "logdebug.h"
#include "stationfile.h"
#include "stationlog.h"
#include "utilities.h"

namespace {

constexpr size_t kReadBlock = 1024;  // digest of a file
constexpr size_t kCopyBlock = 80;    // copy of a temporary configuration
constexpr mode_t kConfigurationMode = 0644;

// Board path of the configuration followed by a suffix (".md5", ".bak").
struct SideName {
    char text[96];
    explicit SideName(const char* suffix) {
        std::snprintf(text, sizeof text, "%s%s", integrity::kConfigurationFile, suffix);
    }
};

char* CopyText(const char* text) {
    char* copy = strdup(text);
    CriticalAssert(copy != nullptr, "erreur allocation", "integrity", __LINE__);
    return copy;
}

// read(2) until `count` bytes or the end of the file: the number read, or -1.
ssize_t ReadFully(int fd, void* bytes, size_t count) {
    auto* next = static_cast<char*>(bytes);
    size_t total = 0;
    while (total < count) {
        ssize_t got = read(fd, next + total, count - total);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (got == 0) {
            break;
        }
        total += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(total);
}

void ToHex(const uint8_t* raw, char* digest) {
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < MD5_DIGEST_LENGTH; ++i) {
        digest[2 * i] = kHex[raw[i] >> 4];
        digest[2 * i + 1] = kHex[raw[i] & 0x0F];
    }
    digest[integrity::kDigestLength] = '\0';
}

// The digest of a file into `digest` (33 bytes). 0, or -1 with errno when it cannot be opened
// (StationOpen) or read (read).
int DigestOfFile(const char* path, char* digest) {
    UniqueFd fd(StationOpen(path, O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        return -1;
    }
    MD5_CTX context;
    MD5Init(&context);
    uint8_t block[kReadBlock];
    for (;;) {
        ssize_t got = read(fd.Get(), block, sizeof block);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (got == 0) {
            break;
        }
        MD5Update(&context, block, static_cast<size_t>(got));
    }
    uint8_t raw[MD5_DIGEST_LENGTH];
    MD5Final(raw, &context);
    ToHex(raw, digest);
    return 0;
}

// Copies the temporary file over the configuration in blocks of at most 80 bytes and forces it
// to disk. 0 when every byte landed; -1 with errno otherwise (each failure logged; EIO for a
// temporary file cut short meanwhile).
int CopyTemporary(const char* temporary, const char* configuration, mode_t mode) {
    struct stat info {};
    if (StationStat(temporary, &info) != 0) {
        StationLog(LOG_ERR,
                   "divers.lib : erreur de lecture de la taille du fichier temporaire %s=%d",
                   temporary, errno);
        return -1;
    }
    UniqueFd in(StationOpen(temporary, O_RDONLY | O_CLOEXEC));
    UniqueFd out;
    if (in.Valid()) {
        out.Reset(StationOpen(configuration, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    }
    if (!in.Valid() || !out.Valid()) {
        StationLog(LOG_ERR,
                   "divers.lib : erreur d'ouverture du fichier temporaire ou du fichier de "
                   "configuration =%d",
                   errno);
        return -1;
    }
    fchmod(out.Get(), mode);  // as the one it replaces, whatever the umask

    char block[kCopyBlock];
    off_t left = info.st_size;
    while (left > 0) {
        size_t want = static_cast<size_t>(std::min<off_t>(left, kCopyBlock));
        errno = 0;  // a file cut short meanwhile ends with 0
        if (ReadFully(in.Get(), block, want) != static_cast<ssize_t>(want)) {
            const int error = errno;
            StationLog(LOG_ERR, "divers.lib : erreur lecture fichier temporaire=%d", error);
            errno = error != 0 ? error : EIO;
            return -1;
        }
        if (WriteFully(out.Get(), block, want) != 0) {
            const int error = errno;
            StationLog(LOG_DEBUG, "divers.lib : erreur ecriture fichier configuration=%d", error);
            errno = error;
            return -1;
        }
        left -= static_cast<off_t>(want);
    }
    // The new configuration is on disk, under its name, before a digest is written for it: a
    // power cut must not leave a digest of a file that is not there.
    if (fsync(out.Get()) != 0 || out.Close() != 0 || StationSyncDirectory(configuration) != 0) {
        const int error = errno;
        StationLog(LOG_ERR, "divers.lib : erreur ecriture fichier configuration=%d", error);
        errno = error;
        return -1;
    }
    return 0;
}

}  // namespace

const char* GetConfigurationName() {
    return integrity::kConfigurationFile;
}

const char* GetModelConfigurationName() {
    return integrity::kModelConfigurationFile;
}

uint32_t GetConfigurationDate() {
    struct stat info {};
    if (StationStat(integrity::kConfigurationFile, &info) != 0) {
        StationLog(LOG_ERR,
                   "divers.lib : erreur de lecture de la date du fichier de configuration %s",
                   integrity::kConfigurationFile);
        return 0;
    }
    return static_cast<uint32_t>(info.st_mtime);
}

long GetSizeConfiguration() {
    struct stat info {};
    if (StationStat(integrity::kConfigurationFile, &info) != 0) {
        StationLog(LOG_ERR,
                   "divers.lib : erreur de lecture de la taille du fichier de configuration %s",
                   integrity::kConfigurationFile);
        return 0;
    }
    return static_cast<long>(info.st_size);
}

const char* GetConfigurationMD5() {
    static char digest[integrity::kDigestLength + 1];
    if (DigestOfFile(integrity::kConfigurationFile, digest) != 0) {
        StationLog(LOG_ERR, "divers.lib : erreur lors du calcul MD5 du fichier de parametre %s",
                   integrity::kConfigurationFile);
        return nullptr;
    }
    return digest;
}

int WriteConfigurationMD5() {
    const char* digest = GetConfigurationMD5();
    if (digest == nullptr) {
        return 1;
    }
    SideName path(integrity::kDigestSuffix);
    // Replaced whole and synced: the digest file holds the old digest or the new one.
    if (DurableWriteFile(path.text, digest, integrity::kDigestLength, kConfigurationMode) != 0) {
        StationLog(LOG_ERR, "divers.lib : erreur d'ouverture du fichier%s=%d", path.text, errno);
        return 1;
    }
    return 0;
}

int VerifyConfigurationMD5() {
    const char* current = GetConfigurationMD5();
    if (current == nullptr) {
        return 1;
    }
    SideName path(integrity::kDigestSuffix);
    UniqueFd fd(StationOpen(path.text, O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        return 1;
    }
    char stored[integrity::kDigestLength + 1];
    // One byte more than a digest, so that a longer file is seen as such.
    ssize_t length = ReadFully(fd.Get(), stored, sizeof stored);
    if (length != integrity::kDigestLength) {
        return 1;
    }
    return std::memcmp(stored, current, integrity::kDigestLength) == 0 ? 0 : 1;
}

int RefreshConfiguration(const char* temporary) {
    const char* configuration = integrity::kConfigurationFile;
    SideName backup(integrity::kBackupSuffix);
    struct stat info {};
    if (StationStat(backup.text, &info) == 0) {
        StationUnlink(backup.text);
        StationLog(LOG_INFO,
                   "divers.lib : supression de la copie du fichier de configuration %s (%d s)",
                   backup.text, static_cast<int>(info.st_mtime));
        StationSyncDirectory(backup.text);
    }
    mode_t mode = kConfigurationMode;
    if (StationStat(configuration, &info) == 0) {
        mode = info.st_mode & 07777;
    }
    if (StationRename(configuration, backup.text) != 0) {
        StationLog(LOG_ERR, "divers.lib : impossible d'effectuer une copie de sauvegarde de %s=%d",
                   configuration, errno);
        return 1;
    }
    StationLog(LOG_DEBUG, "divers.lib : %s renomme en %s", configuration, backup.text);

    if (temporary != nullptr && CopyTemporary(temporary, configuration, mode) == 0) {
        StationLog(LOG_DEBUG, "divers.lib : %s copie en %s", temporary, configuration);
        // A configuration without its digest is not taken: the previous one and its digest,
        // left as they were, go back together.
        if (WriteConfigurationMD5() == 0) {
            return 0;
        }
    } else if (temporary == nullptr) {
        errno = EFAULT;
        StationLog(LOG_ERR,
                   "divers.lib : erreur de lecture de la taille du fichier temporaire %s=%d",
                   "(null)", errno);
    }

    if (StationRename(backup.text, configuration) != 0) {
        StationLog(LOG_ERR, "divers.lib : impossible de restituer %s=%d", backup.text, errno);
        return 1;
    }
    StationSyncDirectory(configuration);
    StationLog(LOG_ERR, "divers.lib : %s restitue", backup.text);
    return 1;
}

char* GetTemporaryConfiguration() {
    char name[sizeof integrity::kTemporaryTemplate];
    std::memcpy(name, integrity::kTemporaryTemplate, sizeof name);
    // Made here, exclusively: a name handed out without its file could be taken by another
    // process before the caller creates it.
    UniqueFd fd(StationMkostemp(name, O_CLOEXEC));
    if (!fd.Valid()) {
        StationLog(LOG_ERR, "divers.lib : erreur lors creation fichier temporaire");
        return CopyText("");
    }
    StationLog(LOG_DEBUG, "divers.lib : attribution nom fichier temporaire=%s", name);
    return CopyText(name);
}

char* MDFile(const char* path) {
    char digest[integrity::kDigestLength + 1];
    if (DigestOfFile(path, digest) != 0) {
        return nullptr;
    }
    return CopyText(digest);
}

void Md5Hex(const void* bytes, size_t size, char* digest) {
    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, static_cast<const uint8_t*>(bytes), size);
    uint8_t raw[MD5_DIGEST_LENGTH];
    MD5Final(raw, &context);
    ToHex(raw, digest);
}

const char* GetMD5(const char* text) {
    static char digest[integrity::kDigestLength + 1];
    if (text == nullptr) {
        text = "";
    }
    // Not logged: these are digests of passwords, and an unsalted one is as good as the password
    // to whoever reads the log.
    Md5Hex(text, std::strlen(text), digest);
    return digest;
}
