#include "stickexport.h"

#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <syslog.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "argdecode.h"
#include "boardio.h"
#include "clock.h"
#include "conf.h"
#include "csvrecord.h"
#include "logdebug.h"
#include "plcutilities.h"
#include "stationfile.h"
#include "stationlog.h"
#include "utilities.h"

using namespace stickexport;

namespace {

__attribute__((format(printf, 2, 3))) void Trace(StickExport* run, const char* format, ...) {
    va_list args;
    va_start(args, format);
    TimeStampedVPrintfSerialDebug(&run->trace, format, args);
    va_end(args);
}

int ElapsedMs(const StickExport* run) {
    return static_cast<int>(MonotonicMs() - run->startMs);
}

// The serial number in a line "Serial Number: <serial>": the third word. Null when the line is
// not that line; the empty text when it is, without a number.
const char* SerialOfLine(char* line, bool& wordless) {
    char* save = nullptr;
    const char* first = strtok_r(line, " \t\n", &save);
    wordless = first == nullptr;
    if (first == nullptr || std::strcmp(first, "Serial") != 0) {
        return nullptr;
    }
    if (strtok_r(nullptr, " \t\n", &save) == nullptr) {
        return "";
    }
    const char* serial = strtok_r(nullptr, " \t\n", &save);
    return serial != nullptr ? serial : "";
}

// Looks through one entry of the usb-storage directory. 1 a serial number was found (in
// serial), 0 the entry has a "Serial" line without one, -1 it has no "Serial" line.
int SerialOfEntry(const char* name, char (&serial)[kSerialMax + 1]) {
    char path[PATH_MAX];
    std::snprintf(path, sizeof path, "%s/%s", kUsbStorage, name);
    struct stat info {};
    if (StationStat(path, &info) != 0) {
        StationLog(LOG_ERR, "divers.lib : erreur lecture %s=%s", name, std::strerror(errno));
        return -1;
    }
    FILE* file = StationFopen(path, "r");
    if (file == nullptr) {
        StationLog(LOG_ERR, "divers.lib : erreur ouverture %s=%s", name, std::strerror(errno));
        return -1;
    }
    char line[kInfoLineMax + 1];
    int found = -1;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        bool wordless = false;
        const char* number = SerialOfLine(line, wordless);
        if (wordless) {
            break;
        }
        if (number != nullptr) {
            std::snprintf(serial, sizeof serial, "%s", number);
            found = serial[0] != 0 ? 1 : 0;
            break;
        }
    }
    std::fclose(file);
    return found;
}

// The channel number given by an argument: "To" in 40 bytes, "From" in 15.
int ChannelArgument(int argc, char** argv, const char* key, int length) {
    char text[40] = {};
    if (GetArgumentStr(argc, argv, key, text, length) < 0) {
        return -1;
    }
    return StickChannelNumber(text);
}

// The file of a source under the export directory.
void SourceFile(const StickExport* run, const TimeStampedSource* source, char* path, size_t size) {
    if (source->identifier == timestamped::kStationLog) {
        std::snprintf(path, size, "%s%s", run->root, csvrecord::kStationFile);
    } else if (source->identifier == timestamped::kCommLog) {
        std::snprintf(path, size, "%s%s", run->root, csvrecord::kCommFile);
    } else {
        const int channel = GetModbusAddrChannel(source->identifier);
        char name[kChannelNameMax + 1];
        std::snprintf(name, sizeof name, "%s",
                      NettoieNomFichier(GetChannelName(GetInfoChannelAddr(), channel)));
        char file[kChannelNameMax + 32];
        std::snprintf(file, sizeof file, csvrecord::kMemoFile, name, channel);
        std::snprintf(path, size, "%s%s", run->root, file);
    }
}

}  // namespace

int StickChannelNumber(const char* text) {
    if (text == nullptr) {
        return -1;
    }
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (end == text || errno != 0 || value < INT_MIN || value > INT_MAX) {
        return -1;
    }
    return static_cast<int>(value);
}

