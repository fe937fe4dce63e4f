#include "plcbridge.h"

#include <strings.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "channeldb.h"
#include "logdebug.h"
#include "plcutilities.h"
#include "serialcomm.h"
#include "stationlog.h"
#include "utilities.h"

namespace {

using cmdlink::kAnswerHead;
using cmdlink::kAnswerTail;
using plc::DataKind;
using plc::HookPhase;
using plc::Position;

constexpr const char* kTypes[] = {"RD", "WD", "RR", "WR", "RH", "WH", "WJ", "RJ",
                                  "WC", "RC", "WG", "RG", "XY", "RL", "WL", plcbridge::kTestType};

// plcbridge's per-frame value for the engine.
struct CommandFrame {
    int words = 0;  // 16-bit words of the command (Lng as configured)
};

bool Is(const char* name, const char* element) {
    return std::strcmp(name, element) == 0;
}

int IntOr(XmlAttributes attributes, const char* name, int fallback) {
    int value = fallback;
    XmlAttrInt(attributes, name, &value);
    return value;
}

bool KnownType(const char* type) {
    for (const char* known : kTypes) {
        if (std::strcmp(known, type) == 0) {
            return true;
        }
    }
    return false;
}

void ReadTrame(PlcConfigLoader* loader, XmlAttributes attributes) {
    PlcFrameConfig* frame = loader->frame;
    PlcbridgeFrame* own = frame->extension.As<PlcbridgeFrame>();
    *own = PlcbridgeFrame{};
    int no = frame->no;
    const char* type = XmlAttrFind(attributes, "Type");
    if (type == nullptr) {
        PlcConfigFatal(loader, "pas de type defini dans la trame No %d", no);
        return;
    }
    if (std::strlen(type) != 2) {
        PlcConfigFatal(loader, "lng type errone dans trame No %d", no);
        return;
    }
    if (!KnownType(type)) {
        PlcConfigFatal(loader, "%s : type invalide pour trame No %d", type, no);
        return;
    }
    std::memcpy(own->type, type, 3);
    if (Is(type, plcbridge::kTestType)) {
        own->test = true;
        own->testFlag = IntOr(attributes, "Test", 0);
        own->attenteInit = IntOr(attributes, "AttenteInit", plcbridge::kInitWaitDefaultMs);
        if (own->attenteInit < plcbridge::kInitWaitMinMs ||
            own->attenteInit > plcbridge::kInitWaitMaxMs) {
            PlcConfigFatal(loader, "Attente init. %d dans trame No %d doit etre entre %d et %d",
                           own->attenteInit, no, plcbridge::kInitWaitMinMs,
                           plcbridge::kInitWaitMaxMs);
            return;
        }
    } else {
        frame->write = type[0] == 'W';
        if (frame->lng < 1 || frame->lng > plcbridge::kMaxLng) {
            PlcConfigFatal(loader, "Lng %d dans trame No %d doit etre entre 1 et %d", frame->lng,
                           no, plcbridge::kMaxLng);
            return;
        }
        // Four decimal digits on the line: a longer address would shift the rest of the command
        // and reach another place of the PLC.
        if (frame->adr < 0 || frame->adr > cmdlink::kMaxField) {
            PlcConfigFatal(loader, "Adr %d dans trame No %d doit etre entre 0 et %d", frame->adr,
                           no, cmdlink::kMaxField);
            return;
        }
    }
    // Without a unit number the command would go to whichever PLC has the default one.
    if (XmlAttrInt(attributes, "Esc", &own->esc) != 0) {
        PlcConfigFatal(loader, "pas d'Esc defini dans la trame No %d", no);
        return;
    }
    if (own->esc < 0 || own->esc > cmdlink::kMaxUnit) {
        PlcConfigFatal(loader, "Esc %d dans trame No %d doit etre entre 0 et %d", own->esc, no,
                       cmdlink::kMaxUnit);
    }
}

Plcbridge* Driver(PlcScanContext* context) {
    return static_cast<Plcbridge*>(context->link);
}

uint16_t GetWord(const PlcFrameRuntime* f, int i) {
    uint16_t word;
    std::memcpy(&word, f->data.data() + 2 * i, 2);
    return word;
}
void SetWord(PlcFrameRuntime* f, int i, uint16_t word) {
    std::memcpy(f->data.data() + 2 * i, &word, 2);
}
void SetLong(PlcFrameRuntime* f, int i, uint32_t value) {
    std::memcpy(f->data.data() + 4 * i, &value, 4);
}

// The words read into the buffer, first word first. With Conversion 1 each pair makes one 32-bit
// value whose low half is the pair's first word, whatever BigEndianLong says: the word order is
// applied to the values written only (the engine's fill), and sites' tables count on that.
void StoreRead(PlcFrameRuntime* f, const uint16_t* words, int count) {
    int i = 0;
    if (f->kind == DataKind::kLongs) {
        for (; i + 1 < count; i += 2) {
            SetLong(f, i / 2, uint32_t{words[i]} | (uint32_t{words[i + 1]} << 16));
        }
    }
    for (; i < count; ++i) {
        SetWord(f, i, words[i]);
    }
}

int CommandExchange(PlcScanContext* c, PlcFrameRuntime* f) {
    CmdLink* link = &Driver(c)->link;
    const PlcbridgeFrame* own = f->config.extension.As<PlcbridgeFrame>();
    int words = f->driver.As<CommandFrame>()->words;
    char parameters[8 + 4 * plcbridge::kMaxLng + 1];
    int length = std::snprintf(parameters, sizeof parameters, "%04d", f->config.adr);
    int expected = kAnswerHead + kAnswerTail;
    if (f->config.write) {
        for (int i = 0; i < words; ++i) {
            length += std::snprintf(parameters + length, sizeof parameters - length, "%04X",
                                    static_cast<unsigned>(GetWord(f, i)));
        }
    } else {
        std::snprintf(parameters + length, sizeof parameters - length, "%04d", words);
        expected += 4 * words;
    }
    if (CmdLinkSetCommand(link, own->esc, own->type, parameters, expected) != 0) {
        return 0;
    }
    if (CmdLinkTransact(link) != 1) {
        return 0;
    }
    // An end code other than 00 carries no data: the PLC did not do what was asked.
    if (link->endCode != 0) {
        return 0;
    }
    if (!f->config.write) {
        uint16_t read[plcbridge::kMaxLng];
        if (PlcbridgeParseWords(link->answer, link->answerLength, words, read) != 0) {
            PlcTrace(c, "Answer of %d characters for %d words\n", link->answerLength, words);
            return 0;
        }
        StoreRead(f, read, words);
    }
    return 1;
}

int TestExchange(PlcScanContext* c, PlcFrameRuntime* f) {
    const PlcbridgeFrame* own = f->config.extension.As<PlcbridgeFrame>();
    return CmdLinkTest(&Driver(c)->link, own->esc, own->testFlag, own->attenteInit);
}

// Bits packed sixteen to a word, the first bit of a word its least significant one.
void FillPackedBits(PlcScanContext* c, PlcFrameRuntime* f) {
    std::fill(f->data.begin(), f->data.end(), 0);
    int words = static_cast<int>(f->data.size()) / 2;
    int bits = 16 * f->config.lng;
    if (bits > 16 * words) {
        bits = 16 * words;
    }
    if (f->config.voie >= 1) {
        for (int i = 0; i < bits; ++i) {
            int channel = f->config.voie + i;
            int value = PlcReadBool(channel) == 1 ? 1 : 0;
            PlcTrace(c, "Channel No %d --> %d\n", channel, value);
            if (value == 1) {
                SetWord(f, i / 16, static_cast<uint16_t>(GetWord(f, i / 16) | (1u << (i % 16))));
            }
            if (i % 16 == 15) {
                uint16_t word = GetWord(f, i / 16);
                PlcTrace(c, "Donnee [%d]=%d,$%04X\n", i / 16 + 1, word, word);
            }
        }
    }
    for (const PlcChannelMapping& m : f->mappings) {
        if (m.index < 1 || m.index > bits) {
            StationLog(LOG_ERR, "Frame No %d NoData(%d) > Lng(%d", f->config.no, m.index,
                       f->config.lng);
            break;
        }
        int value = PlcReadBool(m.channel);
        PlcTrace(c, "Channel No %d --> Digital(%d)=%d \n", m.channel, m.index, value);
        if (value == 1) {
            int i = m.index - 1;
            SetWord(f, i / 16, static_cast<uint16_t>(GetWord(f, i / 16) | (1u << (i % 16))));
        }
    }
}

// Intertrame and Intercycle take no time: the line paces the scan.
void NoWait(PlcScanContext*, int) {}

void AfterCycle(PlcScanContext* c) {
    Plcbridge* driver = Driver(c);
    if (driver->link.sends == driver->sendsAtCycle) {
        PlcTrace(c, "Waiting (%d ms)\n", plcbridge::kIdleCycleMs);
        WaitMillisecond(plcbridge::kIdleCycleMs);
    }
    driver->sendsAtCycle = driver->link.sends;
}

Plcbridge& ProcessDriver() {
    static Plcbridge driver;
    return driver;
}

int LinkInit(PlcScanContext* c, const PlcConfig* config) {
    if (c->link == nullptr) {
        c->link = &ProcessDriver();
    }
    Plcbridge* driver = Driver(c);
    CmdLink* link = &driver->link;
    const PlcComConfig& com = config->com;
    if (CmdLinkOpen(link, com.port, com.baud, com.format[1], com.format[0] - '0',
                    com.format[2] - '0') != 0) {
        const char* device = SerialPortName(com.port);
        PlcRefuse(c, "erreur d'ouverture du port serie %s : %d", device != nullptr ? device : "",
                  errno);
        return -1;
    }
    link->timeout = PlcbridgeTimeoutSeconds(com.timeout);
    link->pause = com.pause;
    link->attempts = com.nbIter;
    LogDebug("timeout=%d s Pause=%d ms", link->timeout, link->pause);
    driver->sendsAtCycle = link->sends;
    c->trace = &link->trace;
    c->fd = link->line.fd;
    c->wait = NoWait;
    c->statistics = AfterCycle;
    return 0;
}

int FrameInit(PlcScanContext*, PlcFrameRuntime* f) {
    const PlcbridgeFrame* own = f->config.extension.As<PlcbridgeFrame>();
    if (own->test) {
        f->exchange = TestExchange;
        f->size = 0;
        return 0;
    }
    f->exchange = CommandExchange;
    int words = f->config.lng;
    f->driver.As<CommandFrame>()->words = words;
    f->size = 2 * words;
    if (f->config.conversion == 1) {
        f->kind = DataKind::kLongs;
        f->config.lng = words / 2;
    } else {
        f->kind = DataKind::kWords;
    }
    return 0;
}

int ExtraFrameInit(PlcScanContext*, PlcFrameRuntime* f) {
    const PlcbridgeFrame* own = f->config.extension.As<PlcbridgeFrame>();
    f->exchange = own->test ? TestExchange : CommandExchange;
    const std::vector<PlcDataItem>& items = f->config.items;
    if (f->config.write && f->kind == DataKind::kWords && !items.empty() &&
        items.back().kind == plc::ItemKind::kBit) {
        f->fill = FillPackedBits;
        LogDebug("Trame No %d : chang. traitement", f->config.no);
    }
    return 0;
}

}  // namespace

