// The per-port debug trace: a ring of text in System V shared memory (key 22700 + slot, slot 0
// to 15 for ports 0 to 15 and 16 for port -1) that a module writes and any reader may attach.
// Writers never wait; each reader keeps its own index.
//
// Segment layout, native byte order: ring size (int32, segment size - 13), write index (int32),
// marker (0xA55A5900 + slot), then the ring bytes.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <ctime>

constexpr int kSerialDebugSegmentSize = 16384;
constexpr int kSerialDebugHeaderSize = 12;
constexpr uint32_t kSerialDebugMarker = 0xA55A5900u;

// The text of a time in one of the trace's two formats, kept while the time and the zone stay
// the same: most trace lines of a busy line fall in the same second as the one before, and the
// local-time conversion and its formatting were most of what writing such a line cost. The
// zone is known by what the last tzset() made of it (the names, the offset, summer time); a TZ
// changed without a tzset() shows in the stamps from the next second on.
struct SerialDebugTime {
    const char* format;
    bool valid = false;
    time_t time = 0;
    const char* names[2] = {};
    long offset = 0;
    int summer = 0;
    char text[40] = {};
    size_t length = 0;
};

struct SerialDebug {
    unsigned char* segment = nullptr;  // attached segment, null when closed
    unsigned char* ring = nullptr;
    int segmentId = -1;
    int ringSize = 0;
    volatile int32_t* writeIndex = nullptr;      // shared with every writer and reader
    int readIndex = 0;                           // this reader's own position
    SerialDebugTime stamp{"%d/%m %H:%M:%S "};    // the time stamp of a line
    SerialDebugTime date{"%d/%m/%y %H:%M:%S "};  // a date given to DateToSerialDebug
};

// Slot of a port (16 for -1), or -1 for a port outside -1 to 15.
int SerialDebugSlot(int port);

// Attach an existing trace; the reader starts at the current write index. 0 ok, 1 failure.
int OpenSerialDebug(SerialDebug* handle, int port);
// Open, or create the segment (16384 bytes, mode 0777) and initialise it. 0 ok, 1 failure.
int CreateSerialDebug(SerialDebug* handle, int port);
void CloseSerialDebug(SerialDebug* handle);

void WriteStrToSerialDebug(SerialDebug* handle, const char* text);
// Writes len bytes (the text may hold zeros).
void WriteBytesToSerialDebug(SerialDebug* handle, const char* bytes, int len);
void WriteCharWithHex(SerialDebug* handle, unsigned char byte);
void WriteStrToSerialDebugWithHex(SerialDebug* handle, const char* text);
// Next unread byte, or -1 when none is waiting.
int ReadCharFromSerialDebug(SerialDebug* handle);
// Reads into buffer (length + 1 bytes); 1 when everything waiting was read, 0 when length bytes
// were stored and more are waiting.
int ReadStrFromSerialDebug(SerialDebug* handle, char* buffer, int length);
void TimeStampSerialDebug(SerialDebug* handle);
void DateToSerialDebug(SerialDebug* handle, time_t time);
void PrintfSerialDebug(SerialDebug* handle, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// The same with a time stamp first, for a module's own printf-style trace helper.
void TimeStampedVPrintfSerialDebug(SerialDebug* handle, const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));
void FramePrintf(SerialDebug* handle, const char* label, const unsigned char* bytes, int count);
void FramePrintfWithHex(SerialDebug* handle, const char* label, const unsigned char* bytes,
                        int count);
