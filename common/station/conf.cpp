#include "conf.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <minIni.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "board.h"
#include "clock.h"
#include "stationfile.h"
#include "stationlog.h"
#include "utilities.h"

namespace {

constexpr const char* kMasterIni = "/etc/orxapp.ini";
constexpr const char* kWorkingIni = "/tmp/orxapp.ini";
constexpr const char* kEepromDevice = "/dev/i2c-0";
constexpr const char* kMemoSizeFile = "/tmp/memo.size";
constexpr int kValueSize = 81;
constexpr int kEepromAddress = 0x50;
constexpr int kEepromSize = 128;
constexpr int kMemoRecordSize = 4;

// The working INI file under the sandbox root: the INI library opens it itself.
std::string WorkingIni() {
    return StationPath(kWorkingIni);
}

int ElapsedMs(long long startMs) {
    return static_cast<int>(MonotonicMs() - startMs);
}

// The decimal integer that starts the text (blanks and a sign allowed, 0 when no digit comes),
// held to the int range so that a huge value is simply out of bounds.
int ToInt(const char* text) {
    long long value = std::strtoll(text, nullptr, 10);
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

bool HasLineEnd(const char* text) {
    return std::strpbrk(text, "\r\n") != nullptr;
}

// Reads an "IDENT" key into an 81-byte buffer. 0 when it holds a value; -1 with errno ENOENT
// (logged, the buffer emptied) when the key is missing or empty.
int ReadIdent(const char* key, char* buffer) {
    long long start = MonotonicMs();
    int length = ini_gets("IDENT", key, "", buffer, kValueSize, WorkingIni().c_str());
    if (length <= 0) {
        buffer[0] = '\0';
        StationLog(LOG_ERR, "divers.lib : error  on request %s", key);
        errno = ENOENT;
        return -1;
    }
    StationLog(LOG_INFO, "divers.lib : %s pour %s en %d ms", buffer, key, ElapsedMs(start));
    return 0;
}

// Writes an "IDENT" key and reads it back. 0, or -1 (logged) with errno EINVAL for no value or
// one with a line end, EIO when it could not be written or did not read back the same.
int WriteIdent(const char* key, const char* value) {
    if (value == nullptr) {
        StationLog(LOG_ERR, "divers.lib : error  on request %s=%s", key, "(null)");
        errno = EINVAL;
        return -1;
    }
    if (HasLineEnd(value)) {
        StationLog(LOG_ERR, "divers.lib : valeur refusee pour %s (fin de ligne)", key);
        errno = EINVAL;
        return -1;
    }
    long long start = MonotonicMs();
    std::string path = WorkingIni();
    // The INI library may report success when its final rename failed: read the key back. A
    // value never keeps the blanks it starts with in an INI file, so they are not looked for.
    const char* kept = value;
    while (*kept != '\0' && static_cast<unsigned char>(*kept) <= ' ') {
        ++kept;
    }
    char stored[kValueSize];
    if (ini_puts("IDENT", key, value, path.c_str()) != 1 ||
        ini_gets("IDENT", key, "", stored, kValueSize, path.c_str()) < 0 ||
        std::string(kept).substr(0, kValueSize - 1) != stored) {
        StationLog(LOG_ERR, "divers.lib : error  on request %s=%s", key, value);
        errno = EIO;
        return -1;
    }
    StationLog(LOG_INFO, "divers.lib : %s pour %s en %d ms", value, key, ElapsedMs(start));
    return 0;
}

const char* IdentText(const char* key, char* buffer, const char* fallback) {
    if (ReadIdent(key, buffer) != 0) {
        std::snprintf(buffer, kValueSize, "%s", fallback);
    }
    return buffer;
}

int IdentNumber(const char* key) {
    char value[kValueSize];
    return ReadIdent(key, value) == 0 ? ToInt(value) : 0;
}

// ---- Sizing keys ----

struct StationSizes {
    bool decoded;
    int channelMaxNb;
    int memoMaxNb;
    int stationLogSize;
    int commLogSize;
    int m350z;
    int memoMaxByChannel;
    int logChannelNb;
};

StationSizes g_sizes{};

// A sizing key as a bounded integer: its value when lower <= value <= upper, else the default
// (which is also the lower bound).
int DecodeUnArgument(const char* key, int lower, int upper) {
    const char* text = GetEnvORXAPP(key);
    if (text == nullptr) {
        StationLog(LOG_DEBUG, "%s n'existe pas", key);
        return lower;
    }
    int value = ToInt(text);
    if (value >= lower && value <= upper) {
        return value;
    }
    // A key whose upper bound lies below its default is fixed on purpose: nothing to report.
    if (lower <= upper) {
        StationLog(LOG_WARNING, "divers.lib : %s=%d hors limites (%d a %d), %d retenu", key, value,
                   lower, upper, lower);
    }
    return lower;
}

const StationSizes& Sizes() {
    if (!g_sizes.decoded) {
        ChannelMaxNbInit();
    }
    return g_sizes;
}

// ---- EEPROM ----

// The record from a plain file. 0, or -1 with errno (pread; EIO when it ends early), logged.
int ReadImageFromFile(int fd, unsigned char* image) {
    int done = 0;
    while (done < kEepromSize) {
        ssize_t n = pread(fd, image + done, kEepromSize - done, done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            StationLog(LOG_ERR, "divers.lib : erreur dans la lecture e2prom:%d", error);
            errno = error;
            return -1;
        }
        done += static_cast<int>(n);
    }
    return 0;
}

// The record from the I2C device. 0, or -1 with errno (ioctl), logged.
int ReadImageFromBus(int fd, unsigned char* image) {
    // Two transfers: set the EEPROM's address pointer to 0, then read the whole record.
    unsigned char offset = 0;
    i2c_msg setPointer{kEepromAddress, 0, 1, &offset};
    i2c_rdwr_ioctl_data transfer{&setPointer, 1};
    if (ioctl(fd, I2C_RDWR, &transfer) < 0) {
        const int error = errno;
        StationLog(LOG_ERR, "divers.lib : erreur dans raz adr e2prom:%d", error);
        errno = error;
        return -1;
    }
    i2c_msg readRecord{kEepromAddress, I2C_M_RD, kEepromSize, image};
    transfer = {&readRecord, 1};
    if (ioctl(fd, I2C_RDWR, &transfer) < 0) {
        const int error = errno;
        StationLog(LOG_ERR, "divers.lib : erreur dans la lecture e2prom:%d", error);
        errno = error;
        return -1;
    }
    return 0;
}

// The 128-byte record, from the device or a plain file in its place. 0, or -1 with errno
// (logged).
int ReadEeprom(unsigned char* image) {
    long long start = MonotonicMs();
    {
        UniqueFd device(StationOpen(kEepromDevice, O_RDWR | O_CLOEXEC));
        if (device.Get() < 0) {
            const int error = errno;
            StationLog(LOG_ERR, "divers.lib : erreur ouverture i2c : %d", error);
            errno = error;
            return -1;
        }
        // Off the board the device may be a plain file holding the record.
        struct stat status {};
        bool plainFile = fstat(device.Get(), &status) == 0 && S_ISREG(status.st_mode);
        if ((plainFile ? ReadImageFromFile(device.Get(), image)
                       : ReadImageFromBus(device.Get(), image)) != 0) {
            return -1;
        }
    }
    StationLog(LOG_DEBUG, "Read 128 bytes rom eeprom at 0x%02x en %d ms ", kEepromAddress,
               ElapsedMs(start));
    return 0;
}

int32_t LittleEndian32(const unsigned char* bytes) {
    uint32_t value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                     static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return static_cast<int32_t>(value);
}

// A text field of the record: at most `width` characters, terminated.
std::string EepromText(const unsigned char* image, int offset, int width) {
    const char* start = reinterpret_cast<const char*>(image + offset);
    return std::string(start, strnlen(start, width));
}

// ---- Memo-size file ----

// Opens the memo-size file and gives its record count; -1 (logged) when it cannot be used.
int OpenMemoSizeFile(int* records) {
    *records = 0;
    const char* path = kMemoSizeFile;
    // "/tmp" is open to everyone: a pipe left under the file's name must not hold the reader
    // (its length of 0 then gives no record).
    int fd = StationOpen(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        StationLog(LOG_ERR, "divers.lib : erreur ouverture fichier %s =%d", path, errno);
        return -1;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        StationLog(LOG_ERR, "divers.lib : erreur lecture taille %s=%d", path, errno);
        close(fd);
        return -1;
    }
    if (status.st_size % kMemoRecordSize != 0 || status.st_size / kMemoRecordSize > INT_MAX) {
        StationLog(LOG_ERR, "divers.lib : taille incorrecte du fichier %s=%lld", path,
                   static_cast<long long>(status.st_size));
        close(fd);
        return -1;
    }
    *records = static_cast<int>(status.st_size / kMemoRecordSize);
    return fd;
}

void DecodeMemoRecord(const unsigned char* record, int16_t* address, uint16_t* size) {
    *address = static_cast<int16_t>(static_cast<uint16_t>(record[0] << 8 | record[1]));
    *size = static_cast<uint16_t>(record[2] << 8 | record[3]);
}

}  // namespace

// ---------------------------------------------------------------------------------------------

const char* GetEnvORXAPP(const char* key) {
    static char value[kValueSize];
    if (key == nullptr) {
        StationLog(LOG_ERR, "divers.lib : error on read key %s", "(null)");
        return nullptr;
    }
    long long start = MonotonicMs();
    int length = ini_gets("ENV", key, "", value, sizeof value, WorkingIni().c_str());
    if (length <= 0) {
        value[0] = '\0';
        StationLog(LOG_ERR, "divers.lib : error on read key %s", key);
        return nullptr;
    }
    StationLog(LOG_INFO, "divers.lib : %s pour %s en %d ms", value, key, ElapsedMs(start));
    return value;
}

void ChannelMaxNbInit() {
    if (g_sizes.decoded) {
        StationLog(LOG_WARNING, "filemsg.lib : decodage variable d'environnement deja effectue");
    }
    g_sizes.channelMaxNb = DecodeUnArgument("CHANNEL_MAX_NB", 50, 1500);
    g_sizes.memoMaxNb = DecodeUnArgument("MEMO_MAX_NB", 1800, 54000);
    g_sizes.stationLogSize = DecodeUnArgument("STATION_LOG_MAX", 200, 4000);
    g_sizes.commLogSize = DecodeUnArgument("COMM_LOG_MAX", 200, 4000);
    g_sizes.m350z = DecodeUnArgument("M350Z", 0, 1);
    g_sizes.memoMaxByChannel = DecodeUnArgument("MEMO_MAX_BY_CHANNEL", 3600, 27000);
    // The time-stamped channel count the core works with is 750 whatever is configured: the
    // upper bound below the default keeps it there.
    g_sizes.logChannelNb = DecodeUnArgument("CHANNEL_HORO_MAX", 750, 50);
    g_sizes.decoded = true;
}

int IsChannelMaxNbInitialized() {
    return g_sizes.decoded ? 1 : 0;
}

void ResetChannelMaxNb() {
    g_sizes = StationSizes{};
}

int GetChannelMaxNb() {
    return Sizes().channelMaxNb;
}
int GetMemoMaxNb() {
    return Sizes().memoMaxNb;
}
int GetStationLogSize() {
    return Sizes().stationLogSize;
}
int GetCommLogSize() {
    return Sizes().commLogSize;
}
int GetM350ZCompatibility() {
    return Sizes().m350z;
}
int GetMemoMaxByChannel() {
    return Sizes().memoMaxByChannel;
}
int GetLogChannelNb() {
    return Sizes().logChannelNb;
}
int GetConsigneEMaxNb() {
    return 128;
}
int GetConsigneRMaxNb() {
    return 64;
}

// ---------------------------------------------------------------------------------------------

const char* GetStationName() {
    static char name[kValueSize];
    if (ReadIdent("NAME", name) != 0) {
        StationLog(LOG_ERR, "divers.lib : Pb lecture nom station");
        std::snprintf(name, sizeof name, "ERROR");
    }
    return name;
}

int GetStationId() {
    char text[kValueSize];
    if (ReadIdent("ID", text) != 0) {
        StationLog(LOG_ERR, "divers.lib : Pb lecture identification station");
        return -1;
    }
    int id = ToInt(text);
    if (id < 1 || id > 65535) {
        StationLog(LOG_ERR, "divers.lib : erreur valeur identification station=%d", id);
        return -1;
    }
    return id;
}

int GetStationSlaveNumber() {
    char text[kValueSize];
    if (ReadIdent("MODBUS_ADDR", text) != 0) {
        StationLog(LOG_ERR, "divers.lib : Pb lecture code esclave");
        return -1;
    }
    int number = ToInt(text);
    if (number < 1 || number > 254) {
        StationLog(LOG_ERR, "divers.lib : erreur valeur code esclave=%d", number);
        return -1;
    }
    return number;
}

int SetStationName(const char* name) {
    return WriteIdent("NAME", name) == 0 ? 1 : 0;
}

int SetStationID(int id) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", id);
    return WriteIdent("ID", text) == 0 ? 1 : 0;
}

