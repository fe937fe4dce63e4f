#include "csvrecord.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>

#include "commlog.h"
#include "displaychan.h"
#include "stationfile.h"
#include "stationlog.h"

using namespace csvrecord;

namespace {

long long RealMonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// libcurl's CURL_READFUNC_ABORT: the read function ends the transfer as failed.
constexpr size_t kReadAbort = 0x10000000;

uint32_t Word32(const unsigned char* at) {
    uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}
uint16_t Word16(const unsigned char* at) {
    uint16_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// A line of the reader's copy, numbered from 1.
struct Line {
    uint32_t time;
    uint16_t word;  // event lines only
    uint32_t value;
};
Line EventLine(TimeStampedReader* reader, int number) {
    const unsigned char* at = GetTimeStampedEvt(reader->work, number - 1);
    return {Word32(at), Word16(at + 4), Word32(at + 8)};
}
Line MemoLine(TimeStampedReader* reader, int number) {
    const unsigned char* at = GetTimeStampedData(reader->work, number - 1);
    return {Word32(at), 0, Word32(at + 4)};
}

void LocalDate(time_t time, struct tm& date) {
    if (localtime_r(&time, &date) == nullptr) {
        date = {};
    }
}

int FormatIsoDate(char* buffer, size_t size, time_t time, const char* separator) {
    struct tm date;
    LocalDate(time, date);
    return std::snprintf(buffer, size, "%04d-%02d-%02d %02d:%02d:%02d%s", date.tm_year + 1900,
                         date.tm_mon + 1, date.tm_mday, date.tm_hour, date.tm_min, date.tm_sec,
                         separator);
}

// A communication sentence with its double quotes made single.
void SingleQuotes(char* text) {
    for (char* p = text; *p != 0; ++p) {
        if (*p == '"') {
            *p = '\'';
        }
    }
}

// Takes this run's lines out of a file that could not be written whole (its descriptor is closed
// already): a file that existed goes back to its length, one made by this run goes.
void Undo(const char* path, bool existed, off_t length) {
    if (existed) {
        if (StationTruncate(path, length) != 0) {
            StationLog(LOG_ERR, "truncate of %s : %s", path, std::strerror(errno));
        }
    } else if (StationUnlink(path) != 0 && errno != ENOENT) {
        StationLog(LOG_ERR, "unlink of %s : %s", path, std::strerror(errno));
    }
}

// Opens a file of the key for appending: the descriptor, or -1 (logged). Whether it existed and
// its length say how to undo a failed run.
int OpenForAppend(const char* path, bool& existed, off_t& length) {
    struct stat info {};
    existed = StationStat(path, &info) == 0;
    length = existed ? info.st_size : 0;
    int fd = StationOpen(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        StationLog(LOG_ERR, "open of %s : %s", path, std::strerror(errno));
    }
    return fd;
}

// The end of a file: to disk, closed. 1, or 0 (logged) when the key did not take it.
int Finish(const char* path, int fd) {
    if (fsync(fd) != 0) {
        StationLog(LOG_ERR, "fsync of %s : %s", path, std::strerror(errno));
        close(fd);
        return 0;
    }
    if (close(fd) != 0) {
        StationLog(LOG_ERR, "close of %s : %s", path, std::strerror(errno));
        return 0;
    }
    return 1;
}

enum class Kind { kStation, kComm, kMemo };

// The local date of a time as "YYYY-MM-DD HH:MM:SS" into out (at least 48 bytes, not
// terminated); its length, 19 for any year of four digits. The file's kept hour serves when the
// time falls in it. Each source starts again with its oldest line, so the next time may fall
// before the kept hour as well as after it.
int IsoDate(EcritFichier* file, time_t time, char* out) {
    time_t& start = file->hourStart;
    time_t& end = file->hourEnd;
    char(&head)[sizeof file->hour] = file->hour;
    if (time < start || time >= end) {
        struct tm date;
        LocalDate(time, date);
        char text[48];
        const int n =
            std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", date.tm_year + 1900,
                          date.tm_mon + 1, date.tm_mday, date.tm_hour, date.tm_min, date.tm_sec);
        if (n != 19) {
            start = 1;
            end = 0;
            std::memcpy(out, text, static_cast<size_t>(n));
            return n;
        }
        start = time - (date.tm_min * 60 + date.tm_sec);
        // In the last hour a 32-bit time_t can hold, the hour's end is past it: no caching there.
        const bool lastHour = start > std::numeric_limits<time_t>::max() - 3600;
        end = lastHour ? start : start + 3600;
        // Both ends of the hour are checked: after a change of offset off the hour (half an hour,
        // three quarters), minutes and seconds taken off a time lead to before the change.
        struct tm first;
        struct tm last;
        LocalDate(start, first);
        LocalDate(end - 1, last);
        if (lastHour || date.tm_sec > 59 || first.tm_hour != date.tm_hour ||
            first.tm_mday != date.tm_mday || first.tm_min != 0 || first.tm_sec != 0 ||
            first.tm_gmtoff != date.tm_gmtoff || last.tm_hour != date.tm_hour ||
            last.tm_mday != date.tm_mday || last.tm_min != 59 || last.tm_sec != 59 ||
            last.tm_gmtoff != date.tm_gmtoff) {
            start = 1;
            end = 0;
            std::memcpy(out, text, 19);
            return 19;
        }
        std::memcpy(head, text, sizeof head);
    }
    const int within = static_cast<int>(time - start);
    std::memcpy(out, head, sizeof head);
    const int minutes = within / 60;
    const int seconds = within % 60;
    out[14] = static_cast<char>('0' + minutes / 10);
    out[15] = static_cast<char>('0' + minutes % 10);
    out[16] = ':';
    out[17] = static_cast<char>('0' + seconds / 10);
    out[18] = static_cast<char>('0' + seconds % 10);
    return 19;
}

// Room for `count` more bytes in the file's buffer, writing it out when it is too full.
bool Reserve(EcritFichier* file, size_t count) {
    if (file->used + count <= sizeof file->buffer) {
        return true;
    }
    return EcritVide(file) != 0;
}

void Put(EcritFichier* file, const char* bytes, size_t count) {
    std::memcpy(file->buffer + file->used, bytes, count);
    file->used += count;
}

// The writer's file is appended to through its one buffer, and taken back to what it was when
// this call could not write it whole.
int Refresh(CsvWriter* writer, Kind kind, const char* path, TimeStampedReader* reader,
            TimeStampedSource* source, int count) {
    bool existed = false;
    off_t length = 0;
    EcritFichier* file = &writer->file;
    const char* separatorText = file->separator;
    file->used = 0;
    file->fd = OpenForAppend(path, existed, length);
    if (file->fd < 0) {
        return 0;
    }
    const int memoChannel = GetModbusAddrChannel(source->identifier);
    const size_t separator = std::strlen(separatorText);
    for (int i = 0; i < count; ++i) {
        const int number = source->firstLine + i;
        const Line line =
            kind == Kind::kMemo ? MemoLine(reader, number) : EventLine(reader, number);
        bool written = EcritDate(file, static_cast<time_t>(line.time)) != 0;
        ++writer->NbLignes;
        char value[64];
        switch (kind) {
            case Kind::kStation: {
                const int channel = GetModbusAddrChannel(line.word);
                const char* stored = GetChannelName(&writer->info, channel);
                char middle[96];
                auto at = std::to_chars(middle, middle + 16, channel).ptr;
                std::memcpy(at, separatorText, separator);
                at += separator;
                *at++ = '"';
                for (const char* c = stored != nullptr ? stored : ""; *c != 0; ++c) {
                    // A double quote in a name would end the field early.
                    *at++ = *c == '"' ? '\'' : *c;
                }
                *at++ = '"';
                std::memcpy(at, separatorText, separator);
                at += separator;
                const size_t n = static_cast<size_t>(at - middle);
                written = written && Reserve(file, n);
                if (written) {
                    Put(file, middle, n);
                }
                display_chan_value_log_raw(&writer->values, &writer->info, channel, line.value,
                                           value, sizeof value, 1);
                written = written && EcritFin(file, value) != 0;
                break;
            }
            case Kind::kComm: {
                char text[kCommTextMax + 1];
                display_comm(line.word, line.value, text, sizeof text);
                SingleQuotes(text);
                written = written && EcritChaine(file, text) != 0 && EcritFin(file, "") != 0;
                break;
            }
            case Kind::kMemo:
                display_chan_value_log_raw(&writer->values, &writer->info, memoChannel, line.value,
                                           value, sizeof value, 1);
                written = written && EcritFin(file, value) != 0;
                break;
        }
        if (!written) {
            Undo(path, existed, length);
            return 0;
        }
    }
    if (EcritVide(file) == 0) {
        Undo(path, existed, length);
        return 0;
    }
    if (Finish(path, file->fd) == 0) {
        Undo(path, existed, length);
        return 0;
    }
    file->fd = -1;
    return 1;
}

}  // namespace

