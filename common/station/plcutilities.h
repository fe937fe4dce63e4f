// The module's one outgoing request to chanmgr: write requests for channel values, set-points
// and communication frames, built with the message codec and put on queue 22792 without
// waiting. Fire-and-forget: the effect shows later in the value memories (channeldb).
#pragma once

#include <cstdint>

#include "msgcodec.h"

constexpr int kPlcMsgCapacity = 512;

// Request commands.
constexpr int kCmdWriteChannel = 3;
constexpr int kCmdWriteFrame = 10;
constexpr int kCmdWritePointValue = 12;

// The queue envelope: the system's message type word (a long), then the body.
struct PlcMessage {
    long type;
    unsigned char body[kPlcMsgCapacity];
};

// Attaches the channel values and information (the process-wide handles of channeldb), prepares
// the request and attaches queue 22792. Each step is fatal when it fails.
void PlcInitMsg();
// Detaches what PlcInitMsg attached and forgets the queue (module end).
void PlcCloseMsg();
// The process-wide request, for modules that add items of their own between a begin and
// PlcTerminateSend.
WorkingReq* GetPlcUtilBuf();

// Single writes: one request with one item, sent at once. The send's result (0, or -1 on a
// send error); -1 without sending for a number of 0 or less (or above 65535).
int PlcWriteBool(int channel, int value);
int PlcWriteShort(int channel, int value);
int PlcWriteLong(int channel, int32_t value);
int PlcWriteFloat(int channel, float value);
int PlcWritePointValueShort(int n, int value);
int PlcWritePointValueFloat(int n, float value);
// true, false, true on the channel in one request.
int PlcWritePulseBool(int channel);

// Batches: a begin, items, PlcTerminateSend. A begin discards an unsent batch.
int PlcBeginWriteChannel();
int PlcBeginWritePointValue();
int PlcBeginSend(int communication, int frame);
// 1 when the item was added; 0 when it does not fit with the terminator after it (overflow
// state set, nothing written) or no batch is open.
int PlcWriteMsgBool(int number, int value);
int PlcWriteMsgShort(int number, int value);
int PlcWriteMsgLong(int number, int32_t value);
int PlcWriteMsgFloat(int number, float value);
// Adds the terminator and sends: the send's result (-1 when no batch is open).
int PlcTerminateSend();
// Bytes still free in the body. An item is added only when the 4-byte terminator still fits
// after it: a long or float item needs 11 free bytes.
int PlcGetFree();
int PlcGetChannelType(int channel);

// One send attempt of the request as it stands: 0 sent, or dropped after 100 ms on a full queue
// or a lasting fault; -1 on the first failure of a fault (logged once).
int SendMsgPlcUtil();
