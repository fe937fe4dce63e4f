#include "serialdebug.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <syslog.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "clock.h"
#include "stationcore.h"
#include "stationlog.h"
#include "variant.h"

// The texts of the two builds of this unit; the program's variant picks one at run time.
namespace {

bool Detailed() {
    return ThisProgram().trace == TraceVariant::DETAILED;
}

int32_t* HeaderWord(unsigned char* segment, int index) {
    return reinterpret_cast<int32_t*>(segment) + index;
}

void Bind(SerialDebug* handle, unsigned char* segment, int id) {
    handle->segment = segment;
    handle->segmentId = id;
    handle->ringSize = *HeaderWord(segment, 0);
    handle->writeIndex = HeaderWord(segment, 1);
    handle->ring = segment + kSerialDebugHeaderSize;
    int32_t write = *handle->writeIndex;
    handle->readIndex = write >= 0 && write < handle->ringSize ? write : 0;
}

// Size of the segment as the system knows it, or -1.
long SegmentSize(int id) {
    shmid_ds info{};
    if (shmctl(id, IPC_STAT, &info) != 0) {
        return -1;
    }
    return static_cast<long>(info.shm_segsz);
}

// The header comes from whoever created the segment: its ring must fit the real segment.
bool HeaderFits(unsigned char* segment, long size) {
    int32_t ring = *HeaderWord(segment, 0);
    return ring > 0 && ring <= size - kSerialDebugHeaderSize;
}

void LogAttachFailure(int error) {
    if (Detailed()) {
        StationLog(LOG_ERR, "allocation adr. mem. serialdebug : %s", std::strerror(error));
    } else {
        StationLog(LOG_ERR, "filemsg.lib : allocation adr. mem. serialdebug");
    }
}

void LogBadMarker(uint32_t marker) {
    if (Detailed()) {
        StationLog(LOG_ERR, "clef invalide (%.8X) dans mem. serial debug", marker);
    } else {
        StationLog(LOG_ERR, "filemsg.lib : clef invalide (%.8X) dans mem. serial debug", marker);
    }
}

// False (and logged in the detailed build) when nothing can be written through the handle.
bool Writable(SerialDebug* handle) {
    if (handle == nullptr) {
        return false;
    }
    if (handle->segment == nullptr) {
        if (Detailed()) {
            StationLog(LOG_ERR, "shared memory closed");
        }
        return false;
    }
    return true;
}

// The bytes go into the ring first and the write index moves once, after them: a reader never
// sees an index ahead of the text.
void PutBytes(SerialDebug* handle, const char* bytes, size_t count) {
    int32_t index = *handle->writeIndex;
    if (index < 0 || index >= handle->ringSize) {
        index = 0;
    }
    while (count > 0) {
        size_t room = static_cast<size_t>(handle->ringSize - index);
        size_t chunk = count < room ? count : room;
        std::memcpy(handle->ring + index, bytes, chunk);
        bytes += chunk;
        count -= chunk;
        index = chunk == room ? 0 : index + static_cast<int32_t>(chunk);
    }
    __atomic_store_n(handle->writeIndex, index, __ATOMIC_RELEASE);
}

void PutText(SerialDebug* handle, const char* text) {
    PutBytes(handle, text, std::strlen(text));
}

void PutCharWithHex(SerialDebug* handle, unsigned char byte) {
    if (byte != 0 && std::isprint(byte)) {
        PutBytes(handle, reinterpret_cast<const char*>(&byte), 1);
        return;
    }
    char text[8];
    std::snprintf(text, sizeof text, "[$%02X]", byte);
    PutText(handle, text);
}

bool SameZone(const SerialDebugTime& kept) {
    return kept.names[0] == tzname[0] && kept.names[1] == tzname[1] && kept.offset == timezone &&
           kept.summer == daylight;
}

void PutTime(SerialDebug* handle, time_t time, SerialDebugTime* kept) {
    if (!kept->valid || kept->time != time || !SameZone(*kept)) {
        kept->valid = false;
        tm local{};
        if (localtime_r(&time, &local) == nullptr) {
            return;
        }
        kept->length = std::strftime(kept->text, sizeof kept->text, kept->format, &local);
        if (kept->length == 0) {
            return;
        }
        kept->time = time;
        kept->names[0] = tzname[0];
        kept->names[1] = tzname[1];
        kept->offset = timezone;
        kept->summer = daylight;
        kept->valid = true;
    }
    PutBytes(handle, kept->text, kept->length);
}

void PutFrameHead(SerialDebug* handle, const char* label) {
    PutTime(handle, Clock().Now().tv_sec, &handle->stamp);
    PutText(handle, label != nullptr ? label : "");
    PutText(handle, " : ");
}

}  // namespace

