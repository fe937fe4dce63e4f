#include "xmlplc.h"

#include <strings.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "clock.h"
#include "driverconfig.h"
#include "logdebug.h"
#include "serialcomm.h"
#include "stationlog.h"

namespace {

using plc::HookPhase;
using plc::ItemKind;
using plc::Position;

struct Preset {
    const char* driver;
    int baud;
    int silence;
    int timeout;
    const char* format;
};

constexpr Preset kPresets[] = {
    {"busbridge", 9600, 100, 5000, "8O1"},
    {"plcbridge", 9600, 100, 5000, "7E2"},
};

constexpr int kBauds[] = {75, 150, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 115200};

bool Is(const char* name, const char* element) {
    return std::strcmp(name, element) == 0;
}

void CallHook(PlcConfigLoader* loader, HookPhase phase, const char* element,
              XmlAttributes attributes) {
    if (loader->hook == nullptr || loader->fatal) {
        return;
    }
    loader->phase = phase;
    int before = XmlErrorCount();
    loader->hook(loader, element, attributes);
    if (!loader->fatal) {
        loader->hookErrors += XmlErrorCount() - before;
    }
}

// An integer attribute, or the value it had.
int IntOr(XmlAttributes attributes, const char* name, int fallback) {
    int value = fallback;
    XmlAttrInt(attributes, name, &value);
    return value;
}

void ApplyPreset(PlcComConfig* com, const char* driver) {
    for (const Preset& preset : kPresets) {
        if (strcasecmp(preset.driver, driver) == 0) {
            com->baud = preset.baud;
            com->silence = preset.silence;
            com->timeout = preset.timeout;
            std::snprintf(com->format, sizeof com->format, "%s", preset.format);
        }
    }
}

// A COM meant for this driver that no COM before it took.
bool ComForUs(const PlcConfigLoader* loader, XmlAttributes attributes) {
    const char* type = XmlAttrFind(attributes, "Type");
    return type != nullptr && strcasecmp(type, loader->driverName) == 0;
}

void ReadLine(PlcConfigLoader* loader, XmlAttributes attributes) {
    PlcComConfig& com = loader->config->com;
    if (const char* format = XmlAttrFind(attributes, "Format"); format != nullptr) {
        std::snprintf(com.format, sizeof com.format, "%s", format);
    }
    if (com.format[0] != '7' && com.format[0] != '8') {
        PlcConfigFatal(loader, "error on data length");
        return;
    }
    if (std::strchr("NEO", com.format[1]) == nullptr || com.format[1] == '\0') {
        PlcConfigFatal(loader, "error on parity bit");
        return;
    }
    if (com.format[2] != '1' && com.format[2] != '2') {
        PlcConfigFatal(loader, "error on stop bit");
        return;
    }
    com.baud = IntOr(attributes, "Baud", com.baud);
    if (std::find(std::begin(kBauds), std::end(kBauds), com.baud) == std::end(kBauds)) {
        PlcConfigFatal(loader, "error on baudrate (%d)", com.baud);
    }
}

void StartCom(PlcConfigLoader* loader, XmlAttributes attributes) {
    PlcComConfig& com = loader->config->com;
    int port = IntOr(attributes, "Port", -1);
    if (loader->requestedPort != -1 && port != loader->requestedPort) {
        LogDebug("Port lu=%d != Port demande=%d", port, loader->requestedPort);
        return;
    }
    if (port >= 0 && SerialPortName(port) == nullptr) {
        PlcConfigFatal(loader, "the port %d does not exist", port);
        return;
    }
    loader->position = Position::kCom;
    com.port = port;
    if (port >= 0) {
        ReadLine(loader, attributes);
        if (loader->fatal) {
            return;
        }
    }
    com.no = IntOr(attributes, "No", 0);
    if (com.no < 1 || com.no > plc::kMaxCommunication) {
        PlcConfigFatal(loader, "error on number of communication (%d)", com.no);
        return;
    }
    com.nbIter = XmlAttrIntBounded(attributes, "NbIter", 1, 30);
    com.nbDef = XmlAttrIntBounded(attributes, "NbDef", 1, 100);
    com.etat = IntOr(attributes, "Etat", 0);
    // 0 is no silence time at all: the fallback, whatever the driver's preset.
    int silence = IntOr(attributes, "Silence", com.silence);
    com.silence = silence == 0 ? plc::kSilenceFallbackMs : silence;
    if (com.silence < 10 || com.silence > plc::kMaxSilenceMs) {
        PlcConfigFatal(loader, "Silence time =%d except limit [10,%d]", com.silence,
                       plc::kMaxSilenceMs);
        return;
    }
    com.pause = IntOr(attributes, "Pause", 0);
    com.timeout = IntOr(attributes, "Timeout", com.timeout);
    if (com.timeout < com.silence || com.timeout > plc::kMaxTimeoutMs) {
        PlcConfigFatal(loader, "timeout except limit [%d,%d]", com.silence, plc::kMaxTimeoutMs);
        return;
    }
    com.trameOk = IntOr(attributes, "TrameOk", 0);
    com.intertrame = IntOr(attributes, "Intertrame", 0);
    com.intercycle = IntOr(attributes, "Intercycle", 0);
    com.bigEndianLong = IntOr(attributes, "BigEndianLong", 1);
}

void StartTrame(PlcConfigLoader* loader, XmlAttributes attributes) {
    PlcConfig* config = loader->config;
    int no = IntOr(attributes, "No", 0);
    if (no < 1 || no > plc::kMaxFrameNumber) {
        PlcConfigFatal(loader, "number of frame (%d) invalid ", no);
        return;
    }
    // chanmgr knows a frame's values by (communication, frame): two frames of one number would
    // hand their values to the same channels.
    if (std::any_of(config->frames.begin(), config->frames.end(),
                    [no](const PlcFrameConfig& frame) { return frame.no == no; })) {
        PlcConfigFatal(loader, "number of frame (%d) used twice", no);
        return;
    }
    PlcFrameConfig frame;
    frame.no = no;
    frame.lng = IntOr(attributes, "Lng", 0);
    frame.adr = IntOr(attributes, "Adr", 0);
    frame.etat = IntOr(attributes, "Etat", 0);
    frame.active = IntOr(attributes, "Active", 0);
    frame.declencheur = IntOr(attributes, "Declencheur", 0);
    frame.modification = IntOr(attributes, "Modification", 0);
    frame.trameOk = IntOr(attributes, "TrameOk", 0);
    frame.voie = IntOr(attributes, "Voie", -1);
    frame.consigneE = IntOr(attributes, "ConsigneE", -1);
    frame.consigneR = IntOr(attributes, "ConsigneR", -1);
    frame.bigEndianLong = IntOr(attributes, "BigEndianLong", config->com.bigEndianLong);
    frame.conversion = IntOr(attributes, "Conversion", -1);
    config->frames.push_back(std::move(frame));
    loader->frame = &config->frames.back();
    loader->position = Position::kTrame;
}

void StartItem(PlcConfigLoader* loader, ItemKind kind, XmlAttributes attributes) {
    PlcDataItem item;
    item.kind = kind;
    item.no = IntOr(attributes, "No", 0);
    if (item.no < 1 || item.no > plc::kMaxDataNumber) {
        PlcConfigFatal(loader, "no data invalid");
        return;
    }
    if (kind == ItemKind::kBit) {
        int address[2] = {0, 0};
        XmlAttrIntList(attributes, "Adr", address, 2);
        item.word = address[0];
        item.bit = address[1];
        if (item.word < 1 || item.bit < 1 || item.bit > 32) {
            PlcConfigFatal(loader, "error in address");
            return;
        }
    } else {
        item.word = IntOr(attributes, "Adr", 0);
        if (item.word < 1) {
            PlcConfigFatal(loader, "error in address");
            return;
        }
    }
    LogDebug("divers.lib: Format No %d=%d,%d Type=%d in frame No %d", item.no, item.word, item.bit,
             static_cast<int>(kind), loader->frame->no);
    loader->frame->items.push_back(item);
}

void StartDst(PlcConfigLoader* loader, XmlAttributes attributes) {
    int numbers[3] = {0, 0, 0};
    if (XmlAttrIntList(attributes, "Automate", numbers, 3) == 0) {
        return;
    }
    loader->config->targets.push_back({loader->channel, numbers[0], numbers[1], numbers[2]});
}

void HandleStart(void* data, const XML_Char* name, const XML_Char** attributes) {
    PlcConfigLoader* loader = static_cast<PlcConfigLoader*>(data);
    if (loader->fatal) {
        return;
    }
    if (loader->ignored > 0) {
        ++loader->ignored;
        return;
    }
    if (loader->position == Position::kTrame && Is(name, "TRAME")) {
        // Most likely a frame whose end was forgotten: taken as part of the current one, its end
        // would close that frame and its attributes overwrite that frame's.
        StationLog(LOG_WARNING, "TRAME No %d ignored : inside frame No %d",
                   IntOr(attributes, "No", 0), loader->frame != nullptr ? loader->frame->no : 0);
        loader->ignored = 1;
        return;
    }
    if (loader->position == Position::kAutomate && Is(name, "COM") &&
        ComForUs(loader, attributes)) {
        if (loader->config->com.no != 0) {
            // One link per driver process: a second COM would mix its frames into the first's.
            StationLog(LOG_WARNING, "COM No %d ignored : communication %d already selected",
                       IntOr(attributes, "No", 0), loader->config->com.no);
            return;
        }
        loader->config->com = PlcComConfig{};
        ApplyPreset(&loader->config->com, loader->driverName);
    }
    CallHook(loader, HookPhase::kBefore, name, attributes);
    if (loader->fatal) {
        return;
    }
    switch (loader->position) {
        case Position::kOutside:
            if (Is(name, "AUTOMATE")) {
                loader->position = Position::kAutomate;
            } else if (Is(name, "VOIES")) {
                loader->position = Position::kVoies;
            }
            break;
        case Position::kAutomate:
            if (Is(name, "COM") && ComForUs(loader, attributes)) {
                StartCom(loader, attributes);
            }
            break;
        case Position::kCom:
            if (Is(name, "TRAME")) {
                StartTrame(loader, attributes);
            }
            break;
        case Position::kTrame:
            if (Is(name, "BIT")) {
                StartItem(loader, ItemKind::kBit, attributes);
            } else if (Is(name, "ANA")) {
                StartItem(loader, ItemKind::kAna, attributes);
            } else if (Is(name, "CPT")) {
                StartItem(loader, ItemKind::kCpt, attributes);
            }
            break;
        case Position::kVoies:
            if (Is(name, "VOIE")) {
                loader->channel = IntOr(attributes, "No", 0);
                loader->position = Position::kVoie;
            }
            break;
        case Position::kVoie:
            if (Is(name, "DST")) {
                StartDst(loader, attributes);
            }
            break;
    }
    CallHook(loader, HookPhase::kAfter, name, attributes);
}

void HandleEnd(void* data, const XML_Char* name) {
    PlcConfigLoader* loader = static_cast<PlcConfigLoader*>(data);
    if (loader->fatal) {
        return;
    }
    if (loader->ignored > 0) {
        --loader->ignored;
        return;
    }
    CallHook(loader, HookPhase::kEndBefore, name, nullptr);
    if (loader->fatal) {
        return;
    }
    Position& at = loader->position;
    if ((at == Position::kAutomate && Is(name, "AUTOMATE")) ||
        (at == Position::kVoies && Is(name, "VOIES"))) {
        at = Position::kOutside;
    } else if (at == Position::kCom && Is(name, "COM")) {
        at = Position::kAutomate;
    } else if (at == Position::kTrame && Is(name, "TRAME")) {
        at = Position::kCom;
        loader->frame = nullptr;
    } else if (at == Position::kVoie && Is(name, "VOIE")) {
        at = Position::kVoies;
    }
    CallHook(loader, HookPhase::kEndAfter, name, nullptr);
}

// Nothing may be thrown through the parser: running out of memory ends the process.
void XMLCALL Start(void* data, const XML_Char* name, const XML_Char** attributes) {
    try {
        HandleStart(data, name, attributes);
    } catch (const std::bad_alloc&) {
        CriticalAssert(false, "erreur allocation", __FILE__, __LINE__);
    }
}

void XMLCALL End(void* data, const XML_Char* name) {
    try {
        HandleEnd(data, name);
    } catch (const std::bad_alloc&) {
        CriticalAssert(false, "erreur allocation", __FILE__, __LINE__);
    }
}

// The whole file was read: the checks on the table as a whole, before the verdict.
void BeforeVerdict(void* data, int errors) {
    PlcConfigLoader* loader = static_cast<PlcConfigLoader*>(data);
    if (loader->fatal) {
        return;
    }
    if (errors > loader->hookErrors) {
        loader->fatal = true;  // a read or expat error, recorded by the reader
        return;
    }
    if (errors > 0) {
        StationLog(LOG_ERR, "error in analyze");
        loader->fatal = true;
        return;
    }
    PlcConfig* config = loader->config;
    std::erase_if(config->targets, [&](const PlcChannelTarget& target) {
        return target.communication != config->com.no;
    });
    if (config->com.no == 0) {
        XmlErrorRecord("no active");
        loader->fatal = true;
    }
}

// What PlcConfigRefuse records at the selected COM.
struct Refusal {
    const char* text;
    bool recorded;
};

void RefuseAtCom(PlcConfigLoader* loader, const char* element, XmlAttributes) {
    if (loader->phase == HookPhase::kAfter && loader->position == Position::kCom &&
        Is(element, "COM")) {
        Refusal* refusal = static_cast<Refusal*>(loader->hookArgument);
        refusal->recorded = true;
        PlcConfigFatal(loader, "%s", refusal->text);
    }
}

}  // namespace

