#include "msgcodec.h"

#include <syslog.h>
#include <unistd.h>

#include <bit>
#include <cstring>

#include "clock.h"
#include "stationcore.h"
#include "stationlog.h"

namespace {

// Room for n more bytes to write; sets the overflow state and logs when there is none.
bool RoomToWrite(WorkingMsg* msg, int64_t n) {
    if (n < 0 || msg->buffer == nullptr ||
        static_cast<int64_t>(msg->position) + n > static_cast<int64_t>(msg->capacity)) {
        msg->error = kMsgOverflow;
        StationLog(LOG_ERR, "filemsg.lib : overflow error (emit)");
        return false;
    }
    return true;
}

bool RoomToRead(WorkingMsg* msg, int64_t n) {
    if (n < 0 || msg->buffer == nullptr ||
        static_cast<int64_t>(msg->position) + n > static_cast<int64_t>(msg->receiveSize)) {
        msg->error = kMsgOverflow;
        StationLog(LOG_ERR, "filemsg.lib : overflow error (receive)");
        return false;
    }
    return true;
}

// Big-endian stores and loads of n bytes (n <= 8), the caller having checked the room.
void PutBigEndian(WorkingMsg* msg, uint64_t value, int n) {
    for (int i = n - 1; i >= 0; --i) {
        msg->buffer[msg->position + i] = static_cast<unsigned char>(value & 0xFF);
        value >>= 8;
    }
    msg->position += n;
}

uint64_t GetBigEndian(WorkingMsg* msg, int n) {
    uint64_t value = 0;
    for (int i = 0; i < n; ++i) {
        value = (value << 8) | msg->buffer[msg->position + i];
    }
    msg->position += n;
    return value;
}

int WriteUnsigned(WorkingMsg* msg, uint64_t value, int n) {
    if (!RoomToWrite(msg, n)) {
        return 0;
    }
    PutBigEndian(msg, value, n);
    return 1;
}

// The value, or 0 after a failure (ok tells which).
uint64_t ReadUnsigned(WorkingMsg* msg, int n, bool* ok = nullptr) {
    if (!RoomToRead(msg, n)) {
        if (ok != nullptr) {
            *ok = false;
        }
        return 0;
    }
    if (ok != nullptr) {
        *ok = true;
    }
    return GetBigEndian(msg, n);
}

int StringLength(const char* text) {
    return text == nullptr ? 0 : static_cast<int>(strnlen(text, kMsgStringMax + 1));
}

bool RefuseLongString(WorkingMsg* msg, int length) {
    if (length > kMsgStringMax) {
        msg->error = kMsgSizeError;
        StationLog(LOG_ERR, "filemsg.lib : string too long for a message (more than %d)",
                   kMsgStringMax);
        return true;
    }
    return false;
}

// Number (short) and kind (char) of an item.
constexpr int kItemHeadSize = 3;

void PutItemHead(WorkingReq* req, int number, int kind) {
    PutBigEndian(req, static_cast<uint16_t>(number), 2);
    PutBigEndian(req, static_cast<uint8_t>(kind), 1);
}

int32_t ToSigned32(uint64_t bits) {
    return static_cast<int32_t>(static_cast<uint32_t>(bits));
}

}  // namespace

// ---------------------------------------------------------------- set-up

void InitWorkingMsg(WorkingMsg* msg, unsigned char* buffer, int capacity, int key) {
    msg->key = key;
    msg->capacity = capacity < 0 ? 0 : capacity;
    msg->receiveSize = 0;
    msg->msgNumber = 1;
    msg->pid = 0;
    msg->timeSec = 0;
    msg->timeUsec = 0;
    msg->buffer = buffer;
    msg->position = 0;
    msg->error = kMsgNoError;
    msg->string[0] = '\0';
}

void InitWorkingReq(WorkingReq* req, unsigned char* buffer, int capacity, int key) {
    InitWorkingMsg(req, buffer, capacity, key);
    req->command = 0;
    req->expected = 0;
    req->number = 0;
    req->kind = 0;
    req->bits = 0;
    req->bitCount = 0;
}

int SetReceiveSize(WorkingMsg* msg, int size) {
    if (size < 0 || size > msg->capacity) {
        msg->error = kMsgSizeError;
        StationLog(LOG_ERR, "filemsg.lib : error in setting receive size");
        return 0;
    }
    msg->receiveSize = size;
    return 1;
}

// ---------------------------------------------------------------- raw and typed fields

