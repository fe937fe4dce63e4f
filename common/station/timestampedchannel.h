// The reading context of an export run: which tables to export (the memos of the channels
// whose memo is transmitted, the communication log, the station log), the range of lines added
// to each since the previous run to the same destination, and the context file in
// "/var/nonvolatile/" that remembers, per destination, where each table was left.
#pragma once

#include <cstdint>
#include <string>

#include "linkedlist.h"
#include "timestampedutil.h"

namespace timestampedchannel {
constexpr int kMemoWeight = 8;  // sizes the line buffer only
constexpr int kLogWeight = 10;
constexpr const char* kContextDirectory = "/var/nonvolatile/";
constexpr const char* kContextSuffix = ".context";
constexpr int kContextLineMax = 118;  // characters of a context-file line that are read
}  // namespace timestampedchannel

// The newest line seen of a table, as saved in the context: all 12 bytes of an event line;
// a memo's time and value, its word 0.
struct TimeStampedLine {
    uint32_t time;
    uint16_t word;
    uint8_t notRead[2];
    uint32_t value;
};
static_assert(sizeof(TimeStampedLine) == timestamped::kEventLineSize);

struct TimeStampedSource {
    uint16_t identifier;  // 1 station log, 3 communication log, else the memo's Modbus address
    int eventFlag;        // 1 for the logs (12-byte lines), 0 for memos (8-byte lines)
    int lineWeight;       // 10 for the logs, 8 for memos
    int capacity;         // lines of the table as configured (sizes the line buffer only)
    int lastPosition;     // tsd's write position after the last read with new lines; 0 never
    TimeStampedLine lastLine;
    int firstLine;  // lines to export now, from 1 in the copied lines; last -1 when none
    int lastLineNumber;
};

struct TimeStampedReader {
    LinkedList* sources;         // of TimeStampedSource, in export order, owned
    unsigned char* lineBuffer;   // owned
    int lineBufferSize;          // bytes
    TimeStampedWork* work;       // owned
    int sequence;                // exports made to this destination; 0 without a context
    uint32_t configurationDate;  // of the station configuration when the context was saved
};

// Builds the sources from the channel configuration (by increasing channel number, then the
// communication log, then the station log), the line buffer (twice the largest table) and the
// client's work.
void InitializeTimeStampedChannel(TimeStampedReader* reader);
// Frees what InitializeTimeStampedChannel made; the reader is cleared.
void FreeTimeStampedChannel(TimeStampedReader* reader);

// Context file of a destination: "/var/nonvolatile/" + name + ".context", each "/" of the name
// made "_" (the name is one file name), whole however long the name is.
std::string TimestampedChannelContextPath(const char* name);
// Reads the destination's context into the sources: 1 when the file was read (even partly), 0
// when it is absent or empty (every source then as never read).
int ReadTimestampedChannelContextFile(TimeStampedReader* reader, const char* name);
// Reads the source's table and works out the lines to export (firstLine..lastLineNumber): the
// number of new lines (> 0); 0 none new; -1 the read gave no line or failed (state unchanged).
int InitializeReadTimeStampedLine(TimeStampedReader* reader, TimeStampedSource* source);
// Saves the context of every source, replacing the file whole (a power cut leaves the old or
// the new one). 0 saved; -1 with errno when the file could not be replaced, or its folder not
// synced (logged at error level): the next run would then repeat this run's lines.
int WriteTimestampedChannelContextFile(TimeStampedReader* reader, const char* name);