int SetSlaveNumber(int number) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", number);
    return WriteIdent("MODBUS_ADDR", text) == 0 ? 1 : 0;
}

int GetORXBASESerialNumber() {
    return IdentNumber("BOARD_SERIAL");
}
int GetORXBASEProductionDate() {
    return IdentNumber("BOARD_DATE");
}

const char* GetORXBASEOperator() {
    static char text[kValueSize];
    return IdentText("BOARD_OPERATOR", text, "ERROR");
}

const char* GetORXBASEHardwareVersion() {
    static char text[kValueSize];
    return IdentText("BOARD_VERSION", text, "ERROR");
}

const char* GetBoardType() {
    static char text[kValueSize];
    return IdentText("BOARD", text, "ORXETHUSB");
}

const char* GetCpuModuleType() {
    static char text[kValueSize];
    return IdentText("MODULE", text, "ORXCPU");
}

const char* GetOF() {
    static char text[kValueSize];
    return IdentText("OF", text, "Unknow");
}

const char* GetDomainName() {
    return nullptr;
}

// ---------------------------------------------------------------------------------------------

int GetVersionORXAPP(VersionORXAPP* record) {
    if (record == nullptr) {
        StationLog(LOG_ERR, "divers.lib : Pb lecture version ORXAPP");
        return 0;
    }
    std::snprintf(record->text, sizeof record->text, "Version ");
    record->versionMajor = 6;
    record->versionMinor = 99;
    const char* text = GetEnvORXAPP("VERSION_ORXAPP");
    if (text == nullptr) {
        StationLog(LOG_ERR, "divers.lib : Pb lecture version ORXAPP");
        return 0;
    }
    int length = static_cast<int>(std::strlen(text));
    if (length <= 10) {
        StationLog(LOG_ERR, "divers.lib : lng insuffisante=%d", length);
        return 0;
    }
    std::memcpy(record->text, text, 8);
    record->text[8] = '\0';
    if (text[8] != '6') {
        StationLog(LOG_ERR, "divers.lib : erreur version majeure=%02X",
                   static_cast<unsigned char>(text[8]));
        return 0;
    }
    record->versionMajor = 6;
    record->versionMinor = ToInt(text + 10);
    return 1;
}