int MsgDataWrite(WorkingMsg* msg, const void* bytes, int length) {
    if (!RoomToWrite(msg, length)) {
        return 0;
    }
    if (length > 0) {
        std::memcpy(msg->buffer + msg->position, bytes, static_cast<size_t>(length));
        msg->position += length;
    }
    return 1;
}

int MsgDataRead(WorkingMsg* msg, void* bytes, int length) {
    if (!RoomToRead(msg, length)) {
        return 0;
    }
    if (length > 0) {
        std::memcpy(bytes, msg->buffer + msg->position, static_cast<size_t>(length));
        msg->position += length;
    }
    return 1;
}

int MsgCharWrite(WorkingMsg* msg, int value) {
    return WriteUnsigned(msg, static_cast<uint8_t>(value), 1);
}

int MsgBoolWrite(WorkingMsg* msg, int value) {
    return WriteUnsigned(msg, value ? 0xFF : 0x00, 1);
}

int MsgShortWrite(WorkingMsg* msg, int value) {
    return WriteUnsigned(msg, static_cast<uint16_t>(value), 2);
}

int MsgLongWrite(WorkingMsg* msg, int32_t value) {
    return WriteUnsigned(msg, static_cast<uint32_t>(value), 4);
}

int MsgIEEEWrite(WorkingMsg* msg, float value) {
    return WriteUnsigned(msg, std::bit_cast<uint32_t>(value), 4);
}

int MsgDoubleWrite(WorkingMsg* msg, double value) {
    return WriteUnsigned(msg, std::bit_cast<uint64_t>(value), 8);
}

int MsgStringWrite(WorkingMsg* msg, const char* text) {
    int length = StringLength(text);
    if (RefuseLongString(msg, length) || !RoomToWrite(msg, 2 + length)) {
        return 0;
    }
    PutBigEndian(msg, static_cast<uint16_t>(length), 2);
    if (length > 0) {
        std::memcpy(msg->buffer + msg->position, text, static_cast<size_t>(length));
        msg->position += length;
    }
    return 1;
}

int MsgCharRead(WorkingMsg* msg) {
    return static_cast<int>(ReadUnsigned(msg, 1));
}

int MsgBoolRead(WorkingMsg* msg) {
    return ReadUnsigned(msg, 1) != 0 ? 1 : 0;
}

int MsgShortRead(WorkingMsg* msg) {
    return static_cast<int>(ReadUnsigned(msg, 2));
}

int32_t MsgLongRead(WorkingMsg* msg) {
    return ToSigned32(ReadUnsigned(msg, 4));
}

float MsgIEEERead(WorkingMsg* msg) {
    bool ok = false;
    uint32_t bits = static_cast<uint32_t>(ReadUnsigned(msg, 4, &ok));
    return ok ? std::bit_cast<float>(bits) : 0.0f;
}

double MsgDoubleRead(WorkingMsg* msg) {
    bool ok = false;
    uint64_t bits = ReadUnsigned(msg, 8, &ok);
    return ok ? std::bit_cast<double>(bits) : 0.0;
}

const char* MsgStringRead(WorkingMsg* msg, int maximum) {
    if (maximum > kMsgStringMax) {
        maximum = kMsgStringMax;
    }
    int length = MsgShortRead(msg);
    if (length == 0) {
        msg->string[0] = '\0';
        return msg->string;
    }
    if (length > maximum) {
        // Leave the bytes: the caller may read them another way.
        return nullptr;
    }
    if (!MsgDataRead(msg, msg->string, length)) {
        msg->string[0] = '\0';
        return msg->string;
    }
    msg->string[length] = '\0';
    return msg->string;
}

// ---------------------------------------------------------------- header

int SetHeader(WorkingMsg* msg) {
    msg->position = 0;
    msg->error = kMsgNoError;
    if (!RoomToWrite(msg, kMsgHeaderSize)) {
        return 0;
    }
    if (msg->msgNumber <= 0 || msg->msgNumber > 65535) {
        msg->msgNumber = 1;
    }
    PutBigEndian(msg, kMsgMarker, 4);
    PutBigEndian(msg, static_cast<uint16_t>(msg->msgNumber), 2);
    msg->msgNumber = msg->msgNumber >= 65535 ? 1 : msg->msgNumber + 1;
    PutBigEndian(msg, static_cast<uint16_t>(getpid()), 2);
    uint32_t seconds = msg->timeSec;
    uint32_t microseconds = msg->timeUsec;
    if (seconds == 0) {
        timeval now = Clock().Now();
        seconds = static_cast<uint32_t>(now.tv_sec);
        microseconds = static_cast<uint32_t>(now.tv_usec);
    }
    PutBigEndian(msg, seconds, 4);
    PutBigEndian(msg, microseconds, 4);
    return 1;
}

