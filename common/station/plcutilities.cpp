#include "plcutilities.h"

#include <sys/ipc.h>
#include <sys/msg.h>
#include <syslog.h>

#include <cerrno>

#include "channeldb.h"
#include "logdebug.h"
#include "stationcore.h"
#include "stationlog.h"
#include "utilities.h"

namespace {

constexpr int kTerminatorSize = 4;  // number 0, kind 1, value false
constexpr int kFullQueuePauseMs = 100;

// The process-wide request: the message, the working message over its body, the queue, and
// whether the last send failed.
struct PlcRequest {
    PlcMessage message{};
    WorkingReq request;
    int queueId = -1;
    bool sendError = false;
    // A begin opens a batch and the send closes it, so that items are never appended after a
    // terminator and a request is never sent twice.
    bool batchOpen = false;
} g_plc;

bool BeginRequest(int command) {
    g_plc.batchOpen = SetHeaderReq(&g_plc.request, command) == 1;
    return g_plc.batchOpen;
}

// Room for an item of `size` bytes with the terminator still after it.
bool ItemFits(int size) {
    if (!g_plc.batchOpen) {
        StationLog(LOG_ERR, "filemsg.lib : item written outside a request");
        return false;
    }
    if (PlcGetFree() < size + kTerminatorSize) {
        g_plc.request.error = kMsgOverflow;
        StationLog(LOG_ERR, "filemsg.lib : overflow error (emit)");
        return false;
    }
    return true;
}

// Item numbers are 16 bits in the message, and 0 ends the list of items.
bool NumberOk(int number) {
    if (number < 1 || number > 0xFFFF) {
        StationLog(LOG_ERR, "filemsg.lib : item number %d refused", number);
        return false;
    }
    return true;
}

int Terminate() {
    if (!g_plc.batchOpen) {
        StationLog(LOG_ERR, "filemsg.lib : no request to send");
        return -1;
    }
    // Our own items leave room for the terminator, but a module filling the request through
    // GetPlcUtilBuf may not have: a request without its end-of-list would be read past its
    // items by chanmgr, so it is not sent.
    if (NumberBoolWrite(&g_plc.request, 0, 0) != 1) {
        g_plc.batchOpen = false;
        StationLog(LOG_ERR, "filemsg.lib : overflow error (emit)");
        return -1;
    }
    return SendMsgPlcUtil();
}

// Message number the last header was given (the working message already holds the next one).
int LastMessageNumber() {
    return (static_cast<int>(g_plc.message.body[4]) << 8) | g_plc.message.body[5];
}

}  // namespace

void PlcInitMsg() {
    if (g_plc.queueId != -1) {
        StationLog(LOG_ERR, "filesmg.lib : Msg IP deja initialise");
        return;
    }
    CriticalAssert(ChannelReadOpen(GetDataChannelAddr()) == 0, "Ouv. valeur voies", "plcutilities",
                   __LINE__);
    CriticalAssert(ChannelInfoOpen(GetInfoChannelAddr()) == 0, "Ouv. info voies", "plcutilities",
                   __LINE__);
    InitWorkingReq(&g_plc.request, g_plc.message.body, kPlcMsgCapacity, corekey::kChanmgrQueue);
    g_plc.message.type = kRequestMsgType;
    g_plc.queueId = msgget(corekey::kChanmgrQueue, 0);
    CriticalAssert(g_plc.queueId != -1, "erreur sur msgget", "plcutilities", __LINE__);
}

void PlcCloseMsg() {
    ChannelReadClose(GetDataChannelAddr());
    ChannelInfoClose(GetInfoChannelAddr());
    g_plc.queueId = -1;
    g_plc.sendError = false;
    g_plc.batchOpen = false;
}

WorkingReq* GetPlcUtilBuf() {
    return &g_plc.request;
}

// ---------------------------------------------------------------- single writes

int PlcWriteBool(int channel, int value) {
    if (channel <= 0 || !NumberOk(channel)) {
        return -1;
    }
    LogDebug("filemsg.lib : Write Bool=%d Channel(%d)", value, channel);
    BeginRequest(kCmdWriteChannel);
    NumberBoolWrite(&g_plc.request, channel, value);
    return Terminate();
}

int PlcWriteShort(int channel, int value) {
    if (channel <= 0 || !NumberOk(channel)) {
        return -1;
    }
    LogDebug("filemsg.lib : Write Short=%d Channel(%d)", value, channel);
    BeginRequest(kCmdWriteChannel);
    NumberShortWrite(&g_plc.request, channel, value);
    return Terminate();
}

int PlcWriteLong(int channel, int32_t value) {
    if (channel <= 0 || !NumberOk(channel)) {
        return -1;
    }
    LogDebug("filemsg.lib : Write Long=%d Channel(%d)", value, channel);
    BeginRequest(kCmdWriteChannel);
    NumberLongWrite(&g_plc.request, channel, value);
    return Terminate();
}