float StickFreePercent(unsigned long long blocks, unsigned long long available) {
    if (blocks == 0) {
        return 0.0f;
    }
    return static_cast<float>(available) / static_cast<float>(blocks) * 100.0f;
}

int GetUsbKeySerialNumber(char* buffer) {
    if (StationChdir(kUsbStorage) != 0) {
        StationLog(LOG_ERR, "divers.lib : erreur changement repertoire : %s ",
                   std::strerror(errno));
        return 0;
    }
    DIR* directory = StationOpendir(kUsbStorage);
    if (directory == nullptr) {
        StationLog(LOG_ERR, "divers.lib : erreur ouverture repertoire : %s", std::strerror(errno));
        return 0;
    }
    int result = -1;
    while (const dirent* entry = readdir(directory)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        char serial[kSerialMax + 1] = {};
        result = SerialOfEntry(entry->d_name, serial);
        if (result == 1) {
            // The number comes from the device and names the key's context file.
            std::snprintf(serial, sizeof serial, "%s", NettoieNomFichier(serial));
            StationLog(LOG_INFO, "divers.lib: no serie usb=%s", serial);
            if (buffer != nullptr) {
                std::memcpy(buffer, serial, sizeof serial);
            }
            break;
        }
        if (result == 0) {
            StationLog(LOG_ERR, "divers.lib : pas de numero serie");
            break;
        }
        StationLog(LOG_ERR, "divers.lib: pas de numero serie dans %s", entry->d_name);
    }
    closedir(directory);
    if (result < 0) {
        StationLog(LOG_ERR, "divers.lib : pas d'info sur clef usb");
    }
    return result == 1 ? 1 : 0;
}

void StickExportStart(StickExport* run, int argc, char** argv) {
    run->startMs = MonotonicMs();
    run->port = ValueArgumentDecode(argc, argv, "Port");
    IsDebug(kDebugName);
    run->toChannel = ChannelArgument(argc, argv, "To", 39);
    run->fromChannel = ChannelArgument(argc, argv, "From", 14);
    CreateSerialDebug(&run->trace, run->port);
    PlcInitMsg();
    Trace(run, "timestamped datas on usb key\n");
    if (StationMkdir(kMountPoint, 0700) != 0 && errno != EEXIST) {
        StationLog(LOG_ERR, "mkdir of %s : %s", kMountPoint, std::strerror(errno));
    }
    InitializeTimeStampedChannel(&run->reader);
}

void StickExportBlink(StickExport* run) {
    for (int i = 0; i < kBlinks; ++i) {
        BoardIoSetLedUsb(&run->io, 1);
        WaitMillisecond(kBlinkOnMs);
        BoardIoSetLedUsb(&run->io, 0);
        WaitMillisecond(kBlinkOffMs);
    }
    BoardIoSetLedUsb(&run->io, 1);
}

int StickExportFindKey(StickExport* run) {
    if (GetUsbKeySerialNumber(run->serial) == 0) {
        Trace(run, "no usb key detected !\n");
        errno = ENODEV;
        return -1;
    }
    Trace(run, "usb key S/N=%s detected\n", run->serial);
    return 0;
}

int StickExportMountKey(StickExport* run) {
    if (StationMount(kDevice, kMountPoint, kFileSystem, 0, "") == 0) {
        return 0;
    }
    if (errno == EBUSY) {
        Trace(run, "usb key is already mounted \n");
        return 0;
    }
    const int error = errno;
    const char* why = std::strerror(error);
    Trace(run, "error in usb key mounting : %s\n", why);
    StationLog(LOG_ERR, "mount error=%s", why);
    BoardIoSetLedUsb(&run->io, 0);
    errno = error;
    return -1;
}

