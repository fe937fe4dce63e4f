#include "tsdcore.h"

#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "journal.h"
#include "stationcore.h"
#include "stationlog.h"

namespace tsdsim {

namespace {

constexpr int kFloodDefault = 300;
constexpr long kMaxLateMs = 600000;  // ten minutes: longer is a typing slip
// Linux pids stay below 2^22; the header keeps their low 16 bits.
constexpr long kPidLimit = 1L << 22;

uint32_t Be32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
           static_cast<uint32_t>(at[2]) << 8 | at[3];
}

uint16_t Be16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] << 8 | at[1]);
}

void PutBe32(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
}

void PutBe16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

// Counts down a cue that applies; true when it applies to this request.
bool Take(int& count) {
    if (count == 0) {
        return false;
    }
    if (count > 0) {
        --count;
    }
    return true;
}

void AddCue(char* cue, size_t size, const char* text) {
    size_t used = std::strlen(cue);
    std::snprintf(cue + used, size - used, "%s%s", used == 0 ? "" : ",", text);
}

// "N", "always", or nothing (the default).
bool CueCount(std::istringstream& in, int fallback, int& count) {
    std::string word;
    if (!(in >> word)) {
        count = fallback;
        return true;
    }
    if (word == "always") {
        count = kAlways;
        return true;
    }
    char* end = nullptr;
    long n = std::strtol(word.c_str(), &end, 10);
    if (*end != 0 || n < 1 || n > 100000) {
        return false;
    }
    count = static_cast<int>(n);
    return true;
}

}  // namespace

int DecodeRequest(const uint8_t* body, size_t size, Request& request) {
    request.error[0] = 0;
    if (size != kRequestSize) {
        std::snprintf(request.error, sizeof request.error, "body of %zu bytes, a request has %zu",
                      size, kRequestSize);
        return -1;
    }
    request.header.marker = Be32(body);
    request.header.number = Be16(body + 4);
    request.header.pid = Be16(body + 6);
    request.header.seconds = Be32(body + 8);
    request.header.microseconds = Be32(body + 12);
    request.kind = Be32(body + 16);
    request.operation = Be32(body + 20);
    request.channel = Be16(body + 24);
    request.first = Be32(body + 26);
    request.count = Be32(body + 30);
    if (request.header.marker != kMsgMarker) {
        std::snprintf(request.error, sizeof request.error, "wrong marker %08X",
                      request.header.marker);
        return -1;
    }
    if (request.header.number == 0) {
        std::snprintf(request.error, sizeof request.error, "message number 0");
        return -1;
    }
    return 0;
}

Table::Table(uint16_t id, size_t lineSize, uint32_t tab)
    : id_(id), lineSize_(lineSize), tab_(tab), slots_(static_cast<size_t>(tab) * lineSize) {}

void Table::Append(const uint8_t* line) {
    if (tab_ == 0) {
        return;
    }
    current_ = current_ % tab_ + 1;
    std::memcpy(slots_.data() + (current_ - 1) * lineSize_, line, lineSize_);
    valid_ = std::min(valid_ + 1, tab_);
}

void Table::CopyValid(uint8_t* out) const {
    if (valid_ == 0) {
        return;
    }
    // The valid lines are the `valid_` slots that end at the newest one.
    uint32_t slot = (current_ + tab_ - valid_) % tab_;  // 0-based slot before the oldest
    for (uint32_t i = 0; i < valid_; ++i) {
        slot = slot % tab_ + 1;
        std::memcpy(out + i * lineSize_, slots_.data() + (slot - 1) * lineSize_, lineSize_);
    }
}

int ApplyCue(const std::string& text, Cues& cues, std::string& error) {
    std::istringstream in(text);
    std::string what;
    in >> what;
    Cues next = cues;
    bool ok = true;
    if (what == "silent") {
        ok = CueCount(in, 1, next.silent);
    } else if (what == "late") {
        std::string ms;
        char* end = nullptr;
        long value = (in >> ms) ? std::strtol(ms.c_str(), &end, 10) : -1;
        ok = end != nullptr && *end == 0 && value >= 0 && value <= kMaxLateMs &&
             CueCount(in, 1, next.late);
        next.lateMs = value;
    } else if (what == "stray" || what == "flood") {
        int count = 0;
        ok = CueCount(in, what == "stray" ? 1 : kFloodDefault, count) && count != kAlways;
        next.stray = count;
    } else if (what == "badvalid") {
        ok = CueCount(in, 1, next.badValid);
    } else if (what == "badcurrent") {
        ok = CueCount(in, 1, next.badCurrent);
    } else if (what == "normal") {
        next = Cues{};
    } else {
        error = "unknown cue \"" + what + "\"";
        return -1;
    }
    std::string rest;
    if (!ok || (in >> rest)) {
        error = "cue \"" + text +
                "\" is not one of: silent [N|always], late MS [N|always], stray [N], flood [N], "
                "badvalid [N|always], badcurrent [N|always], normal";
        return -1;
    }
    cues = next;
    return 0;
}

