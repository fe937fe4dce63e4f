// Guards of the station configuration: its date and size, the MD5 digest kept beside it, and its
// replacement from a temporary copy with a backup that is put back when the copy fails. Also the
// MD5 digests of files and texts that the operator list compares passwords with.
#pragma once

#include <cstddef>
#include <cstdint>

namespace integrity {
constexpr const char* kConfigurationFile = "/var/parameters/configuration.xml";
constexpr const char* kModelConfigurationFile = "/var/parameters/configuration.fcm";
// Suffixes of the digest file and of the backup, after the configuration's path.
constexpr const char* kDigestSuffix = ".md5";
constexpr const char* kBackupSuffix = ".bak";
// Temporary configurations are made in the system's temporary directory with this prefix.
constexpr char kTemporaryTemplate[] = "/tmp/confXXXXXX";
// An MD5 digest in text: 32 lower-case hexadecimal characters.
constexpr int kDigestLength = 32;
}  // namespace integrity

// Board paths of the configuration and of its model.
const char* GetConfigurationName();
const char* GetModelConfigurationName();

// Modification time of the configuration file in seconds since 1970; 0 (logged) when it cannot
// be examined.
uint32_t GetConfigurationDate();
// Size of the configuration file in bytes; 0 (logged) when it cannot be examined.
long GetSizeConfiguration();

// Digest of the configuration file in a process-wide buffer (valid until the next call), or null
// (logged) when the file cannot be read.
const char* GetConfigurationMD5();
// Replaces the digest file (configuration path + ".md5") whole with the current digest, synced:
// 0, or 1 (logged) when the digest or the file could not be made.
int WriteConfigurationMD5();
// 0 when the digest file holds exactly the current digest, 1 when it differs or cannot be read.
int VerifyConfigurationMD5();

// Replaces the configuration with the contents of the temporary file (a board path), keeping the
// previous one as configuration path + ".bak", and writes the new digest. 0 when the
// configuration was replaced; 1 when it was not, the previous configuration then being back
// under its own name with its digest.
int RefreshConfiguration(const char* temporary);
// Creates a new empty file "/tmp/confXXXXXX" that no other process can take, and gives its
// board path in a text that the caller releases with free(); the empty text (also to be freed)
// when no file could be made (logged).
char* GetTemporaryConfiguration();

// MD5 digest of the file (a board path), read as raw bytes, in a text of 32 lower-case
// hexadecimal characters that the caller releases with free(); null when the file cannot be
// opened or read.
char* MDFile(const char* path);
// MD5 digest of the text in a process-wide buffer (valid until the next call).
const char* GetMD5(const char* text);
// MD5 digest of `size` bytes written as 32 lower-case hexadecimal characters and a terminator
// into `digest`, which holds 33 bytes.
void Md5Hex(const void* bytes, size_t size, char* digest);
