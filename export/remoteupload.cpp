#include "remoteupload.h"

#include <sched.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "argdecode.h"
#include "board.h"
#include "channeldb.h"
#include "clock.h"
#include "conf.h"
#include "logdebug.h"
#include "stationlog.h"

using namespace remoteexport;

static_assert(kContextNotSaved == kFailed + CURLE_WRITE_ERROR);

namespace {

__attribute__((format(printf, 2, 3))) void Trace(RemoteExport* run, const char* format, ...) {
    va_list args;
    va_start(args, format);
    TimeStampedVPrintfSerialDebug(&run->trace, format, args);
    va_end(args);
}

// What the server sends on the control connection is read by libcurl; anything else is dropped.
size_t Discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

const char* Label(curl_infotype type) {
    switch (type) {
        case CURLINFO_HEADER_IN:
            return "<= Recv header : ";
        case CURLINFO_HEADER_OUT:
            return "=> Send header : ";
        case CURLINFO_DATA_IN:
            return "<= Recv data : ";
        case CURLINFO_SSL_DATA_IN:
            return "<= Recv SSL data :";
        case CURLINFO_SSL_DATA_OUT:
            return "=> Send SSL data : ";
        default:
            return "  ";
    }
}

bool IsLog(const TimeStampedSource* source, uint16_t log) {
    return source->identifier == log;
}

using ReadFunction = size_t (*)(char*, size_t, size_t, void*);

ReadFunction ReaderOf(const TimeStampedSource* source) {
    if (IsLog(source, timestamped::kStationLog)) {
        return FonctionLectureDonneeStation;
    }
    if (IsLog(source, timestamped::kCommLog)) {
        return FonctionLectureDonneeComm;
    }
    return FonctionLectureDonneeVoie;
}

// Bound on a wait while libcurl has no socket to wait on: it is then between two steps of its
// own (after a PASV answer, before the data connection is started) and only needs calling again.
constexpr int kIdleWaitMs = 5;

// One upload with the easy handle's options: curl_easy_perform, but driven here. libcurl's own
// loop waits a whole second whenever it has neither a socket nor a timer to wait on, which its
// FTP code leaves it in after every PASV answer that was not there at once: a second per source
// on any real link.
CURLcode Perform(RemoteExport* run) {
    CURL* curl = run->curl;
    if (run->multi == nullptr) {
        run->multi = curl_multi_init();
        if (run->multi == nullptr) {
            return curl_easy_perform(curl);
        }
    }
    if (curl_multi_add_handle(run->multi, curl) != CURLM_OK) {
        return curl_easy_perform(curl);
    }
    CURLcode result = CURLE_OK;
    int running = 1;
    while (running > 0) {
        if (curl_multi_perform(run->multi, &running) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
        if (running == 0) {
            break;
        }
        fd_set read, write, error;
        FD_ZERO(&read);
        FD_ZERO(&write);
        FD_ZERO(&error);
        int highest = -1;
        long timeout = -1;
        curl_multi_fdset(run->multi, &read, &write, &error, &highest);
        curl_multi_timeout(run->multi, &timeout);
        int waitMs = timeout >= 0 && timeout < 1000 ? static_cast<int>(timeout) : 1000;
        if (highest < 0) {
            waitMs = std::min(waitMs, kIdleWaitMs);
        }
        curl_multi_wait(run->multi, nullptr, 0, waitMs, nullptr);
    }
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(run->multi, &left)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == curl) {
            result = message->data.result;
        }
    }
    curl_multi_remove_handle(run->multi, curl);
    return result;
}

template <typename T>
void Option(CURL* curl, CURLoption option, T value) {
    const CURLcode result = curl_easy_setopt(curl, option, value);
    if (result != CURLE_OK) {
        StationLog(LOG_ERR, "curl option %d : %s", static_cast<int>(option),
                   curl_easy_strerror(result));
    }
}