int PlcWriteFloat(int channel, float value) {
    if (channel <= 0 || !NumberOk(channel)) {
        return -1;
    }
    LogDebug("filemsg.lib : Write Float=%f Channel(%d)", static_cast<double>(value), channel);
    BeginRequest(kCmdWriteChannel);
    NumberIEEEWrite(&g_plc.request, channel, value);
    return Terminate();
}

int PlcWritePointValueShort(int n, int value) {
    if (n <= 0 || !NumberOk(n)) {
        return -1;
    }
    unsigned shown = static_cast<uint16_t>(value);
    LogDebug("filemsg.lib : Write short=%u 0x%04X PointValue(%d)", shown, shown, n);
    BeginRequest(kCmdWritePointValue);
    NumberShortWrite(&g_plc.request, n, value);
    return Terminate();
}

int PlcWritePointValueFloat(int n, float value) {
    if (n <= 0 || !NumberOk(n)) {
        return -1;
    }
    LogDebug("filemsg.lib : Write Float=%f PointValue(%d)", static_cast<double>(value), n);
    BeginRequest(kCmdWritePointValue);
    NumberIEEEWrite(&g_plc.request, n, value);
    return Terminate();
}

int PlcWritePulseBool(int channel) {
    if (channel <= 0 || !NumberOk(channel)) {
        return -1;
    }
    LogDebug("filemsg.lib : Write Pulse Channel(%d)", channel);
    BeginRequest(kCmdWriteChannel);
    NumberBoolWrite(&g_plc.request, channel, 1);
    NumberBoolWrite(&g_plc.request, channel, 0);
    NumberBoolWrite(&g_plc.request, channel, 1);
    return Terminate();
}

// ---------------------------------------------------------------- batches

int PlcBeginWriteChannel() {
    return BeginRequest(kCmdWriteChannel) ? 1 : 0;
}

int PlcBeginWritePointValue() {
    return BeginRequest(kCmdWritePointValue) ? 1 : 0;
}

int PlcBeginSend(int communication, int frame) {
    if (!BeginRequest(kCmdWriteFrame)) {
        return 0;
    }
    g_plc.batchOpen = SetPlcWrite(&g_plc.request, communication, frame) == 1;
    LogDebug("filemsg.lib : Write header Com(%d) Frame(%d) No(%d)", communication, frame,
             LastMessageNumber());
    return g_plc.batchOpen ? 1 : 0;
}

int PlcWriteMsgBool(int number, int value) {
    LogDebug("filemsg.lib : Write Bool(%d)=%d", number, value);
    if (!NumberOk(number) || !ItemFits(4)) {
        return 0;
    }
    return NumberBoolWrite(&g_plc.request, number, value);
}

int PlcWriteMsgShort(int number, int value) {
    LogDebug("filemsg.lib : Write Short(%d)=%d", number,
             static_cast<int>(static_cast<uint16_t>(value)));
    if (!NumberOk(number) || !ItemFits(5)) {
        return 0;
    }
    return NumberShortWrite(&g_plc.request, number, value);
}

int PlcWriteMsgLong(int number, int32_t value) {
    LogDebug("filemsg.lib : Write Long(%d)=%d", number, value);
    if (!NumberOk(number) || !ItemFits(7)) {
        return 0;
    }
    return NumberLongWrite(&g_plc.request, number, value);
}

int PlcWriteMsgFloat(int number, float value) {
    LogDebug("filemsg.lib : Write Float(%d)=%f", number, static_cast<double>(value));
    if (!NumberOk(number) || !ItemFits(7)) {
        return 0;
    }
    return NumberIEEEWrite(&g_plc.request, number, value);
}

int PlcTerminateSend() {
    return Terminate();
}

int PlcGetFree() {
    return g_plc.request.capacity - g_plc.request.position;
}

int PlcGetChannelType(int channel) {
    return GetChannelType(GetInfoChannelAddr(), channel);
}

// ---------------------------------------------------------------- send

int SendMsgPlcUtil() {
    g_plc.batchOpen = false;
    g_plc.message.type = kRequestMsgType;
    LogDebug("filemsg.lib : msg to chanmgr : size=%d / %d", g_plc.request.position,
             g_plc.request.capacity);
    if (msgsnd(g_plc.queueId, &g_plc.message, static_cast<size_t>(g_plc.request.position),
               IPC_NOWAIT) == 0) {
        if (g_plc.sendError) {
            StationLog(LOG_INFO, "filemsg.lib: msg sending Return to normalcy");
            g_plc.sendError = false;
        }
        return 0;
    }
    int error = errno;
    if (error == EAGAIN) {
        // chanmgr is behind: give it a moment, and drop this request.
        WaitMillisecond(kFullQueuePauseMs);
        return 0;
    }
    if (!g_plc.sendError) {
        StationLog(LOG_ERR, "filemsg.lib :msg sending error : %d", error);
        g_plc.sendError = true;
        return -1;
    }
    WaitMillisecond(kFullQueuePauseMs);
    return 0;
}