const char* GetORXBASEBootSoftwareVersion() {
    const char* version = GetEnvORXAPP("BOOT_VERSION");
    if (version == nullptr) {
        StationLog(LOG_ERR, "divers.lib : pas de version du logiciel de boot");
        return "2009-06-10 build 13:05:08 oct 4 2010";
    }
    return version;
}

int Initialize_InfoVersion() {
    // A failed copy is logged by FileCpy; the board record is loaded all the same, into whatever
    // working copy there is.
    FileCpy(kMasterIni, kWorkingIni);

    unsigned char image[kEepromSize];
    if (ReadEeprom(image) != 0) {
        return 0;
    }
    unsigned char sum = 0;
    for (unsigned char byte : image) {
        sum = static_cast<unsigned char>(sum + byte);
    }
    if (sum != 0) {
        StationLog(LOG_ERR, "divers.lib: erreur checksum dans l'e2prom");
        return 0;
    }

    char date[16];
    char serial[16];
    std::snprintf(date, sizeof date, "%d", LittleEndian32(image + 1));
    std::snprintf(serial, sizeof serial, "%d", LittleEndian32(image + 5));
    const std::string fields[][2] = {
        {"BOARD_DATE", date},
        {"BOARD_SERIAL", serial},
        {"BOARD_OPERATOR", EepromText(image, 9, 3)},
        {"BOARD_VERSION", EepromText(image, 12, 3)},
        {"BOARD", EepromText(image, 15, 20)},
        {"MODULE", EepromText(image, 35, 20)},
        {"OF", EepromText(image, 55, 20)},
    };
    // The record was good: that is the success. A key that could not be written (or read back)
    // has its own error line; the others are still written.
    for (const auto& field : fields) {
        WriteIdent(field[0].c_str(), field[1].c_str());
    }
    return 1;
}

