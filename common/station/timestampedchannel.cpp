#include "timestampedchannel.h"

#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "channeldb.h"
#include "clock.h"
#include "conf.h"
#include "datetime.h"
#include "integrity.h"
#include "logdebug.h"
#include "stationlog.h"

using namespace timestampedchannel;

namespace {

int ElapsedMs(const timeval& start) {
    return static_cast<int>(CalculateElapsedTimeMs(start, Clock().Now()));
}

// Modbus address that names a channel's memo, by type; 0 for the types that have none.
uint16_t MemoIdentifier(int channel, int type) {
    switch (type) {
        case 2:
        case 4:
        case 7:
            return GetIntModbusAddr(channel);
        case 1:
        case 3:
            return GetBoolModbusAddr(channel);
        case 5:
        case 6:
            return GetCounterModbusAddr(channel);
        default:
            return 0;
    }
}

TimeStampedSource* AddSource(TimeStampedReader* reader, uint16_t identifier, int capacity,
                             bool event) {
    auto* source = static_cast<TimeStampedSource*>(std::calloc(1, sizeof(TimeStampedSource)));
    CriticalAssert(source != nullptr, "erreur allocation", __FILE__, __LINE__);
    source->identifier = identifier;
    source->eventFlag = event ? 1 : 0;
    source->lineWeight = event ? kLogWeight : kMemoWeight;
    source->capacity = capacity;
    source->firstLine = 1;
    source->lastLineNumber = -1;
    CreateLinkedListTail(reader->sources, source);
    return source;
}

// The saved line of a source as line `number` (from 1) of the copy would save it.
TimeStampedLine LineOfCopy(TimeStampedReader* reader, const TimeStampedSource* source, int number) {
    TimeStampedLine line{};
    if (source->eventFlag != 0) {
        std::memcpy(&line, GetTimeStampedEvt(reader->work, number - 1), sizeof line);
    } else {
        const unsigned char* at = GetTimeStampedData(reader->work, number - 1);
        std::memcpy(&line.time, at, sizeof line.time);
        std::memcpy(&line.value, at + 4, sizeof line.value);
    }
    return line;
}

bool SameLine(const TimeStampedSource* source, const TimeStampedLine& a, const TimeStampedLine& b) {
    return a.time == b.time && a.value == b.value && (source->eventFlag == 0 || a.word == b.word);
}

}  // namespace

void InitializeTimeStampedChannel(TimeStampedReader* reader) {
    const timeval start = Clock().Now();
    *reader = TimeStampedReader{};
    reader->sources = CreateNewLinkedList();
    CriticalAssert(reader->sources != nullptr, "erreur allocation", __FILE__, __LINE__);
    long largest = 0;
    ChannelInfo info;
    bool opened = ChannelInfoOpen(&info) == 0;
    if (opened) {
        const int last = GetLastChannelNumber(&info);
        for (int channel = 1; channel <= last; ++channel) {
            const int type = GetChannelType(&info, channel);
            if (type == 0 || IsTimeStamped(&info, channel) == 0) {
                continue;
            }
            if (IsMemoTransmit(&info, channel) == 0) {
                StationLog(LOG_DEBUG, "modbus.lib : voie No %d non transmise", channel);
                continue;
            }
            const uint16_t identifier = MemoIdentifier(channel, type);
            if (identifier == 0) {
                continue;
            }
            TimeStampedSource* source =
                AddSource(reader, identifier, GetMemoSize(identifier), false);
            largest = std::max(largest, static_cast<long>(source->capacity) * source->lineWeight);
        }
    }
    TimeStampedSource* comm = AddSource(reader, timestamped::kCommLog, GetCommLogSize(), true);
    largest = std::max(largest, static_cast<long>(comm->capacity) * comm->lineWeight);
    TimeStampedSource* station =
        AddSource(reader, timestamped::kStationLog, GetStationLogSize(), true);
    largest = std::max(largest, static_cast<long>(station->capacity) * station->lineWeight);
    if (opened) {
        ChannelInfoClose(&info);
    }

    reader->work = new (std::nothrow) TimeStampedWork{};
    CriticalAssert(reader->work != nullptr, "erreur allocation", __FILE__, __LINE__);
    reader->lineBufferSize = static_cast<int>(2 * largest);
    reader->lineBuffer =
        static_cast<unsigned char*>(std::calloc(static_cast<size_t>(reader->lineBufferSize), 1));
    CriticalAssert(reader->lineBuffer != nullptr, "erreur allocation", __FILE__, __LINE__);
    TimeStampedDataInit(reader->work, reader->lineBuffer, reader->lineBufferSize,
                        sizeof(TimeStampedWork));
    StationLog(LOG_DEBUG, "divers.lib : init en %d ms", ElapsedMs(start));
}

