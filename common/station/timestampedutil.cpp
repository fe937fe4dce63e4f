#include "timestampedutil.h"

#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "clock.h"
#include "conf.h"
#include "datetime.h"
#include "logdebug.h"
#include "stationcore.h"
#include "stationlog.h"
#include "utilities.h"

using namespace timestamped;

namespace {

constexpr int kInitTries = 50;
constexpr int kInitPauseMs = 1000;
constexpr int kCleanMax = 257;
constexpr int kFirstAnswerPauseMs = 10;
constexpr int kAnswerTries = 100;
constexpr int kAnswerPauseMs = 100;
// A tsd that dies holding the semaphore (it gives it back by undo only if it took it so) would
// hold every reader for ever: a reader waits this long, looking again every pause.
constexpr int kSemaphoreBoundMs = 60000;
constexpr int kSemaphorePauseMs = 10;

// The semaphore of this process. Ids may be 0, so "not obtained" is -1.
int g_semId = -1;
int g_semHeld = 0;

bool Ready(TimeStampedWork* work) {
    if (work == nullptr || work->msg == nullptr) {
        StationLog(LOG_ERR, "filemsg.lib : timestampedutil not initialised");
        return false;
    }
    return true;
}

int LineSize(int id) {
    return id == kStationLog || id == kCommLog ? kEventLineSize : kMemoLineSize;
}

// Takes one message of this process's type without waiting; its body length, or -1 (errno).
// Anything longer than a body is cut, so that it cannot stay stuck in the queue.
long TakeAnswer(int queue, TimeStampedMessage* into) {
    return static_cast<long>(msgrcv(queue, into, kBodySize, getpid(), IPC_NOWAIT | MSG_NOERROR));
}

int SemaphoreOp(short delta, short flags = 0) {
    sembuf op{0, delta, static_cast<short>(SEM_UNDO | flags)};
    int rc;
    do {
        rc = semop(g_semId, &op, 1);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

// The queue and the message buffer: 0, or 1 after 50 looks (the buffer then freed again).
int InitTsdExchange(TimeStampedWork* work) {
    work->msg = static_cast<TimeStampedMessage*>(std::calloc(1, sizeof(TimeStampedMessage)));
    CriticalAssert(work->msg != nullptr, "erreur allocation", __FILE__, __LINE__);
    InitWorkingMsg(&work->request, work->msg->body, kBodySize, corekey::kTsdQueue);
    InitWorkingMsg(&work->answerMsg, work->msg->body, kBodySize, corekey::kTsdQueue);
    work->msg->type = kRequestMsgType;
    for (int attempt = 0; attempt < kInitTries; ++attempt) {
        int id = msgget(corekey::kTsdQueue, 0777);
        if (id >= 0) {
            work->msgId = id;
            initCommunication();
            return 0;
        }
        StationLog(LOG_ERR, "filemsg.lib : msgget error timestampedutil =%d", errno);
        WaitMillisecond(kInitPauseMs);
    }
    std::free(work->msg);
    work->msg = nullptr;
    return 1;
}

// One send of the request as built: 1 sent, 0 not.
int SendTsdMsg(TimeStampedWork* work) {
    work->msg->type = kRequestMsgType;
    LogDebug("filemsg.lib : send msg size=%d", work->request.position);
    if (msgsnd(work->msgId, work->msg, static_cast<size_t>(work->request.position), IPC_NOWAIT) !=
        0) {
        StationLog(LOG_ERR, "filemsg.lib : msgsnd error  : %d", errno);
        return 0;
    }
    return 1;
}

// Clean, send, wait for the answer: the answer's body length, or 0.
int EchangeTsdMsg(TimeStampedWork* work) {
    if (TimeStampedDataClean(work) != 0) {
        return 0;
    }
    if (SendTsdMsg(work) == 0) {
        return 0;
    }
    WaitMillisecond(kFirstAnswerPauseMs);
    int lastError = 0;
    for (int attempt = 0; attempt < kAnswerTries; ++attempt) {
        long n = TakeAnswer(work->msgId, work->msg);
        if (n >= 0) {
            LogDebug("filemsg.lib: delay answer of tsd is %d", attempt * kAnswerPauseMs);
            return static_cast<int>(n);
        }
        lastError = errno;
        WaitMillisecond(kAnswerPauseMs);
    }
    StationLog(LOG_ERR, "filemsg.lib : timeout of receive msg (%d)", lastError);
    return 0;
}

void BuildRequest(TimeStampedWork* work, int id, bool lines) {
    JournalRequest* r = &work->fields;
    if (!lines) {
        if (id == kStationLog) {
            JournalStationGetInfo(r);
        } else if (id == kCommLog) {
            JournalCommGetInfo(r);
        } else {
            JournalDataMemoGetInfo(r, id);
        }
    } else if (work->modbusForm != 0) {
        if (id == kStationLog) {
            JournalStationGetModbus(r, 0, 0);
        } else if (id == kCommLog) {
            JournalCommGetModbus(r, 0, 0);
        } else {
            JournalDataMemoGetModbus(r, id, 0, 0);
        }
    } else if (id == kStationLog) {
        JournalStationGetLines(r, 0, 0);
    } else if (id == kCommLog) {
        JournalCommGetLines(r, 0, 0);
    } else {
        JournalDataMemoGetLines(r, id, 0, 0);
    }
    SetJournalRequest(&work->request, r);
}

void Fill(JournalRequest* r, int32_t kind, int32_t operation, int channel) {
    r->kind = kind;
    r->operation = operation;
    r->channel = static_cast<uint16_t>(channel);
}

void Fill(JournalRequest* r, int32_t kind, int32_t operation, int channel, int first, int count) {
    Fill(r, kind, operation, channel);
    r->firstLine = first;
    r->lineCount = count;
}

}  // namespace

// ---------------------------------------------------------------- working structure

int TimeStampedDataInit(TimeStampedWork* work, unsigned char* buffer, int size, int structSize) {
    CriticalAssert(structSize == static_cast<int>(sizeof(TimeStampedWork)),
                   "error on size structure", __FILE__, __LINE__);
    CriticalAssert(work != nullptr, "error on working structure", __FILE__, __LINE__);
    if (work->msg != nullptr) {
        StationLog(LOG_ERR, "filemsg.lib : timestampedutil is already initialised");
    } else if (InitTsdExchange(work) != 0) {
        return 1;
    }
    if (work->ownsLineBuffer) {
        std::free(work->lineBuffer);
        work->lineBuffer = nullptr;
        work->ownsLineBuffer = false;
    }
    if (buffer != nullptr) {
        work->lineBuffer = buffer;
        work->lineBufferSize = size;
    } else {
        int logs = std::max(GetStationLogSize(), GetCommLogSize()) * kEventLineSize;
        work->lineBufferSize = std::max(logs, GetMemoMaxByChannel() * kMemoLineSize);
        work->lineBuffer =
            static_cast<unsigned char*>(std::malloc(static_cast<size_t>(work->lineBufferSize)));
        CriticalAssert(work->lineBuffer != nullptr, "error on allocation buffer", __FILE__,
                       __LINE__);
        work->ownsLineBuffer = true;
        StationLog(LOG_DEBUG, "filemsg.lib : alloc buf(%d)", work->lineBufferSize);
    }
    StationLog(LOG_DEBUG,
               "filemsg.lib : init of comm with tsd SizeBuf=%d MsgId=%d Size line(channel=%d, "
               "log=%d)",
               work->lineBufferSize, work->msgId, kMemoLineSize, kEventLineSize);
    return 0;
}

void TimeStampedDataFree(TimeStampedWork* work) {
    if (work == nullptr) {
        return;
    }
    std::free(work->msg);
    work->msg = nullptr;
    work->msgId = 0;
    if (work->ownsLineBuffer) {
        std::free(work->lineBuffer);
        work->lineBuffer = nullptr;
        work->lineBufferSize = 0;
        work->ownsLineBuffer = false;
    }
}

int TimeStampedDataClean(TimeStampedWork* work) {
    if (!Ready(work)) {
        return 1;
    }
    // Taken into a buffer of its own: the request waiting to go out must stay as built.
    TimeStampedMessage stale;
    for (int i = 0; i < kCleanMax; ++i) {
        long n = TakeAnswer(work->msgId, &stale);
        if (n < 0) {
            return 0;
        }
        StationLog(LOG_ERR, "filemsg.lib : cleaning of on message of %ld byte", n);
    }
    StationLog(LOG_ERR, "filemsg.lib : too many message of tsd to clean");
    return 1;
}

// ---------------------------------------------------------------- reads

int TimeStampedDataHeaderRead(TimeStampedWork* work, int id) {
    if (!Ready(work)) {
        return -1;
    }
    work->journalId = static_cast<uint16_t>(id);
    BuildRequest(work, id, false);
    int size = EchangeTsdMsg(work);
    if (size == 0) {
        StationLog(LOG_ERR, "filemsg.lib : pas de reponse de tsd a la demande d'info pour %d", id);
        return -1;
    }
    // A refused answer says nothing of this table: the previous answer's words are not its own.
    if (GetJournalAnswer(&work->answerMsg, size, &work->answer) == 0) {
        StationLog(LOG_ERR, "filemsg.lib : bad answer of tsd for %04X", id);
        return -1;
    }
    const JournalAnswer& a = work->answer;
    work->lastValid = a.valid;
    work->lastTab = a.tab;
    if (a.tab < a.valid || a.valid < 0) {
        StationLog(LOG_ERR, "filemsg.lib : error on valid lines(%d>%d)", a.valid, a.tab);
        work->lastValid = 0;
        return 0;
    }
    if (a.tab < a.current || a.current < 0) {
        StationLog(LOG_ERR, "filemsg.lib : error on current position(%d>%d)", a.current, a.tab);
        work->lastValid = 0;
        work->lastCurrent = 1;
        return 0;
    }
    work->lastCurrent = a.current;
    if (a.tab == 0) {
        StationLog(LOG_ERR, "filemsg.lib : pas de memo pour voie %04X", id);
        return 0;
    }
    StationLog(LOG_DEBUG, "filemsg.lib : header Valid=%d, Current=%d, Tab=%d", a.valid, a.current,
               a.tab);
    return a.valid;
}

int TimeStampedDataRead(TimeStampedWork* work, int id) {
    if (!Ready(work)) {
        return -1;
    }
    work->journalId = static_cast<uint16_t>(id);
    work->bytesCopied = 0;
    const int lineSize = LineSize(id);
    BuildRequest(work, id, true);
    const timeval start = Clock().Now();

    // Held from before the request until the copy is done: no other reader's request can make
    // tsd overwrite the memory in between.
    if (getSemaphore() < 0) {
        StationLog(LOG_ERR, "filemsg.lib : no semaphore, no read of %04X", id);
        return -1;
    }
    int size = EchangeTsdMsg(work);
    if (size == 0) {
        releaseSemaphore();
        StationLog(LOG_ERR, "filesmg.lib : no answer of tsd for %04X", id);
        return -1;
    }
    if (GetJournalAnswer(&work->answerMsg, size, &work->answer) == 0) {
        releaseSemaphore();
        StationLog(LOG_ERR, "filemsg.lib : bad answer of tsd for %04X", id);
        return -1;
    }
    const JournalAnswer& a = work->answer;
    if (a.tab <= 0) {
        releaseSemaphore();
        StationLog(LOG_ERR, "filemsg.lib : no lines");
        return 0;
    }
    work->lastValid = a.valid;
    work->lastTab = a.tab;
    // A table larger than the line buffer fails this read only: the module goes on with its
    // other tables (stopping would stop every later run on the same table).
    const long long needed = static_cast<long long>(a.valid) * lineSize;
    if (a.valid < 0 || needed > work->lineBufferSize) {
        releaseSemaphore();
        StationLog(LOG_ERR, "filemsg.lib : overflow size of buffer %lld>%d (NbValidLines=%d)",
                   needed, work->lineBufferSize, a.valid);
        return -1;
    }
    work->bytesCopied = static_cast<int>(needed);
    int shmId = shmget(corekey::kTsdData, 0, 0777);
    if (shmId < 0) {
        releaseSemaphore();
        StationLog(LOG_ERR, "filemsg.lib : error in opening  timestamped data memory=%d", errno);
        return -1;
    }
    void* at = nullptr;
    if (work->bytesCopied > 0) {
        // Never read past the memory, whatever the answer says.
        shmid_ds ds{};
        if (shmctl(shmId, IPC_STAT, &ds) != 0 || ds.shm_segsz < static_cast<size_t>(needed)) {
            releaseSemaphore();
            StationLog(LOG_ERR, "filemsg.lib : timestamped data memory holds %zu bytes, not %d",
                       static_cast<size_t>(ds.shm_segsz), work->bytesCopied);
            return -1;
        }
        at = shmat(shmId, nullptr, SHM_RDONLY);
        if (at == reinterpret_cast<void*>(-1)) {
            releaseSemaphore();
            StationLog(LOG_ERR, "filemsg.lib : error in attaching timestamped data memory=%d",
                       errno);
            return -1;
        }
        std::memcpy(work->lineBuffer, at, static_cast<size_t>(work->bytesCopied));
    }
    releaseSemaphore();
    const timeval end = Clock().Now();
    work->lastCurrent = a.current;
    StationLog(LOG_DEBUG,
               "filemsg.lib :semaphor for %0X Modbus=%d (Lines=%d Current=%d Tab=%d Size=%d) "
               "Time=%d ms",
               static_cast<unsigned>(id), work->modbusForm, a.valid, a.current, a.tab,
               work->bytesCopied, static_cast<int>(CalculateElapsedTimeMs(start, end)));
    if (at != nullptr) {
        shmdt(at);
    }
    return a.valid;
}

int TimeStampedDataErase(TimeStampedWork* work, int selector) {
    if (!Ready(work)) {
        return 1;
    }
    JournalRequest* r = &work->fields;
    int32_t kind = kKindMemo;
    int channel = 0;
    if (selector == -1) {
        kind = kKindAll;
    } else if (selector == 2 || selector == 3) {
        kind = kKindComm;
    } else if (selector == 0 || selector == 1) {
        kind = kKindStation;
    } else {
        channel = selector;
    }
    Fill(r, kind, kOpErase, channel, 0, 0);
    SetJournalRequest(&work->request, r);
    StationLog(LOG_DEBUG, "Snd TimeStampedData clear(%d,%d,%d)=%d", r->operation, r->kind,
               r->channel, work->request.position);
    return SendTsdMsg(work) == 1 ? 0 : 1;
}

unsigned char* GetTimeStampedEvt(TimeStampedWork* work, int i) {
    return work->lineBuffer + static_cast<long>(kEventLineSize) * i;
}

unsigned char* GetTimeStampedData(TimeStampedWork* work, int i) {
    return work->lineBuffer + static_cast<long>(kMemoLineSize) * i;
}

// ---------------------------------------------------------------- request builders

int JournalStationGetInfo(JournalRequest* request) {
    Fill(request, kKindStation, kOpInfo, 0);
    return 1;
}

int JournalCommGetInfo(JournalRequest* request) {
    Fill(request, kKindComm, kOpInfo, 0);
    return 1;
}

int JournalDataMemoGetInfo(JournalRequest* request, int channel) {
    Fill(request, kKindMemo, kOpInfo, channel);
    return 1;
}

int JournalStationGetLines(JournalRequest* request, int first, int count) {
    Fill(request, kKindStation, kOpLines, 0, first, count);
    return 1;
}

int JournalCommGetLines(JournalRequest* request, int first, int count) {
    Fill(request, kKindComm, kOpLines, 0, first, count);
    return 1;
}

int JournalDataMemoGetLines(JournalRequest* request, int channel, int first, int count) {
    Fill(request, kKindMemo, kOpLines, channel, first, count);
    return 1;
}

int JournalStationGetModbus(JournalRequest* request, int first, int count) {
    Fill(request, kKindStation, kOpModbus, 0, first, count);
    return 1;
}

int JournalCommGetModbus(JournalRequest* request, int first, int count) {
    Fill(request, kKindComm, kOpModbus, 0, first, count);
    return 1;
}

int JournalDataMemoGetModbus(JournalRequest* request, int channel, int first, int count) {
    Fill(request, kKindMemo, kOpModbus, channel, first, count);
    return 1;
}

// ---------------------------------------------------------------- codec

int SetJournalRequest(WorkingMsg* msg, const JournalRequest* request) {
    return SetHeader(msg) && MsgLongWrite(msg, request->kind) &&
                   MsgLongWrite(msg, request->operation) && MsgShortWrite(msg, request->channel) &&
                   MsgLongWrite(msg, request->firstLine) && MsgLongWrite(msg, request->lineCount)
               ? 1
               : 0;
}

int GetJournalRequest(WorkingMsg* msg, int size, JournalRequest* request) {
    if (!SetReceiveSize(msg, size) || !GetHeader(msg)) {
        return 0;
    }
    JournalRequest read;
    read.kind = MsgLongRead(msg);
    read.operation = MsgLongRead(msg);
    read.channel = static_cast<uint16_t>(MsgShortRead(msg));
    read.firstLine = MsgLongRead(msg);
    read.lineCount = MsgLongRead(msg);
    if (msg->error != kMsgNoError) {
        return 0;
    }
    *request = read;
    return 1;
}

int SetJournalAnswer(WorkingMsg* msg, const JournalAnswer* answer) {
    return SetHeader(msg) && MsgLongWrite(msg, answer->tab) && MsgLongWrite(msg, answer->current) &&
                   MsgLongWrite(msg, answer->valid) && MsgLongWrite(msg, answer->fourth)
               ? 1
               : 0;
}

int GetJournalAnswer(WorkingMsg* msg, int size, JournalAnswer* answer) {
    if (!SetReceiveSize(msg, size) || !GetHeader(msg)) {
        return 0;
    }
    JournalAnswer read;
    read.tab = MsgLongRead(msg);
    read.current = MsgLongRead(msg);
    read.valid = MsgLongRead(msg);
    read.fourth = MsgLongRead(msg);
    if (msg->error != kMsgNoError) {
        return 0;
    }
    *answer = read;
    return 1;
}

// ---------------------------------------------------------------- semaphore

int initCommunication() {
    if (g_semId >= 0) {
        return 0;
    }
    // Made when absent; making it free is tsd's business.
    g_semId = semget(corekey::kTsdData, 1, IPC_CREAT | 0666);
    if (g_semId < 0) {
        StationLog(LOG_CRIT, "filemsg.lib: error in init of semaphore=%d", errno);
        sync();
        std::abort();
    }
    return 0;
}

int getSemaphore() {
    if (g_semHeld != 0) {
        StationLog(LOG_ERR, "filemsg.lib : Semaphore in use");
        return 1;
    }
    initCommunication();
    // SEM_UNDO: a process that dies holding it gives it back. Taken without waiting, looked at
    // again on the module's clock until the bound.
    const long long start = MonotonicMs();
    bool waiting = false;
    int rc;
    while ((rc = SemaphoreOp(-1, IPC_NOWAIT)) != 0) {
        const int error = errno;
        if (error != EAGAIN && error != EIDRM && error != EINVAL) {
            break;
        }
        if (MonotonicMs() - start >= kSemaphoreBoundMs) {
            StationLog(LOG_ERR, "filemsg.lib : semaphore still taken after %d ms",
                       kSemaphoreBoundMs);
            g_semHeld = 0;
            errno = error;
            return -3;
        }
        if (error == EAGAIN) {
            if (!waiting) {
                StationLog(LOG_DEBUG, "filemsg.lib : semaphore taken, waiting");
                waiting = true;
            }
            WaitMillisecond(kSemaphorePauseMs);
        } else {
            // The set was removed (tsd started again and made a new one): take the new one.
            g_semId = -1;
            initCommunication();
        }
    }
    if (rc != 0) {
        StationLog(LOG_ERR, "filemsg.lib: error in getSemaphore=%d", errno);
        g_semHeld = 0;
        return -3;
    }
    g_semHeld = 1;
    return 0;
}

int releaseSemaphore() {
    if (g_semHeld == 0) {
        StationLog(LOG_ERR, "filemsg.lib : Semaphore not taken");
        return 1;
    }
    if (g_semId < 0) {
        StationLog(LOG_ERR, "filemsg.lib : Semaphore not initialized");
        return -1;
    }
    if (SemaphoreOp(1) != 0) {
        StationLog(LOG_ERR, "filemsg.lib: error in releaseSemaphore=%d", errno);
        return -3;
    }
    g_semHeld = 0;
    return 0;
}

int resetSemaphore() {
    initCommunication();
    if (semctl(g_semId, 0, SETVAL, 1) != 0) {
        StationLog(LOG_ERR, "filemsg.lib : error in Reset semaphore=%d", errno);
        return -1;
    }
    return g_semId;
}