int SerialDebugSlot(int port) {
    if (port == -1) {
        return 16;
    }
    return port >= 0 && port <= 15 ? port : -1;
}

int OpenSerialDebug(SerialDebug* handle, int port) {
    if (handle == nullptr) {
        return 1;
    }
    int slot = SerialDebugSlot(port);
    if (slot < 0) {
        if (Detailed()) {
            StationLog(LOG_ERR, "erreur No liaison serie %d", port);
        } else {
            StationLog(LOG_ERR, "filemsg.lib : erreur No liaison serie %d", port);
        }
        return 1;
    }
    int id = shmget(corekey::kSerialDebugBase + slot, 0, 0);
    if (id < 0) {
        return 1;  // no trace yet: the creator makes it
    }
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        LogAttachFailure(errno);
        return 1;
    }
    auto* segment = static_cast<unsigned char*>(address);
    long size = SegmentSize(id);
    uint32_t marker =
        size >= kSerialDebugHeaderSize ? static_cast<uint32_t>(*HeaderWord(segment, 2)) : 0;
    if (marker != kSerialDebugMarker + static_cast<uint32_t>(slot) || !HeaderFits(segment, size)) {
        LogBadMarker(marker);
        shmdt(address);
        return 1;
    }
    Bind(handle, segment, id);
    return 0;
}

int CreateSerialDebug(SerialDebug* handle, int port) {
    if (handle == nullptr) {
        return 1;
    }
    if (OpenSerialDebug(handle, port) == 0) {
        if (Detailed()) {
            StationLog(LOG_INFO, "mem clef pour port No %d deja existante", port);
        }
        return 0;
    }
    int slot = SerialDebugSlot(port);
    if (slot < 0) {
        return 1;
    }
    int key = corekey::kSerialDebugBase + slot;
    int id = shmget(key, kSerialDebugSegmentSize, IPC_CREAT | 0777);
    if (id < 0) {
        if (Detailed()) {
            StationLog(LOG_ERR, "ouverture mem. serialdebug clef (%d)=%s", key,
                       std::strerror(errno));
        } else {
            StationLog(LOG_ERR, "filemsg.lib : ouverture mem. serialdebug clef (%d)=%d", key,
                       errno);
        }
        return 1;
    }
    long size = SegmentSize(id);
    if (size < 0) {
        if (Detailed()) {
            StationLog(LOG_ERR, "Erreur lecture info. mem serialdebug %s", std::strerror(errno));
        } else {
            std::printf("filemsg.lib : Erreur lecture info. mem serialdebug %d\n", errno);
            std::fflush(stdout);
        }
        return 1;
    }
    if (size <= kSerialDebugHeaderSize + 1) {
        LogBadMarker(0);
        return 1;
    }
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        LogAttachFailure(errno);
        return 1;
    }
    auto* segment = static_cast<unsigned char*>(address);
    uint32_t marker = kSerialDebugMarker + static_cast<uint32_t>(slot);
    if (static_cast<uint32_t>(*HeaderWord(segment, 2)) != marker || !HeaderFits(segment, size)) {
        std::memset(segment, 0, static_cast<size_t>(size));
        *HeaderWord(segment, 2) = static_cast<int32_t>(marker);
        *HeaderWord(segment, 0) = static_cast<int32_t>(size - 13);
    }
    Bind(handle, segment, id);
    return 0;
}