size_t LayoutMemorySize(const Layout& layout) {
    size_t size = std::max(layout.stationLog, layout.commLog) * kEventLineSize;
    for (const auto& memo : layout.memos) {
        size = std::max(size, memo.second * kMemoLineSize);
    }
    return std::max<size_t>(size, 1);
}

pid_t RequesterPid(int queueId, uint16_t headerPid) {
    msqid_ds ds{};
    if (msgctl(queueId, IPC_STAT, &ds) == 0 && ds.msg_lspid > 0 &&
        (ds.msg_lspid & 0xFFFF) == headerPid) {
        return ds.msg_lspid;
    }
    for (long pid = headerPid; pid < kPidLimit; pid += 0x10000) {
        if (pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)) {
            return static_cast<pid_t>(pid);
        }
    }
    return headerPid;
}

Server::~Server() {
    Close();
}

int Server::Open(const Layout& layout, std::string& error) {
    Close();
    tables_.clear();
    tables_.emplace_back(kStationLogId, kEventLineSize, layout.stationLog);
    tables_.emplace_back(kCommLogId, kEventLineSize, layout.commLog);
    for (const auto& memo : layout.memos) {
        if (memo.first != kStationLogId && memo.first != kCommLogId && memo.second > 0 &&
            FindTable(memo.first) == nullptr) {
            tables_.emplace_back(memo.first, kMemoLineSize, memo.second);
        }
    }
    char text[200];
    memorySize_ = LayoutMemorySize(layout);
    shmId_ = shmget(corekey::kTsdData, memorySize_, IPC_CREAT | IPC_EXCL | 0666);
    if (shmId_ < 0 && errno == EEXIST) {
        // Left by a core that did not stop cleanly: start afresh.
        int stale = shmget(corekey::kTsdData, 0, 0);
        if (stale >= 0 && shmctl(stale, IPC_RMID, nullptr) == 0) {
            StationLog(LOG_WARNING, "stale memory key %d removed", corekey::kTsdData);
        }
        shmId_ = shmget(corekey::kTsdData, memorySize_, IPC_CREAT | IPC_EXCL | 0666);
    }
    void* at = shmId_ >= 0 ? shmat(shmId_, nullptr, 0) : reinterpret_cast<void*>(-1);
    if (at == reinterpret_cast<void*>(-1)) {
        std::snprintf(text, sizeof text,
                      "cannot make timestamped data memory key %d of %zu bytes: %s",
                      corekey::kTsdData, memorySize_, std::strerror(errno));
        error = text;
        Close();
        return -1;
    }
    memory_ = static_cast<uint8_t*>(at);
    std::memset(memory_, 0, memorySize_);

    // A set made by a module that started first is taken over; whatever its value, it is free
    // now: no module can hold it before tsd is up.
    semId_ = semget(corekey::kTsdData, 1, IPC_CREAT | IPC_EXCL | 0666);
    semCreated_ = semId_ >= 0;
    if (semId_ < 0 && errno == EEXIST) {
        semId_ = semget(corekey::kTsdData, 1, 0);
    }
    if (semId_ < 0 || semctl(semId_, 0, SETVAL, 1) != 0) {
        std::snprintf(text, sizeof text, "cannot make semaphore set key %d: %s", corekey::kTsdData,
                      std::strerror(errno));
        error = text;
        Close();
        return -1;
    }

    // Requests and answers left by an earlier run are not this run's.
    queueId_ = msgget(corekey::kTsdQueue, IPC_CREAT | IPC_EXCL | 0777);
    if (queueId_ < 0 && errno == EEXIST) {
        int stale = msgget(corekey::kTsdQueue, 0);
        if (stale >= 0 && msgctl(stale, IPC_RMID, nullptr) == 0) {
            StationLog(LOG_WARNING, "stale queue key %d removed", corekey::kTsdQueue);
        }
        queueId_ = msgget(corekey::kTsdQueue, IPC_CREAT | IPC_EXCL | 0777);
    }
    if (queueId_ < 0) {
        std::snprintf(text, sizeof text, "cannot open queue key %d: %s", corekey::kTsdQueue,
                      std::strerror(errno));
        error = text;
        Close();
        return -1;
    }
    return 0;
}