// The size of the remote file of run->url (SIZE, on the run's connection): CURLE_OK with *size,
// 0 when there is no such file and -1 when the server does not tell; else the failure.
CURLcode RemoteSize(RemoteExport* run, long long* size) {
    CURL* curl = run->curl;
    Option(curl, CURLOPT_UPLOAD, 0L);
    Option(curl, CURLOPT_NOBODY, 1L);
    Option(curl, CURLOPT_URL, run->url);
    CURLcode result = Perform(run);
    curl_off_t length = -1;
    if (result == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    } else if (result == CURLE_REMOTE_FILE_NOT_FOUND) {
        length = 0;
        result = CURLE_OK;
    }
    Option(curl, CURLOPT_NOBODY, 0L);
    Option(curl, CURLOPT_UPLOAD, 1L);
    *size = static_cast<long long>(length);
    return result;
}

TimeStampedLine FirstLine(RemoteExport* run, const TimeStampedSource* source) {
    TimeStampedLine line{};
    if (source->eventFlag != 0) {
        std::memcpy(&line, GetTimeStampedEvt(run->reader.work, source->firstLine - 1), sizeof line);
    } else {
        const unsigned char* at = GetTimeStampedData(run->reader.work, source->firstLine - 1);
        std::memcpy(&line.time, at, sizeof line.time);
        std::memcpy(&line.value, at + 4, sizeof line.value);
    }
    return line;
}

bool SameLine(const TimeStampedLine& a, const TimeStampedLine& b) {
    return a.time == b.time && a.word == b.word && a.value == b.value;
}

void SavePartials(RemoteExport* run) {
    if (RemoteWritePartials(run->destination, run->partials) != 0) {
        StationLog(LOG_ERR, "write of %s : %s", RemotePartialPath(run->destination).c_str(),
                   std::strerror(errno));
    }
}

// Saves the context as it stands. 0, or -1 with errno (WriteTimestampedChannelContextFile): the
// lines sent since the last save then go again next run, which is logged and traced.
int SaveContext(RemoteExport* run) {
    if (WriteTimestampedChannelContextFile(&run->reader, run->destination) == 0) {
        return 0;
    }
    const int error = errno;
    StationLog(LOG_ERR, "context of %s not saved : the next run sends these lines again",
               run->destination);
    Trace(run, "context not saved\n");
    errno = error;
    return -1;
}

// Before the upload of run->url: where its text begins on the server (-1 when the server does
// not tell) and how much of it the server holds already, from a record of an upload that
// failed; the record is taken out. CURLE_OK, or the failure of the SIZE command.
CURLcode ResumePoint(RemoteExport* run, const TimeStampedSource* source, long long* start,
                     long long* held) {
    long long size = -1;
    const CURLcode result = RemoteSize(run, &size);
    *start = size;
    *held = 0;
    if (result != CURLE_OK) {
        return result;
    }
    auto partial =
        std::find_if(run->partials.begin(), run->partials.end(),
                     [&](const RemotePartial& p) { return std::strcmp(p.url, run->url) == 0; });
    if (partial == run->partials.end()) {
        return CURLE_OK;
    }
    const long long already = size >= 0 ? RemotePartialHeld(&*partial, size) : -1;
    if (!SameLine(partial->first, FirstLine(run, source)) || already < 0) {
        // The text is not the one sent then (tsd lost lines since), or the file changed.
        StationLog(LOG_WARNING, "%s : what an upload that failed left there is not known",
                   run->url);
    } else {
        *start = partial->start;
        *held = already;
        StationLog(LOG_INFO, "%s holds %lld bytes of these lines already", run->url, already);
    }
    run->partials.erase(partial);
    SavePartials(run);
    return CURLE_OK;
}