void CloseSerialDebug(SerialDebug* handle) {
    if (handle == nullptr || handle->segment == nullptr) {
        return;
    }
    if (shmdt(handle->segment) != 0) {
        StationLog(LOG_ERR, "shared memory detach error : %s", std::strerror(errno));
    } else {
        StationLog(LOG_INFO, "shared memory detached");
    }
    handle->segment = nullptr;
    handle->ring = nullptr;
    handle->writeIndex = nullptr;
}

void WriteStrToSerialDebug(SerialDebug* handle, const char* text) {
    if (text != nullptr && Writable(handle)) {
        PutText(handle, text);
    }
}

void WriteBytesToSerialDebug(SerialDebug* handle, const char* bytes, int len) {
    if (bytes != nullptr && len > 0 && Writable(handle)) {
        PutBytes(handle, bytes, static_cast<size_t>(len));
    }
}

void WriteCharWithHex(SerialDebug* handle, unsigned char byte) {
    if (Writable(handle)) {
        PutCharWithHex(handle, byte);
    }
}

void WriteStrToSerialDebugWithHex(SerialDebug* handle, const char* text) {
    if (text == nullptr || !Writable(handle)) {
        return;
    }
    for (const char* p = text; *p != '\0'; ++p) {
        PutCharWithHex(handle, static_cast<unsigned char>(*p));
    }
}

int ReadCharFromSerialDebug(SerialDebug* handle) {
    if (handle == nullptr || handle->segment == nullptr) {
        return -1;
    }
    int32_t write = *handle->writeIndex;
    if (write < 0 || write >= handle->ringSize || handle->readIndex == write) {
        return -1;
    }
    if (handle->readIndex < 0 || handle->readIndex >= handle->ringSize) {
        handle->readIndex = 0;
    }
    int byte = handle->ring[handle->readIndex];
    handle->readIndex = handle->readIndex + 1 < handle->ringSize ? handle->readIndex + 1 : 0;
    return byte;
}

int ReadStrFromSerialDebug(SerialDebug* handle, char* buffer, int length) {
    if (length <= 0 || buffer == nullptr) {
        if (buffer != nullptr && length == 0) {
            buffer[0] = '\0';
        }
        return 1;
    }
    int stored = 0;
    while (stored < length) {
        int byte = ReadCharFromSerialDebug(handle);
        if (byte < 0) {
            buffer[stored] = '\0';
            return 1;
        }
        buffer[stored++] = static_cast<char>(byte);
    }
    buffer[stored] = '\0';
    bool waiting =
        handle != nullptr && handle->segment != nullptr && handle->readIndex != *handle->writeIndex;
    return waiting ? 0 : 1;
}

void TimeStampSerialDebug(SerialDebug* handle) {
    if (Writable(handle)) {
        PutTime(handle, Clock().Now().tv_sec, &handle->stamp);
    }
}

void DateToSerialDebug(SerialDebug* handle, time_t time) {
    if (Writable(handle)) {
        PutTime(handle, time, &handle->date);
    }
}

void PrintfSerialDebug(SerialDebug* handle, const char* format, ...) {
    if (format == nullptr || !Writable(handle)) {
        return;
    }
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    PutText(handle, text);
}

void TimeStampedVPrintfSerialDebug(SerialDebug* handle, const char* format, va_list args) {
    if (format == nullptr || !Writable(handle)) {
        return;
    }
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    TimeStampSerialDebug(handle);
    PutText(handle, text);
}

void FramePrintf(SerialDebug* handle, const char* label, const unsigned char* bytes, int count) {
    if (!Writable(handle)) {
        return;
    }
    PutFrameHead(handle, label);
    static const char kHex[] = "0123456789ABCDEF";
    for (int i = 0; bytes != nullptr && i < count; ++i) {
        char text[3] = {kHex[bytes[i] >> 4], kHex[bytes[i] & 0x0F], ' '};
        PutBytes(handle, text, sizeof text);
    }
    PutText(handle, "\n");
}

void FramePrintfWithHex(SerialDebug* handle, const char* label, const unsigned char* bytes,
                        int count) {
    if (!Writable(handle)) {
        return;
    }
    PutFrameHead(handle, label);
    for (int i = 0; bytes != nullptr && i < count; ++i) {
        PutCharWithHex(handle, bytes[i]);
    }
    PutText(handle, "\n");
}