// ---------------------------------------------------------------------------------------------

const char* GetMacAddr() {
    static char text[18];
    std::snprintf(text, sizeof text, "ERROR");
    UniqueFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (sock.Get() < 0) {
        StationLog(LOG_ERR, "divers.lib : erreur dans recuperation adresse Mac =%d", errno);
        return text;
    }
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "eth0");
    if (ioctl(sock.Get(), SIOCGIFHWADDR, &request) < 0) {
        StationLog(LOG_ERR, "divers.lib : erreur dans recuperation adresse Mac =%d", errno);
        return text;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(request.ifr_hwaddr.sa_data);
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", bytes[0], bytes[1], bytes[2],
                  bytes[3], bytes[4], bytes[5]);
    return text;
}

int GetOsVersion(char* buffer, int size) {
    if (buffer == nullptr || size <= 0) {
        return 0;
    }
    utsname system{};
    if (uname(&system) != 0) {
        StationLog(LOG_ERR, "divers.lib : erreur uname=%d", errno);
        buffer[0] = '\0';
        return 0;
    }
    for (char* c = system.version; *c != '\0'; ++c) {
        if (static_cast<unsigned char>(*c) == 0xE9) {
            *c = 'e';
        }
    }
    int length = std::snprintf(buffer, size, "%s release %s, build %s", system.sysname,
                               system.release, system.version);
    if (length < 0) {
        buffer[0] = '\0';
        return 0;
    }
    return length < size ? length : size - 1;
}