void SetSeparateur(EcritFichier* file, const char* separator) {
    std::snprintf(file->separator, sizeof file->separator, "%s",
                  separator != nullptr ? separator : "");
}

int CsvChannelsOpen(CsvWriter* writer) {
    ChannelReadOpen(&writer->values);
    return ChannelInfoOpen(&writer->info);
}

void CsvChannelsClose(CsvWriter* writer) {
    ChannelInfoClose(&writer->info);
    ChannelReadClose(&writer->values);
}

const char* NettoieNomFichier(const char* name) {
    static char clean[kNameMax + 1];
    std::snprintf(clean, sizeof clean, "%s", name != nullptr ? name : "");
    for (char* p = clean; *p != 0; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F || std::strchr("*?/<>:\"\\|", c) != nullptr) {
            *p = '_';
        }
    }
    return clean;
}

int EcritBuffer(int fd, const char* bytes, int length) {
    return EcritBufferWithin(fd, bytes, length, kWriteBoundSeconds * 1000);
}

int EcritBufferWithin(int fd, const char* bytes, int length, int boundMs) {
    // The bound is on the clock poll waits by, not the module's clock.
    const long long start = RealMonotonicMs();
    while (length > 0) {
        ssize_t n = write(fd, bytes, static_cast<size_t>(length));
        if (n > 0) {
            bytes += n;
            length -= static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            // The key takes nothing for now: wait until it does, within the bound.
            const long long left = boundMs - (RealMonotonicMs() - start);
            if (left > 0) {
                pollfd p{fd, POLLOUT, 0};
                if (poll(&p, 1, static_cast<int>(left)) >= 0 || errno == EINTR) {
                    continue;
                }
            }
            StationLog(LOG_ERR, "too long to write of %d", fd);
            close(fd);
            return 0;
        }
        StationLog(LOG_ERR, "write of %d : %s", fd,
                   n == 0 ? "nothing written" : std::strerror(errno));
        close(fd);
        return 0;
    }
    return 1;
}

