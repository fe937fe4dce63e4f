// The scan engine of the PLC drivers: from the frame table it builds one runtime per frame, then
// cycles through them, deciding whether each is due (enable, trigger, change of data), letting
// the driver exchange it with the PLC, and moving its data between its buffer and the channels.
// The protocol is the driver's: it plugs in through PlcDriverHooks and the per-frame functions.
#pragma once

#include <cstdint>
#include <vector>

#include "serialdebug.h"
#include "xmlplc.h"

namespace plc {

// Data kind of a frame's buffer. The buffer holds 16-bit words, 32-bit values and reals in the
// host's order; drivers convert to and from the line's order.
enum class DataKind : int { kBits = 0, kWords = 1, kLongs = 2, kReals = 3 };

// A message to chanmgr is closed once fewer bytes than this are free in it.
inline constexpr int kMinFreeForItem = 20;

}  // namespace plc

struct PlcScanContext;
struct PlcFrameRuntime;

using PlcWaitFunction = void (*)(PlcScanContext* context, int milliseconds);
using PlcStatisticsFunction = void (*)(PlcScanContext* context);
// Fill (write frames: channels into the buffer) and store (read frames: buffer to chanmgr).
using PlcDataFunction = void (*)(PlcScanContext* context, PlcFrameRuntime* frame);
// The driver's exchange of one frame: 1 success (for a read frame the answer is in the buffer),
// 0 failure.
using PlcExchangeFunction = int (*)(PlcScanContext* context, PlcFrameRuntime* frame);
// The driver's request builder and answer decoder, for its exchange to use: the number of bytes
// built or used, -1 when the request cannot be built or the answer is refused.
using PlcRequestFunction = int (*)(PlcScanContext* context, PlcFrameRuntime* frame,
                                   unsigned char* request, int capacity);
using PlcAnswerFunction = int (*)(PlcScanContext* context, PlcFrameRuntime* frame,
                                  const unsigned char* answer, int length);

// A frame mapping of a write frame: the channel that feeds data index `index` (from 1).
struct PlcChannelMapping {
    int channel = 0;
    int index = 0;
};

struct PlcFrameRuntime {
    // The frame's settings; the driver's frame init may adjust them for the engine (Lng).
    PlcFrameConfig config;
    std::vector<PlcChannelMapping> mappings;  // write frames, file order
    int failures = 0;
    std::vector<unsigned char> data;       // the frame's data, sized by the driver
    std::vector<unsigned char> reference;  // write frames: the data of the last good exchange
    int size = 0;                          // data size in bytes, set by frame init
    plc::DataKind kind = plc::DataKind::kBits;
    PlcDataFunction fill = nullptr;
    PlcDataFunction store = nullptr;
    PlcExchangeFunction exchange = nullptr;
    PlcRequestFunction request = nullptr;
    PlcAnswerFunction answer = nullptr;
    plc::Extension<32> driver;  // the driver's per-frame values
};

struct PlcScanContext {
    int communication = 0;
    SerialDebug* trace = nullptr;  // the line's debug trace, set by the driver (may stay null)
    int fd = -1;                   // the line, set by the driver
    int linkEtat = 0;
    int linkTrameOk = 0;
    int nbIter = 1;
    int timeout = 0;
    int pause = 0;
    int silence = 0;
    int intertrame = 0;
    int intercycle = 0;
    int nbDef = 1;
    std::vector<PlcFrameRuntime> frames;  // file order
    int linkFailures = 0;
    PlcFrameRuntime* current = nullptr;  // the frame being handled
    int cycle = 0;                       // number of the cycle running (from 1)
    PlcWaitFunction wait = nullptr;
    PlcStatisticsFunction statistics = nullptr;
    void* link = nullptr;  // the driver's link record
    // Why a hook gave -1, as it logged it (PlcRefuse); the status file says it when the driver
    // gives up.
    char refusal[128] = {};
};

// What a driver gives the engine. Each may be null. They give 0, or -1 when the driver cannot go
// on (they log why, and tell it with PlcRefuse).
struct PlcDriverHooks {
    // Opens the line; sets trace, fd, and optionally wait, statistics and link.
    int (*linkInit)(PlcScanContext* context, const PlcConfig* config) = nullptr;
    // Sets the frame's exchange, request and answer functions, size and kind.
    int (*frameInit)(PlcScanContext* context, PlcFrameRuntime* frame) = nullptr;
    // The last word on the frame, once the engine has chosen its functions.
    int (*extraFrameInit)(PlcScanContext* context, PlcFrameRuntime* frame) = nullptr;
};

// Builds the scan context in *context from the configuration (copied) and the driver's hooks.
// 0, or -1 when a hook gave -1 (the context is then only fit to be dropped). Its buffers come
// from the heap (std::bad_alloc when there is none left).
int PlcRefreshInit(PlcScanContext* context, const PlcConfig* config, const PlcDriverHooks* hooks);
// One cycle over every frame, then the inter-cycle wait and the statistics. Allocates nothing.
// The channel database and chanmgr's queue must be attached (PlcInitMsg).
void PlcRefreshCycle(PlcScanContext* context);

// The driver's calls: the context is made once for the process (allocation failures and a hook
// that gives -1 end the process; for the hook, after the status file was given the degraded
// verdict with the hook's refusal at the COM's line), and the scan runs until the process ends.
PlcScanContext* PlcRefreshCreate(const PlcConfig* config, const PlcDriverHooks* hooks);
[[noreturn]] void PlcRefreshRun(PlcScanContext* context);

// The engine's own functions, for drivers that replace or wrap them.
void PlcDefaultWait(PlcScanContext* context, int milliseconds);
// For a hook about to give -1: keeps why (the text it logged) for the status file.
void PlcRefuse(PlcScanContext* context, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// Writes the text to the context's trace (nothing without one).
void PlcTrace(PlcScanContext* context, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
