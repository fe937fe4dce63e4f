#include "refreshplc.h"

#include <syslog.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "channeldb.h"
#include "logdebug.h"
#include "plcutilities.h"
#include "stationlog.h"
#include "utilities.h"

namespace {

using plc::DataKind;
using plc::ItemKind;

// Buffer access by unit: the buffer has no alignment promise beyond its bytes.
uint16_t GetWord(const PlcFrameRuntime* f, int i) {
    uint16_t word;
    std::memcpy(&word, f->data.data() + 2 * i, 2);
    return word;
}
void SetWord(PlcFrameRuntime* f, int i, uint16_t word) {
    std::memcpy(f->data.data() + 2 * i, &word, 2);
}
uint32_t GetLong(const PlcFrameRuntime* f, int i) {
    uint32_t value;
    std::memcpy(&value, f->data.data() + 4 * i, 4);
    return value;
}
void SetLong(PlcFrameRuntime* f, int i, uint32_t value) {
    std::memcpy(f->data.data() + 4 * i, &value, 4);
}
float GetReal(const PlcFrameRuntime* f, int i) {
    float value;
    std::memcpy(&value, f->data.data() + 4 * i, 4);
    return value;
}
void SetReal(PlcFrameRuntime* f, int i, float value) {
    std::memcpy(f->data.data() + 4 * i, &value, 4);
}

// Units of the frame's kind that its buffer holds.
int Capacity(const PlcFrameRuntime* f) {
    int bytes = static_cast<int>(f->data.size());
    switch (f->kind) {
        case DataKind::kBits:
            return bytes * 8;
        case DataKind::kWords:
            return bytes / 2;
        case DataKind::kLongs:
        case DataKind::kReals:
            return bytes / 4;
    }
    return 0;
}

// Units the channels are read into or the values are sent from: Lng, within the buffer.
int Count(const PlcFrameRuntime* f) {
    return std::clamp(f->config.lng, 0, Capacity(f));
}

// A mapping beyond the frame's data ends the mapping pass.
bool MappingFits(const PlcFrameRuntime* f, const PlcChannelMapping& m) {
    if (m.index < 1 || m.index > f->config.lng || m.index > Capacity(f)) {
        StationLog(LOG_ERR, "divers.lib : Frame No %d NoData(%d) > Lng(%d", f->config.no, m.index,
                   f->config.lng);
        return false;
    }
    return true;
}

// --- fill: channels into the buffer of a write frame -------------------------------------------

void FillBits(PlcScanContext* c, PlcFrameRuntime* f) {
    PlcTrace(c, "\n");
    std::fill(f->data.begin(), f->data.end(), 0);
    int count = Count(f);
    if (f->config.voie >= 1) {
        for (int i = 0; i < count; ++i) {
            if (PlcReadBool(f->config.voie + i) == 1) {
                f->data[i / 8] |= static_cast<unsigned char>(1u << (i % 8));
            }
        }
    }
    for (const PlcChannelMapping& m : f->mappings) {
        if (!MappingFits(f, m)) {
            break;
        }
        int value = PlcReadBool(m.channel);
        if (value == 1) {
            int i = m.index - 1;
            f->data[i / 8] |= static_cast<unsigned char>(1u << (i % 8));
        }
        PlcTrace(c, "Channel No %d --> Digital(%d)=%d \n", m.channel, m.index, value);
    }
}

void FillWords(PlcScanContext* c, PlcFrameRuntime* f) {
    PlcTrace(c, "\n");
    int count = Count(f);
    if (f->config.consigneE >= 1) {
        for (int i = 0; i < count; ++i) {
            SetWord(f, i, PlcReadPointValueShort(f->config.consigneE + i));
        }
    }
    if (f->config.voie >= 1) {
        for (int i = 0; i < count; ++i) {
            SetWord(f, i, static_cast<uint16_t>(PlcReadShort(f->config.voie + i)));
        }
    }
    for (const PlcChannelMapping& m : f->mappings) {
        if (!MappingFits(f, m)) {
            break;
        }
        int value = PlcReadShort(m.channel);
        SetWord(f, m.index - 1, static_cast<uint16_t>(value));
        PlcTrace(c, "Channel No %d --> Analog(%d)=%d $%04X\n", m.channel, m.index, value,
                 static_cast<unsigned>(value) & 0xFFFFu);
    }
}

// A 32-bit value as the frame sends it: with Conversion 1, in the frame's word order (the first
// 16-bit word is the most significant one for BigEndianLong 1); otherwise as read.
void PutLong(PlcFrameRuntime* f, int i, uint32_t value) {
    if (f->config.conversion != 1) {
        SetLong(f, i, value);
        return;
    }
    uint16_t high = static_cast<uint16_t>(value >> 16);
    uint16_t low = static_cast<uint16_t>(value);
    bool bigEndian = f->config.bigEndianLong == 1;
    SetWord(f, 2 * i, bigEndian ? high : low);
    SetWord(f, 2 * i + 1, bigEndian ? low : high);
}

void FillLongs(PlcScanContext* c, PlcFrameRuntime* f) {
    PlcTrace(c, "\n");
    int count = Count(f);
    if (f->config.voie >= 1) {
        for (int i = 0; i < count; ++i) {
            PutLong(f, i, static_cast<uint32_t>(PlcReadLong(f->config.voie + i)));
        }
    }
    for (const PlcChannelMapping& m : f->mappings) {
        if (!MappingFits(f, m)) {
            break;
        }
        int32_t value = PlcReadLong(m.channel);
        PutLong(f, m.index - 1, static_cast<uint32_t>(value));
        PlcTrace(c, "Channel No %d --> Counter(%d)=%d $%08X\n", m.channel, m.index, value,
                 static_cast<uint32_t>(value));
    }
}

void FillReals(PlcScanContext* c, PlcFrameRuntime* f) {
    PlcTrace(c, "\n");
    int count = Count(f);
    if (f->config.consigneR >= 1) {
        for (int i = 0; i < count; ++i) {
            SetReal(f, i, PlcReadPointValueFloat(f->config.consigneR + i));
        }
    }
    if (f->config.voie >= 1) {
        for (int i = 0; i < count; ++i) {
            SetReal(f, i, PlcReadFloat(f->config.voie + i));
        }
    }
    for (const PlcChannelMapping& m : f->mappings) {
        if (!MappingFits(f, m)) {
            break;
        }
        float value = PlcReadFloat(m.channel);
        SetReal(f, m.index - 1, value);
        PlcTrace(c, "Channel No %d --> Real(%d)=%f\n", m.channel, m.index,
                 static_cast<double>(value));
    }
}

// --- store: the buffer of a read frame to chanmgr ----------------------------------------------

// The frame's values in as many messages as it takes: a message is closed once fewer than
// kMinFreeForItem bytes are free, and the next one carries on.
class FrameMessage {
  public:
    explicit FrameMessage(PlcScanContext* c, const PlcFrameRuntime* f) : c_(c), f_(f) {}
    // After each value but the last.
    void Next() {
        if (PlcGetFree() < plc::kMinFreeForItem) {
            Close();
        }
    }
    void Begin() {
        if (!open_) {
            PlcBeginSend(c_->communication, f_->config.no);
            open_ = true;
        }
    }
    void Close() {
        if (open_) {
            int free = PlcGetFree();
            PlcTerminateSend();
            LogDebug("Send Msg to chanmgr Frame(%d) Free=%d", f_->config.no, free);
            open_ = false;
        }
    }

