// remoteexport's transfer: one libcurl easy handle per run, one FTP upload (APPE, passive mode
// by PASV) per source with new lines, the debug texts of libcurl in the port's trace with the
// password masked, and the exit handler that releases the handle. Linked by remoteexport alone.
#pragma once

#include <curl/curl.h>

#include "remoteexport.h"

// One run.
struct RemoteExport {
    long long startMs = 0;
    const char* program = "";  // argument 0
    RemoteArguments args;
    SerialDebug trace;
    CURL* curl = nullptr;
    // Drives the easy handle's transfers and keeps the connection to the server from one source
    // to the next; released by the exit handler.
    CURLM* multi = nullptr;
    char curlError[CURL_ERROR_SIZE] = {};
    TimeStampedReader reader{};
    ExportCursor* cursor = nullptr;
    int stationLog = 1;
    int commLog = 1;
    char destination[sizeof "remoteexport_" + 2 * remoteexport::kArgumentSize] = {};
    char base[remoteexport::kUrlSize] = {};
    char url[remoteexport::kUrlSize] = {};
    // What uploads that failed partway left on the server, by remote file.
    std::vector<RemotePartial> partials;
};

// libcurl's debug function: every text but the data sent (type 4) goes to the trace after a time
// stamp and a label, its first 80 bytes with the password masked. Returns 0.
int CallbackCurlDebug(CURL* handle, curl_infotype type, char* data, size_t size, void* user);

// The exit handler: releases the handle (logging "begin clean up" and "end cleanup status=%d
// time=%d ms") and libcurl.
void nettoyage_sortie(int status, void* handle);

// The steps of a run, each 0 to go on or the exit code. Start: the arguments (101 without a
// server), the trace, libcurl (101 + its code when it cannot start) and the exit handler.
// Prepare: the reader and the context of this server and login, the cursor, the layout and the
// URL base (101 + CURLE_URL_MALFORMAT when it cannot be built). Send: each source's new lines
// uploaded; the context is saved after each source the server accepted, so that a failed run
// sends none of those again; 8 when every source went through and the context was saved, 124
// (101 + libcurl's write error) when it was not, else 101 + libcurl's result.
// The remote file's size is asked before each upload: when one fails, what it may have left on
// the server is recorded, and the next upload of that text leaves out as many bytes as the file
// grew by, so that no line, nor part of one, reaches the server twice.
// Release: what the run holds, but the trace and the handle (the exit handler's QUIT still
// reaches the trace).
int RemoteExportStart(RemoteExport* run, int argc, char** argv);
int RemoteExportPrepare(RemoteExport* run);
int RemoteExportSend(RemoteExport* run);
void RemoteExportRelease(RemoteExport* run);
