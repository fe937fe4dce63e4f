// stickexport: unloads the station's new timestamped data onto a USB key. The key is known by
// its serial number; each key gets, in CSV files of a directory named after the station, every
// line added since that same key was last inserted, and its free space goes to two channels.
// The USB light blinks while the key settles, stays on during the export and goes off at the end.
#pragma once

#include <cstdint>

#include "boardio.h"
#include "csvrecord.h"
#include "serialdebug.h"
#include "timestampedchannel.h"

namespace stickexport {
constexpr const char* kMountPoint = "/tmp/usbkey";
constexpr const char* kDevice = "/dev/sda1";
constexpr const char* kFileSystem = "vfat";
constexpr const char* kUsbStorage = "/proc/scsi/usb-storage";
constexpr const char* kDebugName = "module_stickexport";
constexpr const char* kDestination = "stickexport_%s";
constexpr int kSerialMax = 16;
constexpr int kRootSize = 160;  // the export directory, terminator included
constexpr int kInfoLineMax = 119;
constexpr int kBlinks = 20;
constexpr int kBlinkOnMs = 200;
constexpr int kBlinkOffMs = 100;
constexpr float kFreeThreshold = 20.0f;  // percent free above which the key is "not full"

// Exit codes.
constexpr int kDone = 8;
constexpr int kNoKey = 102;
constexpr int kMountFailed = 103;
constexpr int kContextNotSaved = 104;  // the export is done, but the next one would repeat it
constexpr int kNoArgument = -1;
}  // namespace stickexport

// One run.
struct StickExport {
    long long startMs = 0;
    int port = -1;
    int toChannel = -1;    // receives "more than 20 % free"
    int fromChannel = -1;  // receives the free percentage
    SerialDebug trace;
    BoardIo io;  // the USB light
    TimeStampedReader reader{};
    CsvWriter csv;  // the files of the key
    char serial[stickexport::kSerialMax + 1] = {};
    char destination[8 + 12 + stickexport::kSerialMax] = {};  // "stickexport_" + serial
    char root[stickexport::kRootSize] = {};                   // the export directory
    bool contextSaved = false;
};

// The serial number of the first USB storage device that has one, as a file name may hold it
// (NettoieNomFichier's replacements), at most 16 characters: 1 and the number in buffer (when
// given, of 17 bytes), or 0 (logged). The process's current directory becomes
// "/proc/scsi/usb-storage".
int GetUsbKeySerialNumber(char* buffer);

// A channel number from the "To"/"From" text: -1 when it is absent, empty or not a number.
int StickChannelNumber(const char* text);
// Free space of the key in percent (single precision), 0 for a file system without blocks.
float StickFreePercent(unsigned long long blocks, unsigned long long available);

// The steps of a run, in their order. Start: arguments, trace, channel messages, mount point,
// reader. Blink: the USB light 20 times (on 200 ms, off 100 ms), then on. FindKey: 0, or -1 with
// errno ENODEV (traced) when there is no key. MountKey: 0, or -1 with errno (StationMount;
// traced, logged, light off) when the key cannot be mounted; a key mounted already is used. Export:
// the context of the key, every source's new lines appended to its file, the context saved.
// FreeSpace: the two channels. End: unmount, trace, light off, and what the run holds released; the
// exit code: 8, or 104 when the context could not be saved. Release: what the run holds (the
// reader, the trace, the channel memories), on the way out without a key.
void StickExportStart(StickExport* run, int argc, char** argv);
void StickExportBlink(StickExport* run);
int StickExportFindKey(StickExport* run);
int StickExportMountKey(StickExport* run);
void StickExportExport(StickExport* run);
void StickExportFreeSpace(StickExport* run);
int StickExportEnd(StickExport* run);
void StickExportRelease(StickExport* run);