  private:
    PlcScanContext* c_;
    const PlcFrameRuntime* f_;
    bool open_ = false;
};

void StoreNothing(PlcScanContext*, PlcFrameRuntime*) {
    LogDebug("no write data");
}

template <typename Send>
void StoreEach(PlcScanContext* c, PlcFrameRuntime* f, Send send) {
    int count = Count(f);
    FrameMessage message(c, f);
    for (int i = 0; i < count; ++i) {
        message.Begin();
        send(i);
        message.Next();
    }
    message.Close();
}

void StoreBits(PlcScanContext* c, PlcFrameRuntime* f) {
    StoreEach(c, f, [f](int i) { PlcWriteMsgBool(i + 1, (f->data[i / 8] >> (i % 8)) & 1); });
}

void StoreWords(PlcScanContext* c, PlcFrameRuntime* f) {
    StoreEach(c, f, [f](int i) { PlcWriteMsgShort(i + 1, static_cast<int16_t>(GetWord(f, i))); });
}

void StoreLongs(PlcScanContext* c, PlcFrameRuntime* f) {
    StoreEach(c, f, [f](int i) { PlcWriteMsgLong(i + 1, static_cast<int32_t>(GetLong(f, i))); });
}

void StoreReals(PlcScanContext* c, PlcFrameRuntime* f) {
    StoreEach(c, f, [f](int i) { PlcWriteMsgFloat(i + 1, GetReal(f, i)); });
}

// Items are sent from the last one of the TRAME to the first.
template <typename Send>
void StoreItems(PlcScanContext* c, PlcFrameRuntime* f, Send send) {
    FrameMessage message(c, f);
    const std::vector<PlcDataItem>& items = f->config.items;
    for (auto item = items.rbegin(); item != items.rend(); ++item) {
        message.Begin();
        send(*item);
        message.Next();
    }
    message.Close();
}

void StoreWordItems(PlcScanContext* c, PlcFrameRuntime* f) {
    StoreItems(c, f, [c, f](const PlcDataItem& item) {
        uint16_t w = GetWord(f, item.word - 1);
        switch (item.kind) {
            case ItemKind::kBit: {
                int bit = static_cast<int>((static_cast<uint32_t>(w) >> (item.bit - 1)) & 1u);
                PlcWriteMsgBool(item.no, bit);
                PlcTrace(c, "Data No %d Digital=%d\n", item.no, bit);
                break;
            }
            case ItemKind::kAna:
                PlcWriteMsgShort(item.no, w);
                PlcTrace(c, "Data No %d Analog=%d $%04X\n", item.no, w, w);
                break;
            case ItemKind::kCpt: {
                uint32_t first = w;
                uint32_t second = GetWord(f, item.word);
                uint32_t value =
                    f->config.bigEndianLong == 1 ? (first << 16) | second : (second << 16) | first;
                PlcWriteMsgLong(item.no, static_cast<int32_t>(value));
                PlcTrace(c, "Data No %d Counter=%u $%08X\n", item.no, value, value);
                break;
            }
        }
    });
}

void StoreLongItems(PlcScanContext* c, PlcFrameRuntime* f) {
    StoreItems(c, f, [c, f](const PlcDataItem& item) {
        const unsigned char* u = f->data.data() + 4 * (item.word - 1);
        switch (item.kind) {
            case ItemKind::kBit: {
                uint32_t little = u[0] | (u[1] << 8) | (u[2] << 16) | (uint32_t{u[3]} << 24);
                int bit = static_cast<int>((little >> (item.bit - 1)) & 1u);
                PlcWriteMsgBool(item.no, bit);
                PlcTrace(c, "Data No %d Digital=%d\n", item.no, bit);
                break;
            }
            case ItemKind::kAna: {
                int w = (u[0] << 8) | u[1];
                PlcWriteMsgShort(item.no, w);
                PlcTrace(c, "Data No %d Analog=%d $%04X\n", item.no, w, w);
                break;
            }
            case ItemKind::kCpt: {
                uint32_t value = (uint32_t{u[0]} << 24) | (u[1] << 16) | (u[2] << 8) | u[3];
                PlcWriteMsgLong(item.no, static_cast<int32_t>(value));
                PlcTrace(c, "Data No %d Counter=%d $%08X\n", item.no, static_cast<int32_t>(value),
                         value);
                break;
            }
        }
    });
}

// Items whose data lie outside the buffer the driver sized are left out once, here, rather than
// read past the buffer at every cycle.
void DropItemsOutside(PlcFrameRuntime* f) {
    int units = f->kind == DataKind::kWords ? static_cast<int>(f->data.size()) / 2
                                            : static_cast<int>(f->data.size()) / 4;
    std::erase_if(f->config.items, [&](const PlcDataItem& item) {
        int last = item.word + (f->kind == DataKind::kWords && item.kind == ItemKind::kCpt);
        if (last <= units) {
            return false;
        }
        StationLog(LOG_ERR, "divers.lib : Frame No %d data No %d at %d outside the frame (%d)",
                   f->config.no, item.no, item.word, units);
        return true;
    });
}

void ChooseFunctions(PlcScanContext* c, const PlcConfig* config, PlcFrameRuntime* f) {
    const PlcFrameConfig& fc = f->config;
    if (fc.write) {
        f->reference.assign(f->data.size(), 0);
        LogDebug("size of ref data=%d Modif=%d ChannelSrc=%d Pointvaleur(Int=%d,Real=%d)",
                 static_cast<int>(f->reference.size()), fc.modification, fc.voie, fc.consigneE,
                 fc.consigneR);
        for (const PlcChannelTarget& t : config->targets) {
            if (t.communication == c->communication && t.frame == fc.no) {
                f->mappings.push_back({t.channel, t.index});
                LogDebug("Channel(%d) -> Frame(%d,%d)", t.channel, fc.no, t.index);
            }
        }
        static constexpr PlcDataFunction kFill[] = {FillBits, FillWords, FillLongs, FillReals};
        f->fill = kFill[static_cast<int>(f->kind)];
        return;
    }
    bool items = !fc.items.empty();
    switch (f->kind) {
        case DataKind::kBits:
            f->store = StoreBits;
            break;
        case DataKind::kWords:
            f->store = items ? StoreWordItems : StoreWords;
            break;
        case DataKind::kLongs:
            f->store = items ? StoreLongItems : StoreLongs;
            break;
        case DataKind::kReals:
            f->store = StoreReals;
            break;
    }
    if (items && (f->kind == DataKind::kWords || f->kind == DataKind::kLongs)) {
        DropItemsOutside(f);
    }
}

void WriteEtat(int channel, int value) {
    PlcWriteBool(channel, value);  // ignores channels below 1
}

void Pulse(int channel) {
    if (channel >= 1) {
        PlcWriteBool(channel, 1);
        PlcWriteBool(channel, 0);
        PlcWriteBool(channel, 1);
    }
}

void Wait(PlcScanContext* c, int milliseconds) {
    (c->wait != nullptr ? c->wait : PlcDefaultWait)(c, milliseconds);
}

// A failure counter after a failed exchange: 0 shows on the state channel once it runs out.
void CountFailure(int* failures, int etat) {
    if (*failures > 0) {
        --*failures;
    }
    if (*failures < 1) {
        WriteEtat(etat, 0);
    }
}

// One frame of the cycle. false when the frame was not due (no exchange, no wait).
bool HandleFrame(PlcScanContext* c, PlcFrameRuntime* f) {
    const PlcFrameConfig& fc = f->config;
    c->current = f;
    PlcTrace(c, "Frame No %d ", fc.no);
    if (fc.active >= 1 && PlcReadBool(fc.active) == 0) {
        PlcTrace(c, "Waiting of channel(%d)\n", fc.active);
        WriteEtat(fc.etat, 0);
        return false;
    }
    if (fc.declencheur >= 1 && PlcReadBool(fc.declencheur) == 0) {
        PlcTrace(c, "waiting of release on channel(%d)\n", fc.declencheur);
        WriteEtat(fc.etat, 0);
        return false;
    }
    if (fc.write) {
        if (f->fill != nullptr) {
            f->fill(c, f);
        }
        if (fc.modification != 0 && f->data == f->reference) {
            PlcTrace(c, "waiting of a modification ");
            WriteEtat(fc.etat, 0);
            return false;
        }
    }
    PlcTrace(c, "\n");
    bool good = f->exchange != nullptr && f->exchange(c, f) == 1;
    if (good) {
        if (f->store != nullptr) {
            f->store(c, f);
        }
        f->failures = c->nbDef;
        c->linkFailures = c->nbDef;
        WriteEtat(fc.etat, 1);
        WriteEtat(c->linkEtat, 1);
        WriteEtat(fc.declencheur, 0);  // the trigger is consumed
        Pulse(c->linkTrameOk);
        Pulse(fc.trameOk);
        if (fc.write && fc.modification != 0) {
            std::copy(f->data.begin(), f->data.end(), f->reference.begin());
        }
    } else {
        PlcTrace(c, "Frame KO\n");
        CountFailure(&f->failures, fc.etat);
        CountFailure(&c->linkFailures, c->linkEtat);
    }
    Wait(c, c->intertrame);
    return true;
}

}  // namespace