void Server::Close() {
    if (queueId_ >= 0) {
        msgctl(queueId_, IPC_RMID, nullptr);
        queueId_ = -1;
    }
    if (memory_ != nullptr) {
        shmdt(memory_);
        memory_ = nullptr;
    }
    if (shmId_ >= 0) {
        shmctl(shmId_, IPC_RMID, nullptr);
        shmId_ = -1;
    }
    if (semId_ >= 0 && semCreated_) {
        semctl(semId_, 0, IPC_RMID);
    }
    semId_ = -1;
    semCreated_ = false;
    late_.clear();
}

Table* Server::FindTable(uint16_t id) {
    for (Table& table : tables_) {
        if (table.Id() == id) {
            return &table;
        }
    }
    return nullptr;
}

const Table* Server::Find(uint16_t id) const {
    return const_cast<Server*>(this)->FindTable(id);
}

Table* Server::TableOf(const Request& request) {
    switch (request.kind) {
        case kKindStation:
            return FindTable(kStationLogId);
        case kKindComm:
            return FindTable(kCommLogId);
        case kKindMemo:
            // A memo is named by its channel's address; 1 and 3 are the logs' identifiers.
            return request.channel == kStationLogId || request.channel == kCommLogId
                       ? nullptr
                       : FindTable(request.channel);
        default:
            return nullptr;
    }
}

void Server::AppendStation(uint32_t time, uint16_t address, uint32_t value) {
    uint8_t line[kEventLineSize] = {};
    std::memcpy(line, &time, 4);
    std::memcpy(line + 4, &address, 2);
    std::memcpy(line + 8, &value, 4);
    FindTable(kStationLogId)->Append(line);
}

void Server::AppendComm(uint32_t time, uint16_t event, uint32_t parameter) {
    uint8_t line[kEventLineSize] = {};
    std::memcpy(line, &time, 4);
    std::memcpy(line + 4, &event, 2);
    std::memcpy(line + 8, &parameter, 4);
    FindTable(kCommLogId)->Append(line);
}

void Server::AppendMemo(uint16_t address, uint32_t time, uint32_t value) {
    Table* table = address == kStationLogId || address == kCommLogId ? nullptr : FindTable(address);
    if (table == nullptr) {
        return;
    }
    uint8_t line[kMemoLineSize];
    std::memcpy(line, &time, 4);
    std::memcpy(line + 4, &value, 4);
    table->Append(line);
}

void Server::EncodeAnswer(uint32_t tab, uint32_t current, uint32_t valid, uint8_t* body) {
    answerNumber_ = answerNumber_ == 0xFFFF ? 1 : answerNumber_ + 1;
    timeval now{};
    gettimeofday(&now, nullptr);
    PutBe32(body, kMsgMarker);
    PutBe16(body + 4, answerNumber_);
    PutBe16(body + 6, static_cast<uint16_t>(getpid()));
    PutBe32(body + 8, static_cast<uint32_t>(now.tv_sec));
    PutBe32(body + 12, static_cast<uint32_t>(now.tv_usec));
    PutBe32(body + 16, tab);
    PutBe32(body + 20, current);
    PutBe32(body + 24, valid);
    PutBe32(body + 28, 0);
}

bool Server::Send(long type, const uint8_t* body) {
    struct {
        long type;
        uint8_t body[kAnswerSize];
    } answer{};
    answer.type = type;
    std::memcpy(answer.body, body, kAnswerSize);
    if (msgsnd(queueId_, &answer, kAnswerSize, IPC_NOWAIT) == 0) {
        return true;
    }
    StationLog(LOG_WARNING, "answer to %ld not sent: %s", type, std::strerror(errno));
    return false;
}

void Server::Erase(const Request& request, Outcome& outcome) {
    outcome.erased = 0;
    if (request.kind == kKindAll) {
        for (Table& table : tables_) {
            table.Erase();
            ++outcome.erased;
        }
        return;
    }
    Table* table = TableOf(request);
    if (table == nullptr) {
        outcome.note = "no such table";
        return;
    }
    table->Erase();
    outcome.erased = 1;
}

