#include "timestampedchannel.h"

#include <syslog.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
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
#include "stationfile.h"
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

// Reads one line of the context file, at most kContextLineMax characters of it; the rest of a
// longer line is skipped, never taken for a line of its own. False at the end of the file.
bool ReadContextLine(FILE* file, char (&line)[kContextLineMax + 1]) {
    if (std::fgets(line, sizeof line, file) == nullptr) {
        return false;
    }
    size_t length = std::strlen(line);
    if (length == sizeof line - 1 && line[length - 1] != '\n') {
        int c;
        while ((c = std::fgetc(file)) != EOF && c != '\n') {
        }
    }
    return true;
}

// Splits a line at the separators into at most `max` fields; the number of fields, or max + 1
// when there are more.
int SplitFields(char* line, char** fields, int max) {
    int count = 0;
    char* save = nullptr;
    for (char* field = strtok_r(line, " ;:\t\n", &save); field != nullptr;
         field = strtok_r(nullptr, " ;:\t\n", &save)) {
        if (count == max) {
            return max + 1;
        }
        fields[count++] = field;
    }
    return count;
}

// A field in hexadecimal, up to `max`; false when it is not one.
bool Hex(const char* field, unsigned long max, unsigned long& value) {
    if (!std::isxdigit(static_cast<unsigned char>(field[0]))) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(field, &end, 16);
    return *end == 0 && errno == 0 && value <= max;
}

TimeStampedSource* FindSource(TimeStampedReader* reader, unsigned long identifier) {
    for (LinkedListNode* node = reader->sources->first; node != nullptr; node = node->next) {
        auto* source = static_cast<TimeStampedSource*>(node->data);
        if (source->identifier == identifier) {
            return source;
        }
    }
    return nullptr;
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
    // The size tsd answers with, not the configured one: the two differ when a memo-size record
    // is missing or the sizes changed while tsd runs, and only tsd's wraps the positions.
    const int k = reader->work->lastTab;
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

int ReadTimestampedChannelContextFile(TimeStampedReader* reader, const char* name) {
    const timeval start = Clock().Now();
    const std::string path = TimestampedChannelContextPath(name);
    FILE* file = StationFopen(path.c_str(), "r");
    if (file == nullptr) {
        StationLog(LOG_ERR, "divers.lib : fichier %s impossible a ouvrir : %d", path.c_str(),
                   errno);
        return 0;
    }
    char line[kContextLineMax + 1];
    char* fields[5];
    if (!ReadContextLine(file, line)) {
        std::fclose(file);
        return 0;
    }
    int count = SplitFields(line, fields, 2);
    unsigned long value = 0;
    if (count >= 1 && Hex(fields[0], INT_MAX, value)) {
        reader->sequence = static_cast<int>(value);
        StationLog(LOG_DEBUG, "divers.lib : seq=%d", reader->sequence);
    }
    if (count >= 2 && Hex(fields[1], UINT32_MAX, value)) {
        reader->configurationDate = static_cast<uint32_t>(value);
        StationLog(LOG_DEBUG, "divers.lib : date conf=%d",
                   static_cast<int>(reader->configurationDate));
    }
    const uint32_t current = GetConfigurationDate();
    if (current != reader->configurationDate) {
        StationLog(LOG_DEBUG, "divers.lib : conf. modifiee : %d", static_cast<int>(current));
        reader->configurationDate = current;
    }
    while (ReadContextLine(file, line)) {
        // Five fields, each a number of its width: anything else is a damaged line, ignored.
        unsigned long id, position, time, word, lineValue;
        if (SplitFields(line, fields, 5) != 5 || !Hex(fields[0], 0xFFFF, id) ||
            !Hex(fields[1], INT_MAX, position) || !Hex(fields[2], UINT32_MAX, time) ||
            !Hex(fields[3], 0xFFFF, word) || !Hex(fields[4], UINT32_MAX, lineValue)) {
            continue;
        }
        TimeStampedSource* source = FindSource(reader, id);
        if (source == nullptr) {
            StationLog(LOG_ERR, "divers.lib : info orpheline pour %04X", static_cast<unsigned>(id));
            continue;
        }
        source->lastPosition = static_cast<int>(position);
        source->lastLine = TimeStampedLine{static_cast<uint32_t>(time),
                                           static_cast<uint16_t>(word),
                                           {0, 0},
                                           static_cast<uint32_t>(lineValue)};
        StationLog(LOG_DEBUG, "divers.lib: info  dans fichier pour %04X=%d-%d-%04X-%08X",
                   static_cast<unsigned>(id), source->lastPosition, static_cast<int>(time),
                   static_cast<unsigned>(word), static_cast<unsigned>(lineValue));
    }
    std::fclose(file);
    StationLog(LOG_DEBUG, "divers.lib : utilisation de %s en %d ms", path.c_str(),
               ElapsedMs(start));
    return 1;
}

int WriteTimestampedChannelContextFile(TimeStampedReader* reader, const char* name) {
    const timeval start = Clock().Now();
    const std::string path = TimestampedChannelContextPath(name);
    std::string text;
    char line[96];
    std::snprintf(line, sizeof line, "%X;%X\n", static_cast<unsigned>(reader->sequence),
                  reader->configurationDate);
    text += line;
    for (LinkedListNode* node = reader->sources->first; node != nullptr; node = node->next) {
        const auto* s = static_cast<const TimeStampedSource*>(node->data);
        std::snprintf(line, sizeof line, "%X;%X;%lX;%X;%lX\n", s->identifier,
                      static_cast<unsigned>(s->lastPosition),
                      static_cast<unsigned long>(s->lastLine.time), s->lastLine.word,
                      static_cast<unsigned long>(s->lastLine.value));
        text += line;
    }
    // Replaced whole: a power cut leaves the old context or the new one, never an empty file
    // (which would export every table again).
    DurableFile file;
    if (file.Begin(path.c_str(), 0644, stationfile::ModeRule::kKeep) != 0) {
        const int error = errno;
        StationLog(LOG_ERR, "divers.lib : erreur ouverture fichier descriptif %s : %d",
                   path.c_str(), error);
        errno = error;
        return -1;
    }
    if (file.Write(text.data(), text.size()) != 0 || file.Commit() != 0) {
        const int error = errno;
        const stationfile::Step step = file.FailedStep();
        if (step == stationfile::Step::kSync || step == stationfile::Step::kSyncDirectory) {
            StationLog(LOG_ERR, "divers.lib: fsync error of %s : %s", path.c_str(),
                       std::strerror(error));
        } else {
            StationLog(LOG_ERR, "divers.lib : erreur ecriture fichier descriptif %s : %d",
                       path.c_str(), error);
        }
        // Only a directory that could not be synced leaves the new file in place, and it may
        // not survive a power cut either: not saved.
        errno = error;
        return -1;
    }
    StationLog(LOG_DEBUG, "divers.lib : ecriture de %s en %d ms", path.c_str(), ElapsedMs(start));
    return 0;
}