void FreeTimeStampedChannel(TimeStampedReader* reader) {
    if (reader->work != nullptr) {
        TimeStampedDataFree(reader->work);
        delete reader->work;
    }
    if (reader->sources != nullptr) {
        DeleteLinkedList(reader->sources);
    }
    std::free(reader->lineBuffer);
    *reader = TimeStampedReader{};
}

std::string TimestampedChannelContextPath(const char* name) {
    std::string file = name != nullptr ? name : "";
    std::replace(file.begin(), file.end(), '/', '_');
    return kContextDirectory + file + kContextSuffix;
}

int InitializeReadTimeStampedLine(TimeStampedReader* reader, TimeStampedSource* source) {
    const int id = source->identifier;
    if (TimeStampedDataRead(reader->work, id) <= 0) {
        source->firstLine = 1;
        source->lastLineNumber = -1;
        return -1;
    }
    const int v = reader->work->lastValid;
    const int q = reader->work->lastCurrent;
    const int p = source->lastPosition;
    const int k = source->capacity;
    int n = v;
    source->firstLine = 1;
    source->lastLineNumber = v;
    if (p == 0) {
        StationLog(LOG_DEBUG,
                   "divers.lib : nb nouvelle lignes=%d, dernier ligne lue=%d pour %04X "
                   "Ligne(%d-%d)",
                   v, v, id, 1, v);
    } else {
        n = p <= q ? q - p : q + k - p;
        // More new lines than the copy holds cannot be placed in it either: the last line
        // exported would be before the first one copied.
        if (p > v || n < 0 || n > v) {
            StationLog(LOG_ERR, "divers.lib : context error Ligne %d %d %d", p, v, q);
            n = v;
        } else {
            const int last = v - n;
            source->firstLine = last + 1;
            StationLog(LOG_DEBUG,
                       "divers.lib : nb nouvelle lignes=%d, dernier ligne lue=%d pour %04X "
                       "Ligne(%d-%d)",
                       n, last, id, last + 1, v);
            const TimeStampedLine& saved = source->lastLine;
            if (last > 0 && !SameLine(source, LineOfCopy(reader, source, last), saved)) {
                // tsd overwrote lines not yet exported: the whole table goes again.
                source->firstLine = 1;
                n = v;
                if (source->eventFlag != 0) {
                    StationLog(LOG_ERR, "divers.lib : underflow Ligne(%d-%d) %d-%04X-%08lX", 1, v,
                               static_cast<int>(saved.time), saved.word,
                               static_cast<unsigned long>(saved.value));
                } else {
                    StationLog(LOG_ERR, "divers.lib : underflow Ligne(%d-%d) %d-%08lX", 1, v,
                               static_cast<int>(saved.time),
                               static_cast<unsigned long>(saved.value));
                }
            }
        }
    }
    if (n > 0) {
        source->lastPosition = q;
        source->lastLine = LineOfCopy(reader, source, v);
    } else {
        source->firstLine = 0;
        source->lastLineNumber = -1;
    }
    return n;
}