void PlcTrace(PlcScanContext* context, const char* format, ...) {
    if (context->trace == nullptr || context->trace->segment == nullptr) {
        return;
    }
    if (std::strchr(format, '%') == nullptr) {
        WriteStrToSerialDebug(context->trace, format);  // nothing to format
        return;
    }
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    WriteStrToSerialDebug(context->trace, text);
}

void PlcRefuse(PlcScanContext* context, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(context->refusal, sizeof context->refusal, format, args);
    va_end(args);
}

void PlcDefaultWait(PlcScanContext* context, int milliseconds) {
    if (milliseconds <= 0) {
        return;
    }
    PlcTrace(context, "Waiting (%d ms)\n", milliseconds);
    WaitMillisecond(milliseconds);
}

int PlcRefreshInit(PlcScanContext* c, const PlcConfig* config, const PlcDriverHooks* hooks) {
    static const PlcDriverHooks kNone;
    if (hooks == nullptr) {
        hooks = &kNone;
    }
    const PlcComConfig& com = config->com;
    c->communication = com.no;
    c->linkEtat = com.etat;
    c->linkTrameOk = com.trameOk;
    c->nbIter = com.nbIter;
    c->timeout = com.timeout;
    c->pause = com.pause;
    c->silence = com.silence;
    c->intertrame = com.intertrame;
    c->intercycle = com.intercycle;
    c->nbDef = com.nbDef;
    c->linkFailures = 0;
    c->cycle = 0;
    c->refusal[0] = '\0';
    c->wait = PlcDefaultWait;
    LogDebug("Timeout=%d Pause=%d Interframe=%d Intercycle=%d", c->timeout, c->pause, c->intertrame,
             c->intercycle);
    if (hooks->linkInit != nullptr && hooks->linkInit(c, config) != 0) {
        return -1;
    }
    c->frames.clear();
    c->frames.reserve(config->frames.size());
    for (const PlcFrameConfig& fc : config->frames) {
        PlcFrameRuntime& f = c->frames.emplace_back();
        f.config = fc;
        f.store = StoreNothing;
        LogDebug(
            "Frame No=%d Addr=%d Lng=%d ChannelActive=%d ChannelTrigger=%d ChannelState=%d "
            "ChannelPulse=%d BigEndianLong=%d",
            fc.no, fc.adr, fc.lng, fc.active, fc.declencheur, fc.etat, fc.trameOk,
            fc.bigEndianLong);
        if (hooks->frameInit != nullptr && hooks->frameInit(c, &f) != 0) {
            return -1;
        }
        if (f.size > 0) {
            f.data.assign(static_cast<size_t>(f.size), 0);
            LogDebug("size of data=%d", f.size);
        }
        if (static_cast<int>(f.kind) < 0 || static_cast<int>(f.kind) > 3) {
            f.kind = DataKind::kBits;
        }
        ChooseFunctions(c, config, &f);
        if (hooks->extraFrameInit != nullptr && hooks->extraFrameInit(c, &f) != 0) {
            return -1;
        }
    }
    c->current = nullptr;
    return 0;
}