int GetHeader(WorkingMsg* msg) {
    msg->position = 0;
    msg->error = kMsgNoError;
    uint32_t marker = static_cast<uint32_t>(ReadUnsigned(msg, 4));
    msg->msgNumber = MsgShortRead(msg);
    msg->pid = MsgShortRead(msg);
    msg->timeSec = static_cast<uint32_t>(ReadUnsigned(msg, 4));
    msg->timeUsec = static_cast<uint32_t>(ReadUnsigned(msg, 4));
    if (marker != kMsgMarker) {
        StationLog(LOG_ERR, "filemsg.lib : error key %08X pid=%d received", marker, msg->pid);
        return 0;
    }
    if (msg->msgNumber == 0) {
        StationLog(LOG_ERR, "filemsg.lib : error Msg Number null pid=%d", msg->pid);
        return 0;
    }
    if (msg->position != kMsgHeaderSize) {
        StationLog(LOG_ERR, "filemsg.lib : error Index %d != sizeheader %d Pid=%d", msg->position,
                   kMsgHeaderSize, msg->pid);
        return 0;
    }
    return 1;
}

int GetSizeHeader() {
    return kMsgHeaderSize;
}

int32_t GetFrameTime(WorkingMsg* msg) {
    timeval now = Clock().Now();
    uint32_t seconds = static_cast<uint32_t>(now.tv_sec) - msg->timeSec;
    uint32_t microseconds = static_cast<uint32_t>(now.tv_usec) - msg->timeUsec;
    return static_cast<int32_t>(seconds * 1000000u + microseconds);
}

// ---------------------------------------------------------------- requests

int SetHeaderReq(WorkingReq* req, int command) {
    // A request always carries the time it is sent.
    req->timeSec = 0;
    req->command = command;
    if (!SetHeader(req)) {
        return 0;
    }
    return MsgCharWrite(req, command);
}

int GetHeaderReq(WorkingReq* req, int size) {
    req->number = 0;
    req->command = 0;
    if (!SetReceiveSize(req, size) || !GetHeader(req)) {
        return 0;
    }
    bool ok = false;
    req->command = static_cast<int>(ReadUnsigned(req, 1, &ok));
    return ok ? 1 : 0;
}

int GetCommandCode(WorkingReq* req) {
    return req->command & 0x7F;
}

int IsReqReply(WorkingReq* req) {
    return (req->command & 0x80) != 0 ? 1 : 0;
}

int SetReplyCode(int code) {
    return code | 0x80;
}

int AddReqNumber(WorkingReq* req, int number) {
    return MsgShortWrite(req, number);
}

int ReadReqNumber(WorkingReq* req) {
    return MsgShortRead(req);
}

// ---------------------------------------------------------------- numbered items

int NumberBoolWrite(WorkingReq* req, int number, int value) {
    if (!RoomToWrite(req, kItemHeadSize + 1)) {
        return 0;
    }
    PutItemHead(req, number, kItemBool);
    PutBigEndian(req, value ? 0xFF : 0x00, 1);
    return 1;
}

int NumberShortWrite(WorkingReq* req, int number, int value) {
    if (!RoomToWrite(req, kItemHeadSize + 2)) {
        return 0;
    }
    PutItemHead(req, number, kItemShort);
    PutBigEndian(req, static_cast<uint16_t>(value), 2);
    return 1;
}

int NumberLongWrite(WorkingReq* req, int number, int32_t value) {
    if (!RoomToWrite(req, kItemHeadSize + 4)) {
        return 0;
    }
    PutItemHead(req, number, kItemLong);
    PutBigEndian(req, static_cast<uint32_t>(value), 4);
    return 1;
}

int NumberIEEEWrite(WorkingReq* req, int number, float value) {
    if (!RoomToWrite(req, kItemHeadSize + 4)) {
        return 0;
    }
    PutItemHead(req, number, kItemIEEE);
    PutBigEndian(req, std::bit_cast<uint32_t>(value), 4);
    return 1;
}

int NumberDoubleWrite(WorkingReq* req, int number, double value) {
    if (!RoomToWrite(req, kItemHeadSize + 8)) {
        return 0;
    }
    PutItemHead(req, number, kItemDouble);
    PutBigEndian(req, std::bit_cast<uint64_t>(value), 8);
    return 1;
}

