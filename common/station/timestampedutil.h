// The client of the timestamped-data manager tsd: asks it on queue 20101 for the header of a
// table (station log, communication log, a channel memo), for a copy of its lines, which are
// then taken out of memory 47001 under semaphore 47001, or for its erasure. Every user owns a
// TimeStampedWork; the semaphore state is per process.
#pragma once

#include <cstdint>

#include "msgcodec.h"

namespace timestamped {
// Journal identifiers; any other value is the Modbus address of a channel with a memo.
constexpr uint16_t kStationLog = 1;
constexpr uint16_t kCommLog = 3;
// Line layouts in memory 47001, native byte order, oldest line first.
constexpr int kEventLineSize = 12;  // time (32), word (16), not read (16), value (32)
constexpr int kMemoLineSize = 8;    // time (32), value (32)
constexpr int kBodySize = 64;       // largest request or answer body
constexpr int kRequestSize = 34;
constexpr int kAnswerSize = 32;
// Request fields.
constexpr int32_t kKindMemo = 0;
constexpr int32_t kKindStation = 1;
constexpr int32_t kKindComm = 2;
constexpr int32_t kKindAll = 4;
constexpr int32_t kOpInfo = 0;
constexpr int32_t kOpLines = 1;
constexpr int32_t kOpModbus = 2;
constexpr int32_t kOpErase = 6;
}  // namespace timestamped

// The queue envelope: the message type (requests 1, answers the requester's pid), then the body.
struct TimeStampedMessage {
    long type;
    unsigned char body[timestamped::kBodySize];
};

// The five request fields after the header.
struct JournalRequest {
    int32_t kind = 0;       // 0 memo, 1 station log, 2 communication log, 4 all (erase)
    int32_t operation = 0;  // 0 header, 1 lines, 2 lines in Modbus form, 6 erase
    uint16_t channel = 0;   // Modbus address of the memo's channel; 0 for the logs
    int32_t firstLine = 0;
    int32_t lineCount = 0;
};

// The four answer words after the header.
struct JournalAnswer {
    int32_t tab = 0;      // lines the table can hold; 0: no such memo
    int32_t current = 0;  // write position of the circular table, never above tab
    int32_t valid = 0;    // lines held; after a read, lines placed in memory 47001
    int32_t fourth = 0;   // not used
};

// The working structure of one user; a zeroed one is not initialised. The queue id may be 0 (the
// first queue of a freshly booted station), so the message buffer tells whether the init ran.
struct TimeStampedWork {
    int msgId = 0;                      // queue 20101
    TimeStampedMessage* msg = nullptr;  // owned, made by the init; null while not initialised
    WorkingMsg request;                 // writes into msg->body
    JournalRequest fields;
    WorkingMsg answerMsg;    // reads from msg->body
    JournalAnswer answer;    // as decoded from the last answer taken
    uint16_t journalId = 0;  // of the last header read or read
    unsigned char* lineBuffer = nullptr;
    int lineBufferSize = 0;  // bytes
    int32_t modbusForm = 0;  // 1: reads ask for operation 2
    int lastTab = 0;
    int lastValid = 0;
    int bytesCopied = 0;
    int lastCurrent = 0;
    bool ownsLineBuffer = false;  // made by the init, freed by TimeStampedDataFree
};

// Readies the work: queue 20101 (50 looks, 1 s apart), the message buffer, the line buffer
// (`buffer` of `size` bytes, or null to have one made for the largest table the station
// settings allow). `structSize` is sizeof(TimeStampedWork) as the caller compiled it; a
// different size, or no work, is fatal. 0 ready; 1 queue not found.
int TimeStampedDataInit(TimeStampedWork* work, unsigned char* buffer, int size, int structSize);
// Frees the message buffer (and a line buffer the init made); the queue id goes back to 0.
void TimeStampedDataFree(TimeStampedWork* work);
// Throws away answers waiting for this process (late answers to earlier requests). 0 none
// left; 1 too many (257 taken and still more).
int TimeStampedDataClean(TimeStampedWork* work);
// The header of table `id`: its valid lines (> 0); 0 empty, inconsistent or no memo; -1 no
// answer (or an answer refused).
int TimeStampedDataHeaderRead(TimeStampedWork* work, int id);
// Copies the valid lines of table `id` into the line buffer, oldest first, under the
// semaphore: the number of lines copied; 0 no lines; -1 no answer, an answer refused, lines
// that do not fit the line buffer or the memory, or memory 47001 not found.
int TimeStampedDataRead(TimeStampedWork* work, int id);
// Asks tsd to erase: selector -1 everything, 0 or 1 the station log, 2 or 3 the communication
// log, any other value the memo of that Modbus address. No answer comes. 0 sent; 1 not sent.
int TimeStampedDataErase(TimeStampedWork* work, int selector);
// Line i (from 0) of the line buffer; the index is not checked against the lines copied.
unsigned char* GetTimeStampedEvt(TimeStampedWork* work, int i);   // 12-byte event line
unsigned char* GetTimeStampedData(TimeStampedWork* work, int i);  // 8-byte memo line

// Request builders: fill the fields and return 1. The Info builders leave first line and line
// count as they were.
int JournalStationGetInfo(JournalRequest* request);
int JournalCommGetInfo(JournalRequest* request);
int JournalDataMemoGetInfo(JournalRequest* request, int channel);
int JournalStationGetLines(JournalRequest* request, int first, int count);
int JournalCommGetLines(JournalRequest* request, int first, int count);
int JournalDataMemoGetLines(JournalRequest* request, int channel, int first, int count);
int JournalStationGetModbus(JournalRequest* request, int first, int count);
int JournalCommGetModbus(JournalRequest* request, int first, int count);
int JournalDataMemoGetModbus(JournalRequest* request, int channel, int first, int count);

// Codec. The writers put the header (SetHeader) then the fields: 1, or 0 when they do not fit.
// The readers take a received length, check the header (GetHeader) and read the fields: 1, or
// 0 on a bad header or a body too short, the output then left as it was.
int SetJournalRequest(WorkingMsg* msg, const JournalRequest* request);
int GetJournalRequest(WorkingMsg* msg, int size, JournalRequest* request);
int SetJournalAnswer(WorkingMsg* msg, const JournalAnswer* answer);
int GetJournalAnswer(WorkingMsg* msg, int size, JournalAnswer* answer);

// Semaphore set 47001 (one semaphore, 1 = free), per process.
// Gets the set, creating it when absent (tsd sets it free); fatal when it cannot. 0.
int initCommunication();
// 0 taken (waits while another process holds it, at most a minute on the module's clock);
// 1 already held by this process; -3 failure (errno EAGAIN: still held after the minute).
int getSemaphore();
// 0 released; 1 not held; -1 set not obtained; -3 failure (still held).
int releaseSemaphore();
// Sets the semaphore free: the set id, or -1.
int resetSemaphore();