void Server::Serve(const Request& request, pid_t requester, long long nowMs, Outcome& outcome) {
    const Table* table = TableOf(request);
    outcome.table = table != nullptr;
    uint32_t tab = table != nullptr ? table->Tab() : 0;
    uint32_t current = table != nullptr ? table->Current() : 0;
    uint32_t valid = table != nullptr ? table->Valid() : 0;
    if (table == nullptr && request.kind != kKindMemo) {
        outcome.note = "no such table";
    }
    if (Take(cues_.silent)) {
        AddCue(outcome.cue, sizeof outcome.cue, "silent");
        return;
    }
    if (request.operation != kOpInfo && table != nullptr && valid > 0) {
        // The lines are in place before the answer leaves, as the requester expects.
        table->CopyValid(memory_);
    }
    if (Take(cues_.badValid)) {
        valid = tab + 1;
        AddCue(outcome.cue, sizeof outcome.cue, "badvalid");
    }
    if (Take(cues_.badCurrent)) {
        current = tab + 1;
        AddCue(outcome.cue, sizeof outcome.cue, "badcurrent");
    }
    outcome.tab = tab;
    outcome.current = current;
    outcome.valid = valid;
    uint8_t body[kAnswerSize];
    EncodeAnswer(tab, current, valid, body);
    outcome.to = requester;
    if (Take(cues_.late)) {
        char text[32];
        std::snprintf(text, sizeof text, "late %ld", cues_.lateMs);
        AddCue(outcome.cue, sizeof outcome.cue, text);
        outcome.lateMs = cues_.lateMs;
        Late late{nowMs + cues_.lateMs, requester, {}};
        std::memcpy(late.body, body, kAnswerSize);
        late_.push_back(late);
    } else if (!Send(requester, body)) {
        outcome.note = "answer not sent: queue full";
        outcome.to = 0;
        return;
    }
    if (cues_.stray > 0) {
        char text[32];
        std::snprintf(text, sizeof text, "stray %d", cues_.stray);
        AddCue(outcome.cue, sizeof outcome.cue, text);
        for (int i = 0; i < cues_.stray; ++i) {
            EncodeAnswer(tab, current, valid, body);
            if (!Send(requester, body)) {
                break;
            }
            ++outcome.strays;
        }
        cues_.stray = 0;
    }
}

void Server::Handle(const uint8_t* body, size_t size, long long nowMs, Journal* journal) {
    const long type = kRequestMsgType;
    Request request;
    if (size > kMaxBody) {
        std::snprintf(request.error, sizeof request.error, "body of more than %zu bytes", kMaxBody);
    } else {
        DecodeRequest(body, size, request);
    }
    if (request.error[0] == 0 && request.operation != kOpInfo && request.operation != kOpLines &&
        request.operation != kOpModbusLines && request.operation != kOpErase) {
        std::snprintf(request.error, sizeof request.error, "unknown operation %u",
                      request.operation);
    }
    if (request.error[0] != 0) {
        if (journal != nullptr) {
            journal->Error(corekey::kTsdQueue, type, body, std::min(size, kMaxBody), request.error);
        }
        StationLog(LOG_WARNING, "tsd request dropped: %s", request.error);
        return;
    }
    Outcome outcome;
    if (request.operation == kOpErase) {
        Erase(request, outcome);
    } else {
        Serve(request, RequesterPid(queueId_, request.header.pid), nowMs, outcome);
    }
    if (journal != nullptr) {
        journal->Tsd(corekey::kTsdQueue, type, size, request, outcome);
    }
}

bool Server::Poll(long long nowMs, Journal* journal) {
    bool any = false;
    for (size_t i = 0; i < late_.size();) {
        if (late_[i].dueMs <= nowMs) {
            Send(late_[i].type, late_[i].body);
            late_.erase(late_.begin() + static_cast<long>(i));
        } else {
            ++i;
        }
    }
    if (queueId_ < 0) {
        return false;
    }
    for (;;) {
        // One byte more than a body may hold, so that a longer one shows (and is refused).
        ssize_t n = msgrcv(queueId_, &message_, sizeof message_.body, kRequestMsgType,
                           IPC_NOWAIT | MSG_NOERROR);
        if (n < 0) {
            if (errno == EIDRM || errno == EINVAL) {
                StationLog(LOG_ERR, "queue key %d was removed, created again", corekey::kTsdQueue);
                queueId_ = msgget(corekey::kTsdQueue, IPC_CREAT | 0777);
            } else if (errno != ENOMSG && errno != EINTR) {
                StationLog(LOG_ERR, "receive on queue key %d: %s", corekey::kTsdQueue,
                           std::strerror(errno));
            }
            return any;
        }
        any = true;
        Handle(message_.body, static_cast<size_t>(n), nowMs, journal);
    }
}

long long Server::NextDueMs(long long nowMs) const {
    long long next = -1;
    for (const Late& late : late_) {
        long long left = std::max(0LL, late.dueMs - nowMs);
        next = next < 0 ? left : std::min(next, left);
    }
    return next;
}

}  // namespace tsdsim
