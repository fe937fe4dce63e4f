#include "remoteexport.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "argdecode.h"
#include "channeldb.h"
#include "stationfile.h"
#include "timestampedutil.h"

using namespace remoteexport;

namespace {

// An argument cut to its buffer; a value read from an @file keeps its line end, which is no part
// of a host name or a password. The argument's index in argv, or -1 (and an empty buffer) when
// it is not given.
int Argument(int argc, char** argv, const char* key, char* buffer, int size) {
    buffer[0] = 0;
    const int index = GetArgumentStr(argc, argv, key, buffer, size - 1);
    if (index < 0) {
        buffer[0] = 0;
        return -1;
    }
    size_t n = std::strlen(buffer);
    while (n > 0 && (buffer[n - 1] == '\n' || buffer[n - 1] == '\r')) {
        buffer[--n] = 0;
    }
    return index;
}

bool Unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~' || c == '/';
}

// Appends text to out at *used, terminated. 0, or -1 with errno ENAMETOOLONG when it does not
// fit.
int Add(char* out, size_t size, size_t* used, const char* text) {
    const size_t n = std::strlen(text);
    if (*used + n + 1 > size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(out + *used, text, n + 1);
    *used += n;
    return 0;
}

// The same with the text encoded (RemoteEncodePath).
int AddEncoded(char* out, size_t size, size_t* used, const char* text) {
    if (RemoteEncodePath(text, out + *used, size - *used) != 0) {
        return -1;
    }
    *used += std::strlen(out + *used);
    return 0;
}

}  // namespace

int RemoteReadArguments(int argc, char** argv, RemoteArguments* args) {
    args->port = ValueArgumentDecode(argc, argv, "Port");
    Argument(argc, argv, "Server", args->server, sizeof args->server);
    if (args->server[0] == 0) {
        errno = EINVAL;
        return -1;
    }
    Argument(argc, argv, "Login", args->login, sizeof args->login);
    Argument(argc, argv, "Password", args->password, sizeof args->password);
    Argument(argc, argv, "To", args->to, sizeof args->to);
    Argument(argc, argv, "From", args->from, sizeof args->from);
    return 0;
}

RemoteTlsArguments RemoteReadTls(int argc, char** argv, RemoteArguments* args) {
    char tls[8];
    args->tls = 0;
    args->ca[0] = 0;
    if (Argument(argc, argv, "Tls", tls, sizeof tls) >= 0) {
        if (std::strcmp(tls, "0") != 0 && std::strcmp(tls, "1") != 0) {
            return RemoteTlsArguments::kBadTls;
        }
        args->tls = tls[0] - '0';
    }
    // One byte more than a path may have: a longer one is refused, not cut to another file.
    char ca[kCaSize + 1];
    Argument(argc, argv, "Ca", ca, sizeof ca);
    if (ca[0] == 0) {
        return RemoteTlsArguments::kOk;
    }
    if (args->tls != 1) {
        return RemoteTlsArguments::kCaWithoutTls;
    }
    if (std::strlen(ca) >= sizeof args->ca) {
        return RemoteTlsArguments::kCaTooLong;
    }
    std::memcpy(args->ca, ca, std::strlen(ca) + 1);
    return RemoteTlsArguments::kOk;
}