int NumberStringWrite(WorkingReq* req, int number, const char* text) {
    int length = StringLength(text);
    if (RefuseLongString(req, length) || !RoomToWrite(req, kItemHeadSize + 2 + length)) {
        return 0;
    }
    PutItemHead(req, number, kItemString);
    return MsgStringWrite(req, text);
}

int GetReplyNumberAndType(WorkingReq* req, int* number, int* kind) {
    req->number = MsgShortRead(req);
    req->kind = req->number != 0 ? MsgCharRead(req) : 0;
    if (number != nullptr) {
        *number = req->number;
    }
    if (kind != nullptr) {
        *kind = req->kind;
    }
    return 1;
}

int NumberBoolRead(WorkingReq* req) {
    return req->kind == kItemBool ? MsgBoolRead(req) : 0;
}

int NumberShortRead(WorkingReq* req) {
    return req->kind == kItemShort ? MsgShortRead(req) : 0;
}

int32_t NumberLongRead(WorkingReq* req) {
    return req->kind == kItemLong ? MsgLongRead(req) : 0;
}

float NumberIEEERead(WorkingReq* req) {
    return req->kind == kItemIEEE ? MsgIEEERead(req) : 0.0f;
}

double NumberDoubleRead(WorkingReq* req) {
    return req->kind == kItemDouble ? MsgDoubleRead(req) : 0.0;
}

const char* NumberStringRead(WorkingReq* req) {
    if (req->kind != kItemString) {
        return "";
    }
    const char* text = MsgStringRead(req, kMsgStringMax);
    return text != nullptr ? text : "";
}

// ---------------------------------------------------------------- compact transfers

namespace {

void StartRun(WorkingReq* req, int first, int count, int kind) {
    req->number = first;
    req->expected = count < 0 ? 0 : count;
    req->kind = kind;
    req->bits = 0;
    req->bitCount = 0;
}

}  // namespace

int SetCompactTransfert(WorkingReq* req, int first, int count, int kind) {
    StartRun(req, first, count, kind);
    if (!RoomToWrite(req, 5)) {
        req->expected = 0;
        return 0;
    }
    PutBigEndian(req, static_cast<uint16_t>(first), 2);
    PutBigEndian(req, static_cast<uint16_t>(count), 2);
    PutBigEndian(req, static_cast<uint8_t>(kind), 1);
    return 1;
}

int SetVelunTransfert(WorkingReq* req, int first, int second, int count, int kind) {
    StartRun(req, first, count, kind);
    if (!RoomToWrite(req, 7)) {
        req->expected = 0;
        return 0;
    }
    PutBigEndian(req, static_cast<uint16_t>(first), 2);
    PutBigEndian(req, static_cast<uint16_t>(second), 2);
    PutBigEndian(req, static_cast<uint16_t>(count), 2);
    PutBigEndian(req, static_cast<uint8_t>(kind), 1);
    return 1;
}

int GetCompactTransfert(WorkingReq* req, int* first, int* count, int* kind) {
    bool ok = RoomToRead(req, 5);
    int f = ok ? MsgShortRead(req) : 0;
    int c = ok ? MsgShortRead(req) : 0;
    int k = ok ? MsgCharRead(req) : 0;
    StartRun(req, f, c, k);
    if (first != nullptr) {
        *first = f;
    }
    if (count != nullptr) {
        *count = c;
    }
    if (kind != nullptr) {
        *kind = k;
    }
    return ok ? 1 : 0;
}

int GetVelunTransfert(WorkingReq* req, int* first, int* second, int* count, int* kind) {
    bool ok = RoomToRead(req, 7);
    int f = ok ? MsgShortRead(req) : 0;
    int s = ok ? MsgShortRead(req) : 0;
    int c = ok ? MsgShortRead(req) : 0;
    int k = ok ? MsgCharRead(req) : 0;
    StartRun(req, f, c, k);
    if (first != nullptr) {
        *first = f;
    }
    if (second != nullptr) {
        *second = s;
    }
    if (count != nullptr) {
        *count = c;
    }
    if (kind != nullptr) {
        *kind = k;
    }
    return ok ? 1 : 0;
}

int BoolCompactWrite(WorkingReq* req, int value) {
    if (req->expected <= 0) {
        return 0;
    }
    --req->expected;
    if (value) {
        req->bits = static_cast<uint8_t>(req->bits | (1u << req->bitCount));
    }
    if (++req->bitCount < 8) {
        return 1;
    }
    int written = MsgCharWrite(req, req->bits);
    req->bits = 0;
    req->bitCount = 0;
    return written;
}

