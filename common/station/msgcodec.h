// The body format shared by every message between the modules and the station's resident
// processes: a 16-byte header, then typed big-endian fields. A working message wraps a byte
// buffer owned by the caller; the codec never allocates and never sends.
#pragma once

#include <cstdint>

// Error states of a working message.
constexpr int kMsgNoError = 0;
constexpr int kMsgOverflow = 1;
constexpr int kMsgSizeError = 2;

constexpr int kMsgHeaderSize = 16;
constexpr int kMsgStringMax = 255;

// Item kind codes.
constexpr int kItemBool = 1;
constexpr int kItemShort = 2;
constexpr int kItemLong = 3;
constexpr int kItemIEEE = 4;
constexpr int kItemString = 5;
constexpr int kItemDouble = 6;

struct WorkingMsg {
    int32_t key = 0;          // queue the message belongs to (kept, not sent)
    int32_t capacity = 0;     // bytes available for writing
    int32_t receiveSize = 0;  // bytes available for reading
    int32_t msgNumber = 0;    // next number to send (1 to 65535); the last one read
    int32_t pid = 0;          // from the last header read
    uint32_t timeSec = 0;     // from the last header read; non-zero: sent instead of now
    uint32_t timeUsec = 0;
    unsigned char* buffer = nullptr;
    int32_t position = 0;  // next byte to write or read
    int32_t error = kMsgNoError;
    char string[kMsgStringMax + 1] = {};  // last string read, terminated
};

// A request: a working message with a command byte, numbered items and compact runs.
struct WorkingReq : WorkingMsg {
    int32_t command = 0;
    int32_t expected = 0;  // elements still expected in a compact run
    int32_t number = 0;    // first number of a run; number of the last item read
    int32_t kind = 0;      // kind of the run; kind of the last item read
    uint8_t bits = 0;      // packed booleans not yet written / being read
    int32_t bitCount = 0;  // bits held in `bits` (writing) or bit position (reading)
};

// Set-up. InitWorkingMsg leaves a request's extension as it is; InitWorkingReq clears it too.
void InitWorkingMsg(WorkingMsg* msg, unsigned char* buffer, int capacity, int key);
void InitWorkingReq(WorkingReq* req, unsigned char* buffer, int capacity, int key);
// 1, or 0 with error state 2 when size exceeds the capacity (or is negative).
int SetReceiveSize(WorkingMsg* msg, int size);

// Raw bytes: 1, or 0 with error state 1 and nothing moved.
int MsgDataWrite(WorkingMsg* msg, const void* bytes, int length);
int MsgDataRead(WorkingMsg* msg, void* bytes, int length);

// Typed writers: 1, or 0 (nothing written).
int MsgCharWrite(WorkingMsg* msg, int value);
int MsgBoolWrite(WorkingMsg* msg, int value);
int MsgShortWrite(WorkingMsg* msg, int value);
int MsgLongWrite(WorkingMsg* msg, int32_t value);
int MsgIEEEWrite(WorkingMsg* msg, float value);
int MsgDoubleWrite(WorkingMsg* msg, double value);
// Null is written as the empty string; longer than 255 sets error state 2.
int MsgStringWrite(WorkingMsg* msg, const char* text);

// Typed readers: the value, 0 after a failure.
int MsgCharRead(WorkingMsg* msg);
int MsgBoolRead(WorkingMsg* msg);
int MsgShortRead(WorkingMsg* msg);  // 0 to 65535
int32_t MsgLongRead(WorkingMsg* msg);
float MsgIEEERead(WorkingMsg* msg);
double MsgDoubleRead(WorkingMsg* msg);
// The message's string buffer; null when the length is above `maximum` (at most 255; the bytes
// then stay unread); the empty string after a failed read.
const char* MsgStringRead(WorkingMsg* msg, int maximum);

// Header.
int SetHeader(WorkingMsg* msg);
int GetHeader(WorkingMsg* msg);
int GetSizeHeader();
// Microseconds from the last header's time to now (32-bit: right below about 35 minutes).
int32_t GetFrameTime(WorkingMsg* msg);

// Requests.
int SetHeaderReq(WorkingReq* req, int command);
int GetHeaderReq(WorkingReq* req, int size);
int GetCommandCode(WorkingReq* req);
int IsReqReply(WorkingReq* req);
int SetReplyCode(int code);
int AddReqNumber(WorkingReq* req, int number);
int ReadReqNumber(WorkingReq* req);