// Explicit FTPS: AUTH TLS before the login, PROT P for every data connection, the server's
// certificate and host name verified. Any of them refused is the end of the run: never a
// transfer in clear when protection was asked for.
CURLcode Protect(RemoteExport* run) {
    CURL* curl = run->curl;
    CURLcode result = CURLE_OK;
    auto set = [&](CURLoption option, auto value) {
        if (result == CURLE_OK) {
            result = curl_easy_setopt(curl, option, value);
        }
    };
    set(CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    set(CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    if (run->args.ca[0] != 0) {
        // The site's CA alone: the system's store is not trusted beside it.
        const std::string ca = StationPath(run->args.ca);
        set(CURLOPT_CAINFO, ca.c_str());
        set(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    }
    return result;
}

}  // namespace

int CallbackCurlDebug(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    // The data sent is the lines themselves. The TLS records are binary, two or more for each
    // command: they would push the dialogue out of the trace; libcurl's texts tell the handshake.
    if (type == CURLINFO_DATA_OUT || type == CURLINFO_SSL_DATA_IN ||
        type == CURLINFO_SSL_DATA_OUT) {
        return 0;
    }
    auto* run = static_cast<RemoteExport*>(user);
    char text[kTraceDataMax + 1];
    const size_t n = RemoteMaskSecret(data, size, run->args.password, text, kTraceDataMax);
    TimeStampSerialDebug(&run->trace);
    WriteStrToSerialDebug(&run->trace, Label(type));
    WriteBytesToSerialDebug(&run->trace, text, static_cast<int>(n));
    if (n == 0 || text[n - 1] != '\n') {
        WriteStrToSerialDebug(&run->trace, "\n");
    }
    return 0;
}

void nettoyage_sortie(int status, void* handle) {
    if (handle != nullptr) {
        const long long start = MonotonicMs();
        StationLog(LOG_INFO, "begin clean up");
        // The run rides on the handle: on_exit gives the handle alone.
        RemoteExport* run = nullptr;
        curl_easy_getinfo(static_cast<CURL*>(handle), CURLINFO_PRIVATE, &run);
        if (run != nullptr && run->multi != nullptr) {
            curl_multi_cleanup(run->multi);  // the connection kept: QUIT
            run->multi = nullptr;
        }
        curl_easy_cleanup(static_cast<CURL*>(handle));
        StationLog(LOG_INFO, "end cleanup status=%d time=%d ms", status,
                   static_cast<int>(MonotonicMs() - start));
    }
    curl_global_cleanup();
}

int RemoteExportStart(RemoteExport* run, int argc, char** argv) {
    run->startMs = MonotonicMs();
    run->program = argv[0];
    run->args.port = ValueArgumentDecode(argc, argv, "Port");
    IsDebug(kDebugName);
    if (RemoteReadArguments(argc, argv, &run->args) != 0) {
        StationLog(LOG_ERR, "pas de serveur");
        return kNoServer;
    }
    switch (RemoteReadTls(argc, argv, &run->args)) {
        case RemoteTlsArguments::kOk:
            break;
        case RemoteTlsArguments::kBadTls:
            StationLog(LOG_ERR, "Tls : 0 or 1 expected");
            return kBadArguments;
        case RemoteTlsArguments::kCaWithoutTls:
            StationLog(LOG_ERR, "Ca without Tls=1 : nothing is sent in clear");
            return kBadArguments;
        case RemoteTlsArguments::kCaTooLong:
            StationLog(LOG_ERR, "Ca longer than %d characters", kCaSize - 1);
            return kBadArguments;
    }
    if (run->args.ca[0] != 0 && RemoteCheckCaFile(run->args.ca) != 0) {
        StationLog(LOG_ERR, "CA file %s : %s", run->args.ca, std::strerror(errno));
        return kBadArguments;
    }
    CreateSerialDebug(&run->trace, run->args.port);

    const CURLcode init = curl_global_init(CURL_GLOBAL_ALL);
    if (init != CURLE_OK) {
        StationLog(LOG_ERR, "curl init : %s", curl_easy_strerror(init));
        return kFailed + init;
    }
    run->curl = curl_easy_init();
    if (run->curl == nullptr) {
        StationLog(LOG_ERR, "curl init : %s", curl_easy_strerror(CURLE_FAILED_INIT));
        curl_global_cleanup();
        return kFailed + CURLE_FAILED_INIT;
    }
    CURL* curl = run->curl;
    Option(curl, CURLOPT_WRITEFUNCTION, Discard);
    Option(curl, CURLOPT_DEBUGFUNCTION, CallbackCurlDebug);
    Option(curl, CURLOPT_DEBUGDATA, static_cast<void*>(run));
    Option(curl, CURLOPT_PRIVATE, static_cast<void*>(run));
    Option(curl, CURLOPT_VERBOSE, 1L);
    Option(curl, CURLOPT_FTP_SKIP_PASV_IP, 0L);
    Option(curl, CURLOPT_FTP_USE_EPSV, 0L);
    Option(curl, CURLOPT_USERAGENT, kUserAgent);
    Option(curl, CURLOPT_APPEND, 1L);
    // The credentials as options: a password holding "@", ":" or "/" would break a URL.
    if (run->args.login[0] != 0 || run->args.password[0] != 0) {
        Option(curl, CURLOPT_USERNAME, run->args.login);
        Option(curl, CURLOPT_PASSWORD, run->args.password);
    }
    // A server that stops answering or taking data must not hold the run for ever.
    const long bound = RemoteTimeoutSeconds();
    Option(curl, CURLOPT_CONNECTTIMEOUT, bound);
    Option(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, bound);
    Option(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    Option(curl, CURLOPT_LOW_SPEED_TIME, bound);
    Option(curl, CURLOPT_NOSIGNAL, 1L);
    Option(curl, CURLOPT_ERRORBUFFER, run->curlError);
    if (on_exit(nettoyage_sortie, curl) != 0) {
        StationLog(LOG_ERR, "error on on_exit");
    }
    if (run->args.tls == 1) {
        const CURLcode result = Protect(run);
        if (result != CURLE_OK) {
            StationLog(LOG_ERR, "TLS : %s", curl_easy_strerror(result));
            return kFailed + static_cast<int>(result);
        }
        StationLog(LOG_DEBUG, "Tls=1 Ca=%s",
                   run->args.ca[0] != 0 ? run->args.ca : "(system store)");
    }
    return 0;
}

int RemoteExportPrepare(RemoteExport* run) {
    InitializeTimeStampedChannel(&run->reader);
    std::snprintf(run->destination, sizeof run->destination, kDestination, run->args.server,
                  run->args.login);
    ReadTimestampedChannelContextFile(&run->reader, run->destination);
    if (RemoteReadPartials(run->destination, &run->partials) != 0) {
        StationLog(LOG_ERR, "read of %s : %s", RemotePartialPath(run->destination).c_str(),
                   std::strerror(errno));
    }
    Trace(run, "%s send No %d\n", run->program, run->reader.sequence + 1);

    run->cursor = new (std::nothrow) ExportCursor;
    CriticalAssert(run->cursor != nullptr, "erreur allocation", "remoteexport", __LINE__);
    ExportCursor* cursor = run->cursor;
    RemoteApplyFrom(run->args.from, cursor, &run->stationLog, &run->commLog);
    if (RemoteUrlBase(&run->args, cursor->csv, GetStationId(), GetStationSlaveNumber(), run->base,
                      sizeof run->base) != 0) {
        StationLog(LOG_ERR, "URL too long for %s/%s", run->args.server, run->args.to);
        return kFailed + CURLE_URL_MALFORMAT;
    }
    char shown[kUrlSize + 64];
    RemoteShownBase(&run->args, run->base, shown, sizeof shown);
    StationLog(LOG_DEBUG, "Racine(%d/%d)=%s", static_cast<int>(std::strlen(run->base)), kUrlSize,
               shown);
    StationLog(LOG_DEBUG, "from=%s sep1=%s FormatHeure=%d Virgule=%d Jounaux=(%d,%d)",
               run->args.from, cursor->separator, cursor->dateForm, cursor->decimalComma,
               run->stationLog, run->commLog);
    ChannelReadOpen(&cursor->values);
    ChannelInfoOpen(&cursor->info);
    cursor->reader = &run->reader;
    Option(run->curl, CURLOPT_UPLOAD, 1L);
    Option(run->curl, CURLOPT_VERBOSE, 1L);
    Option(run->curl, CURLOPT_READDATA, static_cast<void*>(cursor));
    return 0;
}

int RemoteExportSend(RemoteExport* run) {
    ExportCursor* cursor = run->cursor;
    for (LinkedListNode* node = run->reader.sources->first; node != nullptr; node = node->next) {
        sched_yield();
        auto* source = static_cast<TimeStampedSource*>(node->data);
        const TimeStampedSource before = *source;
        if (InitializeReadTimeStampedLine(&run->reader, source) < 1) {
            continue;
        }
        cursor->bytes = 0;
        const long long start = MonotonicMs();
        cursor->nextLine = source->firstLine;
        cursor->linesLeft = source->lastLineNumber - source->firstLine + 1;
        if (RemoteSourceUrl(run->base, cursor->csv, source, &cursor->info, run->url,
                            sizeof run->url) != 0) {
            StationLog(LOG_ERR, "URL too long for %04X", source->identifier);
            *source = before;
            SaveContext(run);
            return kFailed + CURLE_URL_MALFORMAT;
        }
        cursor->channel = -1;
        // A log the "From" options leave out: its new lines are taken and not sent.
        if ((IsLog(source, timestamped::kStationLog) && run->stationLog == 0) ||
            (IsLog(source, timestamped::kCommLog) && run->commLog == 0)) {
            continue;
        }
        if (!IsLog(source, timestamped::kStationLog) && !IsLog(source, timestamped::kCommLog)) {
            cursor->channel = GetModbusAddrChannel(source->identifier);
        }
        run->curlError[0] = 0;
        long long remoteStart = -1;
        long long held = 0;
        CURLcode result = ResumePoint(run, source, &remoteStart, &held);
        const bool sized = result == CURLE_OK;
        if (sized) {
            cursor->skip = held;
            Option(run->curl, CURLOPT_READFUNCTION, ReaderOf(source));
            Option(run->curl, CURLOPT_URL, run->url);
            result = Perform(run);
        }
        const long long elapsed = MonotonicMs() - start;
        StationLog(LOG_DEBUG, "Status ecriture %s=%d %d octets transmis en %d", run->url,
                   static_cast<int>(result), cursor->bytes, static_cast<int>(elapsed));
        if (result != CURLE_OK) {
            StationLog(LOG_ERR, "upload of %s : %s", run->url,
                       run->curlError[0] != 0 ? run->curlError : curl_easy_strerror(result));
            // This source is offered again next run; those the server accepted stay accepted,
            // and what this upload may have left is recorded for the next one.
            if (remoteStart >= 0 && held + cursor->bytes > 0) {
                RemotePartial partial;
                partial.start = remoteStart;
                partial.handed = held + cursor->bytes;
                partial.first = FirstLine(run, source);
                std::snprintf(partial.url, sizeof partial.url, "%s", run->url);
                run->partials.push_back(partial);
                SavePartials(run);
            } else if (sized && remoteStart < 0) {
                StationLog(LOG_WARNING,
                           "%s : the server does not tell the file's size, the lines "
                           "of this upload go again whole",
                           run->url);
            }
            *source = before;
            SaveContext(run);
            return kFailed + static_cast<int>(result);
        }
        Trace(run, "send %d bytes in %f s\n", cursor->bytes, static_cast<double>(elapsed) / 1000.0);
        SaveContext(run);
    }
    // Every source went through: a record left is of a file this layout no longer writes to.
    const size_t records = run->partials.size();
    std::erase_if(run->partials, [&](const RemotePartial& partial) {
        for (LinkedListNode* node = run->reader.sources->first; node != nullptr;
             node = node->next) {
            if (RemoteSourceUrl(run->base, cursor->csv, static_cast<TimeStampedSource*>(node->data),
                                &cursor->info, run->url, sizeof run->url) == 0 &&
                std::strcmp(run->url, partial.url) == 0) {
                return false;
            }
        }
        return true;
    });
    if (run->partials.size() != records) {
        SavePartials(run);
    }
    ++run->reader.sequence;
    if (SaveContext(run) != 0) {
        return kContextNotSaved;
    }
    StationLog(LOG_DEBUG, "Acquitte");
    StationLog(LOG_DEBUG, "%d nouvelleslignes en %d ms", run->cursor->NbLignes,
               static_cast<int>(MonotonicMs() - run->startMs));
    Trace(run, "Ack\n");
    return kDone;
}

void RemoteExportRelease(RemoteExport* run) {
    if (run->cursor != nullptr) {
        ChannelInfoClose(&run->cursor->info);
        ChannelReadClose(&run->cursor->values);
        delete run->cursor;
        run->cursor = nullptr;
    }
    FreeTimeStampedChannel(&run->reader);
}
