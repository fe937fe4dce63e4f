// The text records of the timestamped data: each new line of a source (station log,
// communication log, a channel memo) becomes one text line, with its local date, the channel
// number and name, the value as text and the communication-log sentence. stickexport appends
// them to CSV files on the USB key through a small file writer; remoteexport hands them to its
// FTP upload through read functions that fill the upload buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "channeldb.h"
#include "timestampedchannel.h"

namespace csvrecord {
constexpr int kTextMax = 120;                  // a text of EcritFin and EcritChaine
constexpr int kCommTextMax = 119;              // a communication sentence on the key
constexpr int kWriteBoundSeconds = 60;         // a key that takes no data for this long is given up
constexpr int kNameMax = 99;                   // characters kept by NettoieNomFichier
constexpr size_t kFileBufferSize = 64 * 1024;  // bytes gathered before a write to the key
constexpr const char* kStationFile = "/station.csv";
constexpr const char* kCommFile = "/comm.csv";
constexpr const char* kMemoFile = "/%s.%d.csv";
// remoteexport: the room kept at the end of the upload buffer for the last line started, which
// is also the largest line.
constexpr int kStationMargin = 200;
constexpr int kLineMargin = 120;
}  // namespace csvrecord

// The name made fit for a file name: at most 99 characters, each of * ? / < > : and of the other
// characters a vfat key refuses (" \ | and the control characters) made "_". The result is a
// buffer of the function, valid until its next call.
const char* NettoieNomFichier(const char* name);

// ---- stickexport's file writer. A write on a USB key costs far more than its bytes: lines are
// gathered in the file's buffer and go to the key in large blocks. Each returns 1 on success, 0
// on failure; after a failure the descriptor is already closed.

// The file being appended to: its descriptor, the bytes not yet written, the field separator
// ("," for the key; at most 4 characters) and the local hour of the last date written. A
// source's lines come in time order, many to the hour: the hour's text is kept, and only minutes
// and seconds are worked out, as long as the time is in an hour whose start and end have the same
// local hour and offset (no change of time inside it).
struct EcritFichier {
    int fd = -1;
    size_t used = 0;
    char separator[5] = ",";
    time_t hourStart = 1;  // the kept hour is [hourStart, hourEnd); empty when none is kept
    time_t hourEnd = 0;
    char hour[14] = {};  // "YYYY-MM-DD HH:"
    char buffer[csvrecord::kFileBufferSize];
};

// stickexport's writer for one run: the file, the channel values and information the lines
// read names, types and scales from, and the count of lines written (NbLignes, reported at the
// end of the run).
struct CsvWriter {
    EcritFichier file;
    ChannelValues values;
    ChannelInfo info;
    int NbLignes = 0;
};

// The field separator of the writer's lines.
void SetSeparateur(EcritFichier* file, const char* separator);

// The writer's channel memories, opened for the run (0, or the ChannelInfoOpen failure) and
// closed again.
int CsvChannelsOpen(CsvWriter* writer);
void CsvChannelsClose(CsvWriter* writer);

// Writes all bytes. A descriptor that takes nothing (EAGAIN) is waited for (poll), for at most
// 60 s from the start of the call: then "too long to write of %d". Any other error: "write of
// %d : %s".
int EcritBuffer(int fd, const char* bytes, int length);
// The same with the bound in milliseconds.
int EcritBufferWithin(int fd, const char* bytes, int length, int boundMs);
// The text (at most 120 characters) and CR LF.
int EcritFin(EcritFichier* file, const char* text);
// The text (at most 120 characters) between double quotes.
int EcritChaine(EcritFichier* file, const char* text);
// The local date and time "YYYY-MM-DD HH:MM:SS" and the file's separator.
int EcritDate(EcritFichier* file, time_t time);
// Writes what the buffer holds.
int EcritVide(EcritFichier* file);

// Append lines first .. first + count - 1 of the source to the file at path (created when
// absent), force them to disk and close it: 1, or 0 when the file could not be opened or written
// whole (logged); such a file is taken back to what it was before the call (its length, or
// removed when the call made it). Station log: date, channel number, "name" (its double quotes
// made single), value. Communication log: date, "sentence" (the same). Memo: date, value. Each
// line ends in CR LF. Each line taken adds one to the writer's NbLignes.
int RafraichitJournalStation(CsvWriter* writer, const char* path, TimeStampedReader* reader,
                             TimeStampedSource* source, int count);
int RafraichitJournalComm(CsvWriter* writer, const char* path, TimeStampedReader* reader,
                          TimeStampedSource* source, int count);
int RafraichitVoie(CsvWriter* writer, const char* path, TimeStampedReader* reader,
                   TimeStampedSource* source, int count);

// ---- remoteexport's read functions.

// The state of one run's upload: format options, the lines of the current source still to hand
// over, and the channel memories.
struct ExportCursor {
    uint8_t decimalComma = 1;  // 1: the first "." of a value becomes ","
    uint8_t dateForm = 0;      // 1: "YYYY-MM-DD HH:MM:SS"; 0: "DD/MM/YYYY HH:MM:SS"
    uint8_t csv = 0;           // 1: CSV layout (separator "," and no decimal comma)
    char separator[5] = " ";
    int nextLine = 1;  // next line to hand over, from 1 in the reader's copy
    int linesLeft = 0;
    int channel = -1;  // channel of the current memo source; -1 for the logs
    int bytes = 0;     // handed over for the current file
    // Bytes at the start of the current file's text not to hand over: the part an upload that
    // failed partway left on the server. Lines wholly in it are not counted as handed over.
    long long skip = 0;
    int NbLignes = 0;  // lines handed over in the run, reported at its end
    ChannelValues values;
    ChannelInfo info;
    TimeStampedReader* reader = nullptr;  // whose line buffer holds the lines
};

// The date of a line as the cursor writes it, followed by its separator (a 40-byte buffer of
// the function).
const char* affiche_date(const ExportCursor* cursor, time_t time);
// "%d" followed by the cursor's separator (a 20-byte buffer of the function).
const char* affiche_valeur_decimal(const ExportCursor* cursor, int value);
// The first "." of the text becomes ",".
void RemplacePoint(char* text);

// The libcurl read-function convention: as many whole lines as fit in size x count bytes, the
// margin kept; the number of bytes placed, 0 when no line is left. A buffer smaller than the
// margin takes no line: the transfer is aborted (CURL_READFUNC_ABORT) rather than ended early,
// so that lines are never taken for sent.
size_t FonctionLectureDonneeStation(char* buffer, size_t size, size_t count, void* cursor);
size_t FonctionLectureDonneeComm(char* buffer, size_t size, size_t count, void* cursor);
size_t FonctionLectureDonneeVoie(char* buffer, size_t size, size_t count, void* cursor);