void StickExportExport(StickExport* run) {
    std::snprintf(run->destination, sizeof run->destination, kDestination, run->serial);
    ReadTimestampedChannelContextFile(&run->reader, run->destination);
    Trace(run, "Sequence number %d\n", run->reader.sequence);

    char name[csvrecord::kNameMax + 1];
    std::snprintf(name, sizeof name, "%s", NettoieNomFichier(GetStationName()));
    std::snprintf(run->root, sizeof run->root, "%s/%s.%d", kMountPoint, name,
                  static_cast<uint16_t>(GetStationId()));
    if (StationMkdir(run->root, 0700) != 0 && errno != EEXIST) {
        StationLog(LOG_ERR, "mkdir of %s : %s", run->root, std::strerror(errno));
    }
    StationLog(LOG_DEBUG, "Racine(%d/%d)=%s", static_cast<int>(std::strlen(run->root)), kRootSize,
               run->root);

    SetSeparateur(&run->csv.file, ",");
    CsvChannelsOpen(&run->csv);
    for (LinkedListNode* node = run->reader.sources->first; node != nullptr; node = node->next) {
        auto* source = static_cast<TimeStampedSource*>(node->data);
        const TimeStampedSource before = *source;
        if (InitializeReadTimeStampedLine(&run->reader, source) <= 0) {
            continue;
        }
        const int count = source->lastLineNumber - source->firstLine + 1;
        char path[kRootSize + csvrecord::kNameMax + 32];
        SourceFile(run, source, path, sizeof path);
        int written;
        if (source->identifier == timestamped::kStationLog) {
            written = RafraichitJournalStation(&run->csv, path, &run->reader, source, count);
        } else if (source->identifier == timestamped::kCommLog) {
            written = RafraichitJournalComm(&run->csv, path, &run->reader, source, count);
        } else {
            written = RafraichitVoie(&run->csv, path, &run->reader, source, count);
        }
        Trace(run, "write of %s : ", path);
        WriteStrToSerialDebug(&run->trace, written != 0 ? "Ok\n" : "KO\n");
        if (written == 0) {
            // The lines did not reach the key: this key is offered them again next time.
            source->lastPosition = before.lastPosition;
            source->lastLine = before.lastLine;
        }
    }
    ++run->reader.sequence;
    run->contextSaved = WriteTimestampedChannelContextFile(&run->reader, run->destination) == 0;
    if (run->contextSaved) {
        StationLog(LOG_DEBUG, "Acquitte");
    } else {
        StationLog(LOG_ERR, "context of %s not saved : the next unload repeats these lines",
                   run->destination);
    }
}

void StickExportFreeSpace(StickExport* run) {
    struct statfs key {};
    if (StationStatfs(kMountPoint, &key) != 0) {
        StationLog(LOG_ERR, "mesure capacite = %s", std::strerror(errno));
        return;
    }
    const float percent = StickFreePercent(key.f_blocks, key.f_bavail);
    const int flag = percent > kFreeThreshold ? 1 : 0;
    PlcWriteBool(run->toChannel, flag);
    PlcWriteFloat(run->fromChannel, percent);
    StationLog(LOG_INFO, "%d -> Voie[%d], %f -> Voie[%d]", flag, run->toChannel,
               static_cast<double>(percent), run->fromChannel);
    Trace(run, "Usb key : %.2f %% free Size=%ld  Available=%ld \n", static_cast<double>(percent),
          static_cast<long>(key.f_blocks), static_cast<long>(key.f_bavail));
}

int StickExportEnd(StickExport* run) {
    if (StationUmount(kMountPoint, MNT_FORCE) != 0) {
        StationLog(LOG_ERR, "pb demontage=%s", std::strerror(errno));
    }
    StationLog(LOG_DEBUG, "%d nouvelleslignes en %d ms", run->csv.NbLignes, ElapsedMs(run));
    Trace(run, run->contextSaved ? "Ack\n" : "context not saved\n");
    BoardIoSetLedUsb(&run->io, 0);
    StickExportRelease(run);
    return run->contextSaved ? kDone : kContextNotSaved;
}

void StickExportRelease(StickExport* run) {
    CsvChannelsClose(&run->csv);
    FreeTimeStampedChannel(&run->reader);
    CloseSerialDebug(&run->trace);
    PlcCloseMsg();
}