void PlcConfigFatal(PlcConfigLoader* loader, const char* format, ...) {
    char text[128];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    XmlErrorRecord("%s", text);
    loader->fatal = true;
    DriverConfigStop();
}

int PlcConfigRead(PlcConfig* config, const char* driverName, int requestedPort, PlcConfigHook hook,
                  void* hookArgument) {
    long long start = MonotonicMs();
    *config = PlcConfig{};
    config->driverName = driverName;
    config->requestedPort = requestedPort;
    PlcConfigLoader loader;
    loader.config = config;
    loader.driverName = driverName != nullptr ? driverName : "";
    loader.requestedPort = requestedPort;
    loader.hook = hook;
    loader.hookArgument = hookArgument;

    DriverConfigReader reader;
    reader.driverName = loader.driverName;
    reader.start = Start;
    reader.end = End;
    reader.userData = &loader;
    reader.texts = &driverconfig::kTextsPlc;
    reader.beforeVerdict = BeforeVerdict;
    int errors = DriverConfigRead(&reader);
    if (errors < 0 || loader.fatal || errors > 0) {
        return -1;
    }
    LogDebug("end of decoding of %s time=%d ms", driverconfig::kConfigurationPath,
             static_cast<int>(MonotonicMs() - start));
    return 0;
}

int PlcConfigRefuse(const PlcConfig* config, const char* format, ...) {
    char text[128];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    Refusal refusal{text, false};
    PlcConfig again;
    PlcConfigRead(&again, config->driverName, config->requestedPort, RefuseAtCom, &refusal);
    if (!refusal.recorded) {
        errno = ENOENT;
        return -1;
    }
    return 0;
}

PlcConfig PlcConfigLoad(const char* driverName, int requestedPort, PlcConfigHook hook,
                        void* hookArgument) {
    PlcConfig config;
    if (PlcConfigRead(&config, driverName, requestedPort, hook, hookArgument) != 0) {
        std::abort();
    }
    return config;
}