int RemoteCheckCaFile(const char* ca) {
    UniqueFd fd(StationOpen(ca, O_RDONLY | O_CLOEXEC));
    struct stat info;
    if (fd.Get() < 0 || fstat(fd.Get(), &info) != 0) {
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    return 0;
}

void RemoteApplyFrom(const char* from, ExportCursor* cursor, int* stationLog, int* commLog) {
    cursor->decimalComma = 1;
    std::snprintf(cursor->separator, sizeof cursor->separator, " ");
    *stationLog = 1;
    *commLog = 1;
    if (from != nullptr && std::strlen(from) > 2) {
        if (from[0] == '0') {
            cursor->decimalComma = 0;
        }
        if (from[1] == '0') {
            *stationLog = 0;
        }
        if (from[2] == '0') {
            *commLog = 0;
        }
        if (from[3] != 0) {
            std::snprintf(cursor->separator, sizeof cursor->separator, "%.*s", kSeparatorMax,
                          from + 3);
        }
    }
    cursor->csv = std::strcmp(cursor->separator, ",") == 0 && cursor->decimalComma == 0 ? 1 : 0;
    cursor->dateForm = cursor->csv;
}

int RemoteEncodePath(const char* text, char* out, size_t size) {
    static const char kHex[] = "0123456789ABCDEF";
    if (size == 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    size_t used = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        const size_t need = Unreserved(*p) ? 1 : 3;
        if (used + need + 1 > size) {
            out[used] = 0;
            errno = ENAMETOOLONG;
            return -1;
        }
        if (need == 1) {
            out[used++] = static_cast<char>(*p);
        } else {
            out[used++] = '%';
            out[used++] = kHex[*p >> 4];
            out[used++] = kHex[*p & 0x0F];
        }
    }
    out[used] = 0;
    return 0;
}

int RemoteUrlBase(const RemoteArguments* args, int csv, int stationId, int slaveNumber, char* out,
                  size_t size) {
    size_t used = 0;
    if (size == 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    out[0] = 0;
    if (Add(out, size, &used, "ftp://") != 0 || Add(out, size, &used, args->server) != 0 ||
        Add(out, size, &used, "/") != 0 || AddEncoded(out, size, &used, args->to) != 0) {
        return -1;
    }
    if (csv == 0) {
        char station[16];
        std::snprintf(station, sizeof station, "CSV%04X%02X", static_cast<uint16_t>(stationId),
                      static_cast<uint8_t>(slaveNumber));
        if (Add(out, size, &used, station) != 0) {
            return -1;
        }
    }
    return 0;
}

void RemoteShownBase(const RemoteArguments* args, const char* base, char* out, size_t size) {
    const char* path = std::strchr(base + std::strlen("ftp://"), '/');
    std::snprintf(out, size, "ftp://%s:%s@%s%s", args->login, kMask, args->server,
                  path != nullptr ? path : "/");
}

int RemoteSourceUrl(const char* base, int csv, const TimeStampedSource* source, ChannelInfo* info,
                    char* out, size_t size) {
    char name[csvrecord::kNameMax + 32];
    if (csv == 0) {
        std::snprintf(name, sizeof name, "_%04X.txt", source->identifier);
    } else if (source->identifier == timestamped::kStationLog) {
        std::snprintf(name, sizeof name, "station.csv");
    } else if (source->identifier == timestamped::kCommLog) {
        std::snprintf(name, sizeof name, "comm.csv");
    } else {
        const int channel = GetModbusAddrChannel(source->identifier);
        std::snprintf(name, sizeof name, "%s.%d.csv",
                      NettoieNomFichier(GetChannelName(info, channel)), channel);
    }
    size_t used = 0;
    if (size == 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    out[0] = 0;
    if (Add(out, size, &used, base) != 0 || AddEncoded(out, size, &used, name) != 0) {
        return -1;
    }
    return 0;
}

size_t RemoteMaskSecret(const char* data, size_t size, const char* secret, char* out,
                        size_t outMax) {
    size_t used = 0;
    auto put = [&](const char* bytes, size_t n) {
        n = std::min(n, outMax - used);
        std::memcpy(out + used, bytes, n);
        used += n;
    };
    if (size >= 5 && std::memcmp(data, "PASS ", 5) == 0) {
        put("PASS ", 5);
        put(kMask, std::strlen(kMask));
        const void* end = std::memchr(data, '\n', size);
        const size_t eol =
            end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - data) : size;
        const size_t cr = eol > 0 && data[eol - 1] == '\r' ? 1 : 0;
        data += eol - cr;
        size -= eol - cr;
    }
    const size_t secretLength = secret != nullptr ? std::strlen(secret) : 0;
    size_t i = 0;
    while (i < size && used < outMax) {
        if (secretLength > 0 && size - i >= secretLength &&
            std::memcmp(data + i, secret, secretLength) == 0) {
            put(kMask, std::strlen(kMask));
            i += secretLength;
            continue;
        }
        // A secret cut by the end of the text is not shown either: its start is masked.
        if (secretLength > 1 && size - i < secretLength &&
            std::memcmp(data + i, secret, size - i) == 0) {
            put(kMask, std::strlen(kMask));
            break;
        }
        out[used++] = data[i++];
    }
    return used;
}

long RemoteTimeoutSeconds() {
    if (std::getenv("STATION_ROOT") == nullptr) {
        return kTimeoutSeconds;
    }
    const char* text = std::getenv(kTimeoutVariable);
    if (text == nullptr) {
        return kTimeoutSeconds;
    }
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != 0 || value < 1 || value > kTimeoutSeconds) {
        return kTimeoutSeconds;
    }
    return value;
}

namespace {

// A hexadecimal field ended by ";", at most max: the text after the ";", or null.
const char* HexField(const char* text, unsigned long long max, unsigned long long* value) {
    if (!std::isxdigit(static_cast<unsigned char>(*text))) {
        return nullptr;
    }
    char* end = nullptr;
    errno = 0;
    *value = std::strtoull(text, &end, 16);
    if (errno != 0 || *value > max || *end != ';') {
        return nullptr;
    }
    return end + 1;
}

}  // namespace

int RemoteFormatPartial(const RemotePartial* partial, char* out, size_t size) {
    const int n = std::snprintf(
        out, size, "%llX;%llX;%lX;%X;%lX;%s\n", static_cast<unsigned long long>(partial->start),
        static_cast<unsigned long long>(partial->handed),
        static_cast<unsigned long>(partial->first.time), static_cast<unsigned>(partial->first.word),
        static_cast<unsigned long>(partial->first.value), partial->url);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return 0;
}

int RemoteParsePartial(const char* line, RemotePartial* partial) {
    unsigned long long start, handed, time, word, value;
    const char* at = line;
    if ((at = HexField(at, LLONG_MAX, &start)) == nullptr ||
        (at = HexField(at, LLONG_MAX, &handed)) == nullptr ||
        (at = HexField(at, UINT32_MAX, &time)) == nullptr ||
        (at = HexField(at, 0xFFFF, &word)) == nullptr ||
        (at = HexField(at, UINT32_MAX, &value)) == nullptr) {
        errno = EINVAL;
        return -1;
    }
    size_t length = std::strcspn(at, "\r\n");
    if (length == 0 || length >= sizeof partial->url ||
        at[length + std::strspn(at + length, "\r\n")] != 0) {
        errno = EINVAL;
        return -1;
    }
    RemotePartial read;
    read.start = static_cast<long long>(start);
    read.handed = static_cast<long long>(handed);
    read.first = TimeStampedLine{static_cast<uint32_t>(time),
                                 static_cast<uint16_t>(word),
                                 {0, 0},
                                 static_cast<uint32_t>(value)};
    std::memcpy(read.url, at, length);
    read.url[length] = 0;
    *partial = read;
    return 0;
}

long long RemotePartialHeld(const RemotePartial* partial, long long size) {
    if (size < partial->start || size - partial->start > partial->handed) {
        return -1;
    }
    return size - partial->start;
}

std::string RemotePartialPath(const char* destination) {
    std::string path = TimestampedChannelContextPath(destination);
    path.resize(path.size() - std::strlen(timestampedchannel::kContextSuffix));
    return path + kPartialSuffix;
}

int RemoteReadPartials(const char* destination, std::vector<RemotePartial>* partials) {
    partials->clear();
    const std::string path = RemotePartialPath(destination);
    FILE* file = StationFopen(path.c_str(), "r");
    if (file == nullptr) {
        return errno == ENOENT ? 0 : -1;
    }
    char line[kUrlSize + 128];
    while (std::fgets(line, sizeof line, file) != nullptr &&
           static_cast<int>(partials->size()) < kPartialMax) {
        const size_t length = std::strlen(line);
        if (length == sizeof line - 1 && line[length - 1] != '\n') {
            // Longer than any record: skipped whole, its rest never taken for a line.
            int c;
            while ((c = std::fgetc(file)) != EOF && c != '\n') {
            }
            continue;
        }
        RemotePartial partial;
        if (RemoteParsePartial(line, &partial) == 0) {
            partials->push_back(partial);
        }
    }
    const int error = std::ferror(file) != 0 ? EIO : 0;
    std::fclose(file);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

int RemoteWritePartials(const char* destination, const std::vector<RemotePartial>& partials) {
    const std::string path = RemotePartialPath(destination);
    if (partials.empty()) {
        return StationUnlink(path.c_str()) == 0 || errno == ENOENT ? 0 : -1;
    }
    std::string text;
    char line[kUrlSize + 128];
    for (const RemotePartial& partial : partials) {
        if (RemoteFormatPartial(&partial, line, sizeof line) != 0) {
            return -1;
        }
        text += line;
    }
    DurableFile file;
    if (file.Begin(path.c_str(), 0644, stationfile::ModeRule::kKeep) != 0 ||
        file.Write(text.data(), text.size()) != 0 || file.Commit() != 0) {
        return -1;
    }
    return 0;
}