const PlcDriverHooks kPlcbridgeHooks{LinkInit, FrameInit, ExtraFrameInit};

void PlcbridgeHook(PlcConfigLoader* loader, const char* element, XmlAttributes attributes) {
    if (loader->phase != HookPhase::kAfter) {
        return;
    }
    if (loader->position == Position::kCom && Is(element, "COM")) {
        const char* type = XmlAttrFind(attributes, "Type");
        if (type != nullptr && strcasecmp(type, plcbridge::kDriverName) == 0) {
            loader->config->com.pause = IntOr(attributes, "Pause", plcbridge::kPauseDefaultMs);
        }
        return;
    }
    if (loader->position == Position::kTrame && Is(element, "TRAME") && loader->frame != nullptr) {
        ReadTrame(loader, attributes);
    }
}

int PlcbridgeTimeoutSeconds(int milliseconds) {
    if (milliseconds < 1000 * plcbridge::kMinTimeoutSeconds) {
        return plcbridge::kMinTimeoutSeconds;
    }
    return milliseconds / 1000 + (milliseconds % 1000 != 0 ? 1 : 0);
}

int PlcbridgeRefreshInit(PlcScanContext* context, const PlcConfig* config, Plcbridge* driver) {
    context->link = driver;
    return PlcRefreshInit(context, config, &kPlcbridgeHooks);
}

int PlcbridgeParseWords(const char* answer, int length, int count, uint16_t* words) {
    if (answer == nullptr || words == nullptr || count < 0 || count > plcbridge::kMaxLng ||
        length != kAnswerHead + 4 * count + kAnswerTail) {
        return -1;
    }
    uint16_t parsed[plcbridge::kMaxLng];
    for (int i = 0; i < count; ++i) {
        unsigned word = 0;
        for (int k = 0; k < 4; ++k) {
            char ch = answer[kAnswerHead + 4 * i + k];
            int digit = ch >= '0' && ch <= '9'   ? ch - '0'
                        : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                        : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                                                 : -1;
            if (digit < 0) {
                return -1;
            }
            word = word * 16 + static_cast<unsigned>(digit);
        }
        parsed[i] = static_cast<uint16_t>(word);
    }
    std::memcpy(words, parsed, sizeof parsed[0] * static_cast<size_t>(count));
    return 0;
}