int BoolCompactRead(WorkingReq* req) {
    if (req->expected <= 0) {
        return 0;
    }
    --req->expected;
    if (req->bitCount == 0) {
        bool ok = false;
        req->bits = static_cast<uint8_t>(ReadUnsigned(req, 1, &ok));
        if (!ok) {
            // Nothing more can be read: end the run rather than hand out stale bits.
            req->expected = 0;
            return 0;
        }
    }
    int bit = (req->bits >> req->bitCount) & 1;
    req->bitCount = (req->bitCount + 1) % 8;
    return bit;
}

int EndingCompactTransfert(WorkingReq* req) {
    if (req->kind != kItemBool) {
        return 0;
    }
    int result = 1;
    if (req->bitCount > 0) {
        result = MsgCharWrite(req, req->bits);
    }
    req->expected = 0;
    req->bits = 0;
    req->bitCount = 0;
    return result;
}

int ShortCompactWrite(WorkingReq* req, int value) {
    return req->expected > 0 ? MsgShortWrite(req, value) : 0;
}

int ShortCompactRead(WorkingReq* req) {
    return req->expected > 0 ? MsgShortRead(req) : 0;
}

int LongCompactWrite(WorkingReq* req, int32_t value) {
    return req->expected > 0 ? MsgLongWrite(req, value) : 0;
}

int32_t LongCompactRead(WorkingReq* req) {
    return req->expected > 0 ? MsgLongRead(req) : 0;
}

int IEEECompactWrite(WorkingReq* req, float value) {
    return req->expected > 0 ? MsgIEEEWrite(req, value) : 0;
}

float IEEECompactRead(WorkingReq* req) {
    return req->expected > 0 ? MsgIEEERead(req) : 0.0f;
}

// ---------------------------------------------------------------- fixed payloads

namespace {

template <typename T>
void Store(T* target, T value) {
    if (target != nullptr) {
        *target = value;
    }
}

}  // namespace

int SetPlcWrite(WorkingMsg* msg, int communication, int frame) {
    if (!RoomToWrite(msg, 4)) {
        return 0;
    }
    MsgShortWrite(msg, communication);
    MsgShortWrite(msg, frame);
    return 1;
}

int GetPlcWrite(WorkingMsg* msg, int* communication, int* frame) {
    if (!RoomToRead(msg, 4)) {
        Store(communication, 0);
        Store(frame, 0);
        return 0;
    }
    Store(communication, MsgShortRead(msg));
    Store(frame, MsgShortRead(msg));
    return 1;
}

int SetIOWrite(WorkingMsg* msg, int a, int b, int state) {
    if (!RoomToWrite(msg, 3)) {
        return 0;
    }
    MsgCharWrite(msg, a);
    MsgCharWrite(msg, b);
    MsgBoolWrite(msg, state);
    return 1;
}

int GetIOWrite(WorkingMsg* msg, int* a, int* b, int* state) {
    if (!RoomToRead(msg, 3)) {
        Store(a, 0);
        Store(b, 0);
        Store(state, 0);
        return 0;
    }
    Store(a, MsgCharRead(msg));
    Store(b, MsgCharRead(msg));
    Store(state, MsgBoolRead(msg));
    return 1;
}

int SetIOPerformanceCounterRead(WorkingMsg* msg, float a, float b, float c) {
    if (!RoomToWrite(msg, 12)) {
        return 0;
    }
    MsgIEEEWrite(msg, a);
    MsgIEEEWrite(msg, b);
    MsgIEEEWrite(msg, c);
    return 1;
}

int GetIOPerformanceCounterRead(WorkingMsg* msg, float* a, float* b, float* c) {
    if (!RoomToRead(msg, 12)) {
        Store(a, 0.0f);
        Store(b, 0.0f);
        Store(c, 0.0f);
        return 0;
    }
    Store(a, MsgIEEERead(msg));
    Store(b, MsgIEEERead(msg));
    Store(c, MsgIEEERead(msg));
    return 1;
}

int SetIODiagCounterRead(WorkingMsg* msg, int a, int32_t b, int32_t c, int32_t d) {
    if (!RoomToWrite(msg, 13)) {
        return 0;
    }
    MsgCharWrite(msg, a);
    MsgLongWrite(msg, b);
    MsgLongWrite(msg, c);
    MsgLongWrite(msg, d);
    return 1;
}