int EcritVide(EcritFichier* file) {
    if (file->used == 0) {
        return 1;
    }
    const int n = static_cast<int>(file->used);
    file->used = 0;
    if (EcritBuffer(file->fd, file->buffer, n) == 0) {
        file->fd = -1;
        return 0;
    }
    return 1;
}

int EcritFin(EcritFichier* file, const char* text) {
    const size_t n = strnlen(text, kTextMax);
    if (!Reserve(file, n + 2)) {
        return 0;
    }
    Put(file, text, n);
    Put(file, "\r\n", 2);
    return 1;
}

int EcritChaine(EcritFichier* file, const char* text) {
    const size_t n = strnlen(text, kTextMax);
    if (!Reserve(file, n + 2)) {
        return 0;
    }
    Put(file, "\"", 1);
    Put(file, text, n);
    Put(file, "\"", 1);
    return 1;
}

int EcritDate(EcritFichier* file, time_t time) {
    const size_t separator = std::strlen(file->separator);
    if (!Reserve(file, 48 + separator)) {
        return 0;
    }
    file->used += static_cast<size_t>(IsoDate(file, time, file->buffer + file->used));
    Put(file, file->separator, separator);
    return 1;
}

int RafraichitJournalStation(CsvWriter* writer, const char* path, TimeStampedReader* reader,
                             TimeStampedSource* source, int count) {
    return Refresh(writer, Kind::kStation, path, reader, source, count);
}

int RafraichitJournalComm(CsvWriter* writer, const char* path, TimeStampedReader* reader,
                          TimeStampedSource* source, int count) {
    return Refresh(writer, Kind::kComm, path, reader, source, count);
}

int RafraichitVoie(CsvWriter* writer, const char* path, TimeStampedReader* reader,
                   TimeStampedSource* source, int count) {
    return Refresh(writer, Kind::kMemo, path, reader, source, count);
}

// ---- remoteexport ----------------------------------------------------------------------------

const char* affiche_date(const ExportCursor* cursor, time_t time) {
    static char text[40];
    if (cursor->dateForm != 0) {
        FormatIsoDate(text, sizeof text, time, cursor->separator);
    } else {
        struct tm date;
        LocalDate(time, date);
        std::snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d:%02d%s", date.tm_mday,
                      date.tm_mon + 1, date.tm_year + 1900, date.tm_hour, date.tm_min, date.tm_sec,
                      cursor->separator);
    }
    return text;
}