// Numbered items: number (short), kind (char), value. 1 only when the whole item was written;
// an item that does not fit is not written at all.
int NumberBoolWrite(WorkingReq* req, int number, int value);
int NumberShortWrite(WorkingReq* req, int number, int value);
int NumberLongWrite(WorkingReq* req, int number, int32_t value);
int NumberIEEEWrite(WorkingReq* req, int number, float value);
int NumberDoubleWrite(WorkingReq* req, int number, double value);
int NumberStringWrite(WorkingReq* req, int number, const char* text);
// Reads an item's number and, when it is not 0, its kind. Number 0 (end of the list, or nothing
// left to read) gives number 0 and kind 0. Always 1.
int GetReplyNumberAndType(WorkingReq* req, int* number, int* kind);
// Value of the item whose number and kind were just read, when the kind is theirs; otherwise 0
// (an empty string) and nothing is read.
int NumberBoolRead(WorkingReq* req);
int NumberShortRead(WorkingReq* req);
int32_t NumberLongRead(WorkingReq* req);
float NumberIEEERead(WorkingReq* req);
double NumberDoubleRead(WorkingReq* req);
const char* NumberStringRead(WorkingReq* req);

// Compact transfers: a run of `count` consecutive numbers of one kind.
int SetCompactTransfert(WorkingReq* req, int first, int count, int kind);
int SetVelunTransfert(WorkingReq* req, int first, int second, int count, int kind);
int GetCompactTransfert(WorkingReq* req, int* first, int* count, int* kind);
int GetVelunTransfert(WorkingReq* req, int* first, int* second, int* count, int* kind);
// Booleans are packed eight to a byte, the first in bit 0; EndingCompactTransfert writes a
// partly filled byte and closes the run (kind 1 only; 0 for other kinds).
int BoolCompactWrite(WorkingReq* req, int value);
int BoolCompactRead(WorkingReq* req);
int EndingCompactTransfert(WorkingReq* req);
// Word elements are plain fields, carried while the run expects elements.
int ShortCompactWrite(WorkingReq* req, int value);
int ShortCompactRead(WorkingReq* req);
int LongCompactWrite(WorkingReq* req, int32_t value);
int32_t LongCompactRead(WorkingReq* req);
int IEEECompactWrite(WorkingReq* req, float value);
float IEEECompactRead(WorkingReq* req);

// Fixed payloads: writers 1 or 0; readers 1, or 0 when a field could not be read.
int SetPlcWrite(WorkingMsg* msg, int communication, int frame);
int GetPlcWrite(WorkingMsg* msg, int* communication, int* frame);
int SetIOWrite(WorkingMsg* msg, int a, int b, int state);
int GetIOWrite(WorkingMsg* msg, int* a, int* b, int* state);
int SetIOPerformanceCounterRead(WorkingMsg* msg, float a, float b, float c);
int GetIOPerformanceCounterRead(WorkingMsg* msg, float* a, float* b, float* c);
int SetIODiagCounterRead(WorkingMsg* msg, int a, int32_t b, int32_t c, int32_t d);
int GetIODiagCounterRead(WorkingMsg* msg, int* a, int32_t* b, int32_t* c, int32_t* d);
// char, short, char length L (0 to 255), L bytes.
int SetIOSlotAsynchExchange(WorkingMsg* msg, int a, int b, const unsigned char* bytes, int length);
// Reads at most `maximum` of the L bytes (the rest is skipped); the number read, 0 on failure.
int GetIOSlotAsynchExchange(WorkingMsg* msg, int* a, int* b, unsigned char* bytes, int maximum);
int SetIOSlotStatusAnswer(WorkingMsg* msg, int a, int b, int c);
int GetIOSlotStatusAnswer(WorkingMsg* msg, int* a, int* b, int* c);
int SetIOSlotStatusQuestion(WorkingMsg* msg, int a);
int GetIOSlotStatusQuestion(WorkingMsg* msg, int* a);
int SetAlarmInhibitData(WorkingMsg* msg, int a, int b, int32_t c, int d);
int GetAlarmInhibitData(WorkingMsg* msg, int* a, int* b, int32_t* c, int* d);
int ReqShortWrite(WorkingMsg* msg, int value);
int ReqShortRead(WorkingMsg* msg);  // signed 16-bit
int ReqCharWrite(WorkingMsg* msg, int value);
int ReqCharRead(WorkingMsg* msg);
int ReqBoolWrite(WorkingMsg* msg, int value);