// ---------------------------------------------------------------------------------------------

const char* GetMemoSizeName() {
    return kMemoSizeFile;
}

int GetMemoNb() {
    int records = 0;
    int fd = OpenMemoSizeFile(&records);
    if (fd >= 0) {
        close(fd);
    }
    return records;
}

int ReadMemoSizeFile(int16_t* address, uint16_t* size, int index) {
    if (address == nullptr || size == nullptr) {
        return 1;
    }
    *address = -1;
    *size = 0;
    int records = 0;
    UniqueFd file(OpenMemoSizeFile(&records));
    if (file.Get() < 0 || index < 0 || index >= records) {
        return 1;
    }
    unsigned char record[kMemoRecordSize];
    ssize_t n;
    do {
        n = pread(file.Get(), record, sizeof record, static_cast<off_t>(index) * kMemoRecordSize);
    } while (n < 0 && errno == EINTR);
    if (n != kMemoRecordSize) {
        StationLog(LOG_ERR, "divers.lib : erreur lecture fichier %s=%d", GetMemoSizeName(),
                   n < 0 ? errno : EIO);
        return 1;
    }
    DecodeMemoRecord(record, address, size);
    return 0;
}

int GetMemoSize(int address) {
    int records = 0;
    UniqueFd file(OpenMemoSizeFile(&records));
    if (file.Get() < 0) {
        return 0;
    }
    // The file is read in blocks of whole records.
    unsigned char block[128 * kMemoRecordSize];
    int left = records;
    while (left > 0) {
        int wanted = left < 128 ? left : 128;
        ssize_t n = read(file.Get(), block, static_cast<size_t>(wanted) * kMemoRecordSize);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || n % kMemoRecordSize != 0) {
            StationLog(LOG_ERR, "divers.lib : erreur lecture fichier %s=%d", GetMemoSizeName(),
                       n < 0 ? errno : EIO);
            return 0;
        }
        for (ssize_t i = 0; i < n; i += kMemoRecordSize) {
            int16_t recordAddress;
            uint16_t size;
            DecodeMemoRecord(block + i, &recordAddress, &size);
            if (recordAddress == address) {
                return size;
            }
        }
        left -= static_cast<int>(n / kMemoRecordSize);
    }
    return 0;
}