void PlcRefreshCycle(PlcScanContext* c) {
    c->cycle = c->cycle == std::numeric_limits<int>::max() ? 1 : c->cycle + 1;
    PlcTrace(c, "Cycle No %d\n", c->cycle);
    for (PlcFrameRuntime& f : c->frames) {
        HandleFrame(c, &f);
    }
    Wait(c, c->intercycle);
    if (c->statistics != nullptr) {
        c->statistics(c);
    }
}

PlcScanContext* PlcRefreshCreate(const PlcConfig* config, const PlcDriverHooks* hooks) {
    PlcScanContext* context = new (std::nothrow) PlcScanContext;
    CriticalAssert(context != nullptr, "erreur allocation", __FILE__, __LINE__);
    int result = -1;
    try {
        result = PlcRefreshInit(context, config, hooks);
    } catch (const std::bad_alloc&) {
        CriticalAssert(false, "erreur allocation", __FILE__, __LINE__);
    }
    if (result != 0) {
        // The status file said "** Mode Normal **" of the table: it now says why it is not run.
        PlcConfigRefuse(
            config, "%s",
            context->refusal[0] != '\0' ? context->refusal : "driver initialisation refused");
        StationLog(LOG_CRIT, "driver initialisation refused");
        std::abort();
    }
    return context;
}

void PlcRefreshRun(PlcScanContext* context) {
    PlcInitMsg();
    for (;;) {
        PlcRefreshCycle(context);
    }
}