const char* affiche_valeur_decimal(const ExportCursor* cursor, int value) {
    static char text[20];
    std::snprintf(text, sizeof text, "%d%s", value, cursor->separator);
    return text;
}

void RemplacePoint(char* text) {
    if (char* point = std::strchr(text, '.')) {
        *point = ',';
    }
}

namespace {

// Appends text to a line of `size` bytes, cut to the room left; the new length.
int Append(char* line, int size, int length, const char* text) {
    int room = size - 1 - length;
    int n = static_cast<int>(std::strlen(text));
    n = std::min(n, std::max(room, 0));
    std::memcpy(line + length, text, static_cast<size_t>(n));
    line[length + n] = 0;
    return length + n;
}

size_t ReadLines(Kind kind, char* buffer, size_t size, size_t count, ExportCursor* cursor) {
    const int margin = kind == Kind::kStation ? kStationMargin : kLineMargin;
    const size_t capacity = size * count;
    if (cursor->linesLeft <= 0) {
        return 0;
    }
    if (capacity <= static_cast<size_t>(margin) + 2) {
        StationLog(LOG_ERR, "upload buffer of %zu bytes is too small", capacity);
        return kReadAbort;
    }
    const size_t limit = capacity - static_cast<size_t>(margin);
    size_t total = 0;
    while (cursor->linesLeft > 0 && total < limit) {
        char line[kStationMargin + 2];  // and its line end
        const int lineSize = margin;
        int length = 0;
        const int number = cursor->nextLine;
        const Line l = kind == Kind::kMemo ? MemoLine(cursor->reader, number)
                                           : EventLine(cursor->reader, number);
        length = Append(line, lineSize, length, affiche_date(cursor, static_cast<time_t>(l.time)));
        int valueAt = -1;
        char text[kStationMargin];
        switch (kind) {
            case Kind::kStation: {
                const int channel = GetModbusAddrChannel(l.word);
                if (cursor->csv != 0) {
                    length =
                        Append(line, lineSize, length, affiche_valeur_decimal(cursor, channel));
                    const char* name = GetChannelName(&cursor->info, channel);
                    length = Append(line, lineSize, length, name != nullptr ? name : "");
                    length = Append(line, lineSize, length, ",");
                } else {
                    length = Append(line, lineSize, length, affiche_valeur_decimal(cursor, l.word));
                }
                display_chan_value_log_raw(&cursor->values, &cursor->info, channel, l.value, text,
                                           sizeof text, 1);
                valueAt = length;
                length = Append(line, lineSize, length, text);
                break;
            }
            case Kind::kComm:
                display_comm(l.word, l.value, line + length, lineSize - length);
                length = static_cast<int>(std::strlen(line));
                break;
            case Kind::kMemo:
                display_chan_value_log_raw(&cursor->values, &cursor->info, cursor->channel, l.value,
                                           text, sizeof text, 1);
                valueAt = length;
                length = Append(line, lineSize, length, text);
                break;
        }
        ++cursor->nextLine;
        --cursor->linesLeft;
        if (cursor->decimalComma != 0 && valueAt >= 0) {
            RemplacePoint(line + valueAt);
        }
        if (cursor->csv != 0) {
            line[length++] = '\r';
        }
        line[length++] = '\n';
        // What the server already holds of the text is left out, down to a part of a line.
        if (cursor->skip >= length) {
            cursor->skip -= length;
            continue;
        }
        const int from = static_cast<int>(cursor->skip);
        cursor->skip = 0;
        ++cursor->NbLignes;
        std::memcpy(buffer + total, line + from, static_cast<size_t>(length - from));
        total += static_cast<size_t>(length - from);
    }
    StationLog(LOG_DEBUG, "Max=%d Longueur=%d Indice=%d", static_cast<int>(limit),
               static_cast<int>(total), cursor->nextLine);
    cursor->bytes += static_cast<int>(total);
    return total;
}

}  // namespace

size_t FonctionLectureDonneeStation(char* buffer, size_t size, size_t count, void* cursor) {
    return ReadLines(Kind::kStation, buffer, size, count, static_cast<ExportCursor*>(cursor));
}

size_t FonctionLectureDonneeComm(char* buffer, size_t size, size_t count, void* cursor) {
    return ReadLines(Kind::kComm, buffer, size, count, static_cast<ExportCursor*>(cursor));
}

size_t FonctionLectureDonneeVoie(char* buffer, size_t size, size_t count, void* cursor) {
    return ReadLines(Kind::kMemo, buffer, size, count, static_cast<ExportCursor*>(cursor));
}