int GetIODiagCounterRead(WorkingMsg* msg, int* a, int32_t* b, int32_t* c, int32_t* d) {
    if (!RoomToRead(msg, 13)) {
        Store(a, 0);
        Store(b, int32_t{0});
        Store(c, int32_t{0});
        Store(d, int32_t{0});
        return 0;
    }
    Store(a, MsgCharRead(msg));
    Store(b, MsgLongRead(msg));
    Store(c, MsgLongRead(msg));
    Store(d, MsgLongRead(msg));
    return 1;
}

int SetIOSlotAsynchExchange(WorkingMsg* msg, int a, int b, const unsigned char* bytes, int length) {
    if (length < 0 || length > 255 || (length > 0 && bytes == nullptr)) {
        msg->error = kMsgSizeError;
        StationLog(LOG_ERR, "filemsg.lib : size error of exchange data (%d)", length);
        return 0;
    }
    if (!RoomToWrite(msg, 4 + length)) {
        return 0;
    }
    MsgCharWrite(msg, a);
    MsgShortWrite(msg, b);
    MsgCharWrite(msg, length);
    return MsgDataWrite(msg, bytes, length);
}

int GetIOSlotAsynchExchange(WorkingMsg* msg, int* a, int* b, unsigned char* bytes, int maximum) {
    if (!RoomToRead(msg, 4)) {
        Store(a, 0);
        Store(b, 0);
        return 0;
    }
    Store(a, MsgCharRead(msg));
    Store(b, MsgShortRead(msg));
    int length = MsgCharRead(msg);
    if (maximum < 0 || bytes == nullptr) {
        maximum = 0;
    }
    int taken = length < maximum ? length : maximum;
    if (!RoomToRead(msg, length)) {
        return 0;
    }
    MsgDataRead(msg, bytes, taken);
    // Bytes beyond the caller's room are skipped, so that what follows stays in step.
    msg->position += length - taken;
    return taken;
}

int SetIOSlotStatusAnswer(WorkingMsg* msg, int a, int b, int c) {
    if (!RoomToWrite(msg, 3)) {
        return 0;
    }
    MsgCharWrite(msg, a);
    MsgCharWrite(msg, b);
    MsgCharWrite(msg, c);
    return 1;
}

int GetIOSlotStatusAnswer(WorkingMsg* msg, int* a, int* b, int* c) {
    if (!RoomToRead(msg, 3)) {
        Store(a, 0);
        Store(b, 0);
        Store(c, 0);
        return 0;
    }
    Store(a, MsgCharRead(msg));
    Store(b, MsgCharRead(msg));
    Store(c, MsgCharRead(msg));
    return 1;
}

int SetIOSlotStatusQuestion(WorkingMsg* msg, int a) {
    return MsgCharWrite(msg, a);
}

int GetIOSlotStatusQuestion(WorkingMsg* msg, int* a) {
    if (!RoomToRead(msg, 1)) {
        Store(a, 0);
        return 0;
    }
    Store(a, MsgCharRead(msg));
    return 1;
}

int SetAlarmInhibitData(WorkingMsg* msg, int a, int b, int32_t c, int d) {
    if (!RoomToWrite(msg, 8)) {
        return 0;
    }
    MsgBoolWrite(msg, a);
    MsgBoolWrite(msg, b);
    MsgLongWrite(msg, c);
    MsgShortWrite(msg, d);
    return 1;
}

int GetAlarmInhibitData(WorkingMsg* msg, int* a, int* b, int32_t* c, int* d) {
    if (!RoomToRead(msg, 8)) {
        Store(a, 0);
        Store(b, 0);
        Store(c, int32_t{0});
        Store(d, 0);
        return 0;
    }
    Store(a, MsgBoolRead(msg));
    Store(b, MsgBoolRead(msg));
    Store(c, MsgLongRead(msg));
    Store(d, MsgShortRead(msg));
    return 1;
}

int ReqShortWrite(WorkingMsg* msg, int value) {
    return MsgShortWrite(msg, value);
}

int ReqShortRead(WorkingMsg* msg) {
    return static_cast<int16_t>(MsgShortRead(msg));
}

int ReqCharWrite(WorkingMsg* msg, int value) {
    return MsgCharWrite(msg, value);
}

int ReqCharRead(WorkingMsg* msg) {
    return MsgCharRead(msg);
}

int ReqBoolWrite(WorkingMsg* msg, int value) {
    return MsgBoolWrite(msg, value);
}
