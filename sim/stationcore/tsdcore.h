// The timestamped-data half of the station core stand-in (tsd): the station log, the
// communication log and the channel memos as circular tables with a real write position, and
// the answers to the modules' requests on queue 20101 (a table's header, its lines copied into
// memory 47001, its erasure). Told to, it misbehaves: no answer, a late answer, answers nobody
// asked for, impossible headers. Requests are decoded here byte by byte, apart from the
// modules' codec, so that a fault in either shows as a difference.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "corerequest.h"

class Journal;

namespace tsdsim {

constexpr uint16_t kStationLogId = 1;  // journal identifiers; any other is a memo's address
constexpr uint16_t kCommLogId = 3;
constexpr size_t kEventLineSize = 12;  // time, word, 2 bytes not read, value
constexpr size_t kMemoLineSize = 8;    // time, value
constexpr size_t kRequestSize = 34;    // header + kind, operation, channel, first, count
constexpr size_t kAnswerSize = 32;     // header + Tab, Current, Valid, fourth word
constexpr size_t kMaxBody = 64;

// Journal kinds and operations of a request.
constexpr uint32_t kKindMemo = 0;
constexpr uint32_t kKindStation = 1;
constexpr uint32_t kKindComm = 2;
constexpr uint32_t kKindAll = 4;  // erase only
constexpr uint32_t kOpInfo = 0;
constexpr uint32_t kOpLines = 1;
constexpr uint32_t kOpModbusLines = 2;  // served as kOpLines
constexpr uint32_t kOpErase = 6;

struct Request {
    CoreHeader header;
    uint32_t kind = 0;
    uint32_t operation = 0;
    uint16_t channel = 0;
    uint32_t first = 0;
    uint32_t count = 0;
    char error[160] = {};  // why the body was refused
};

// Decodes a request body: exactly 34 bytes, marker, message number not 0. 0, or -1 with
// `error` set.
int DecodeRequest(const uint8_t* body, size_t size, Request& request);

// One circular table. Slots are numbered 1..tab; `current` is the slot of the newest line
// (0 before the first line), so it wraps from tab to 1 and is never above tab, and until the
// table is full it equals the number of valid lines. Erasing starts the table afresh (both 0):
// a reader's saved position is then beyond the lines held, which it takes for a context error
// once, and follows from the next read on.
class Table {
  public:
    Table(uint16_t id, size_t lineSize, uint32_t tab);

    uint16_t Id() const { return id_; }
    size_t LineSize() const { return lineSize_; }
    uint32_t Tab() const { return tab_; }
    uint32_t Current() const { return current_; }
    uint32_t Valid() const { return valid_; }

    // Adds a line of LineSize() bytes (nothing for a table of 0 lines).
    void Append(const uint8_t* line);
    // Copies the valid lines, oldest first, into `out` (Valid() x LineSize() bytes).
    void CopyValid(uint8_t* out) const;
    void Erase() { valid_ = current_ = 0; }

  private:
    uint16_t id_;
    size_t lineSize_;
    uint32_t tab_;
    uint32_t current_ = 0;
    uint32_t valid_ = 0;
    std::vector<uint8_t> slots_;
};

// Misbehaviour on cue. Each count is the number of requests (header or lines) it still
// applies to; kAlways keeps it until "normal".
constexpr int kAlways = -1;
struct Cues {
    int silent = 0;      // no answer
    int late = 0;        // the answer goes out lateMs after the request
    long lateMs = 0;     //
    int stray = 0;       // after the next answer, this many more to the same requester
    int badValid = 0;    // Valid = Tab + 1
    int badCurrent = 0;  // Current = Tab + 1
};

// Applies one cue: "silent [N|always]", "late MS [N|always]", "stray [N]", "flood [N]"
// (stray, 300 by default), "badvalid [N|always]", "badcurrent [N|always]", "normal" (clears
// all). 0, or -1 with `error` set and nothing changed.
int ApplyCue(const std::string& text, Cues& cues, std::string& error);

// What tables the core keeps: the two logs' sizes and one memo per (address, lines).
struct Layout {
    uint32_t stationLog = 200;
    uint32_t commLog = 200;
    std::vector<std::pair<uint16_t, uint32_t>> memos;
};

// Bytes memory 47001 needs for the largest table of a layout (at least 1).
size_t LayoutMemorySize(const Layout& layout);

// What became of one request, for the journal.
struct Outcome {
    long to = 0;           // type of the answer sent (the requester's pid); 0: none sent
    long long lateMs = 0;  // the answer waits this long before it goes out
    int strays = 0;        // answers sent after it to the same requester
    bool table = false;    // the request named a table the core keeps
    uint32_t tab = 0;      // the words answered
    uint32_t current = 0;
    uint32_t valid = 0;
    int erased = -1;             // erase: the number of tables emptied
    char cue[64] = {};           // the misbehaviour applied, "" when none
    const char* note = nullptr;  // why the answer could not go out, or an odd request
};

// The full pid of a requester whose header carries `headerPid` (the low 16 bits): the last
// sender on the queue when its low bits agree, else the only live process with those low bits
// (the first found), else the header's pid as it stands.
pid_t RequesterPid(int queueId, uint16_t headerPid);

// The tsd objects and tables. Open creates queue 20101, memory 47001 and semaphore set 47001
// (value 1, free); Close removes what Open made.
class Server {
  public:
    Server() = default;
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // 0, or -1 with `error` set (and nothing left behind).
    int Open(const Layout& layout, std::string& error);
    void Close();

    // Takes every waiting request (type 1 only: answers to the modules share the queue), answers,
    // and sends the late answers that are due; `nowMs` is the caller's monotonic time.
    // Every request is journalled when `journal` is set. True when a request was taken.
    bool Poll(long long nowMs, Journal* journal);
    // Milliseconds until the next late answer is due, or -1 when none is waiting.
    long long NextDueMs(long long nowMs) const;

    // Lines as the core sees them happen.
    void AppendStation(uint32_t time, uint16_t address, uint32_t value);
    void AppendComm(uint32_t time, uint16_t event, uint32_t parameter);
    // Nothing when the address has no memo.
    void AppendMemo(uint16_t address, uint32_t time, uint32_t value);

    // The table of a journal identifier (1, 3 or a memo's address), or null.
    const Table* Find(uint16_t id) const;
    Cues& cues() { return cues_; }
    int QueueId() const { return queueId_; }
    int SemaphoreId() const { return semId_; }

  private:
    struct Late {
        long long dueMs;
        long type;
        uint8_t body[kAnswerSize];
    };
    Table* FindTable(uint16_t id);
    Table* TableOf(const Request& request);
    void Handle(const uint8_t* body, size_t size, long long nowMs, Journal* journal);
    void Erase(const Request& request, Outcome& outcome);
    void Serve(const Request& request, pid_t requester, long long nowMs, Outcome& outcome);
    void EncodeAnswer(uint32_t tab, uint32_t current, uint32_t valid, uint8_t* body);
    bool Send(long type, const uint8_t* body);

    int queueId_ = -1;
    int shmId_ = -1;
    int semId_ = -1;
    bool semCreated_ = false;
    uint8_t* memory_ = nullptr;
    size_t memorySize_ = 0;
    std::vector<Table> tables_;
    Cues cues_;
    std::vector<Late> late_;
    uint16_t answerNumber_ = 0;
    struct {
        long type;
        uint8_t body[kMaxBody + 1];
    } message_{};
};

}  // namespace tsdsim
