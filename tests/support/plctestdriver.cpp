#include "plctestdriver.h"

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cstring>

#include "clock.h"
#include "serialdebug.h"
#include "stationcore.h"

namespace {

struct TestFrame {
    bool write;
    plc::DataKind kind;
};

void ExchangeTime(const ScriptedPlc* plc) {
    if (plc->exchangeMs > 0) {
        timespec delay{plc->exchangeMs / 1000, (plc->exchangeMs % 1000) * 1000000L};
        Clock().Sleep(delay, nullptr);
    }
}

int Exchange(PlcScanContext* context, PlcFrameRuntime* frame) {
    ScriptedPlc* plc = static_cast<ScriptedPlc*>(context->link);
    ++plc->exchanges;
    plc->lastFrame = frame->config.no;
    ExchangeTime(plc);
    if (plc->failNext > 0) {
        --plc->failNext;
        return 0;
    }
    int address = frame->config.adr;
    size_t bytes = frame->data.size();
    if (address < 0 || static_cast<size_t>(address) * 2 + bytes > sizeof plc->words) {
        return 0;  // the PLC refuses an address it does not have
    }
    unsigned char* memory = reinterpret_cast<unsigned char*>(plc->words + address);
    if (bytes == 0) {
        return 1;  // a frame without data (Lng 0) is exchanged all the same
    }
    if (frame->config.write) {
        std::memcpy(memory, frame->data.data(), bytes);
    } else {
        std::memcpy(frame->data.data(), memory, bytes);
    }
    return 1;
}

int LinkInit(PlcScanContext* context, const PlcConfig*) {
    ScriptedPlc* plc = static_cast<ScriptedPlc*>(context->link);
    if (plc != nullptr && plc->withTrace) {
        static SerialDebug trace;
        if (trace.segment == nullptr && CreateSerialDebug(&trace, -1) != 0) {
            return -1;
        }
        context->trace = &trace;
    }
    return 0;
}

int FrameInit(PlcScanContext*, PlcFrameRuntime* frame) {
    const TestFrame* test = frame->config.extension.As<TestFrame>();
    frame->kind = test->kind;
    int lng = frame->config.lng;
    switch (test->kind) {
        case plc::DataKind::kBits:
            frame->size = (lng + 7) / 8;
            break;
        case plc::DataKind::kWords:
            frame->size = 2 * lng;
            break;
        case plc::DataKind::kLongs:
        case plc::DataKind::kReals:
            frame->size = 4 * lng;
            break;
    }
    frame->exchange = Exchange;
    return 0;
}

}  // namespace

void ScriptedPlc::SetLong(int address, uint32_t value) {
    std::memcpy(words + address, &value, 4);
}
uint32_t ScriptedPlc::Long(int address) const {
    uint32_t value;
    std::memcpy(&value, words + address, 4);
    return value;
}
void ScriptedPlc::SetReal(int address, float value) {
    std::memcpy(words + address, &value, 4);
}
float ScriptedPlc::Real(int address) const {
    float value;
    std::memcpy(&value, words + address, 4);
    return value;
}

void PlcTestHook(PlcConfigLoader* loader, const char* element, XmlAttributes attributes) {
    if (loader->phase != plc::HookPhase::kAfter || loader->position != plc::Position::kTrame ||
        std::strcmp(element, "TRAME") != 0) {
        return;
    }
    const char* type = XmlAttrFind(attributes, "Type");
    static constexpr char kKinds[] = "BWLF";
    const char* kind = type != nullptr && std::strlen(type) == 2 && type[1] != '\0'
                           ? std::strchr(kKinds, type[1])
                           : nullptr;
    if (kind == nullptr || (type[0] != 'R' && type[0] != 'W')) {
        PlcConfigFatal(loader, "type %s of frame No %d unknown", type != nullptr ? type : "",
                       loader->frame->no);
        return;
    }
    TestFrame* test = loader->frame->extension.As<TestFrame>();
    test->write = type[0] == 'W';
    test->kind = static_cast<plc::DataKind>(kind - kKinds);
    loader->frame->write = test->write;
}

int PlcTestRefreshInit(PlcScanContext* context, const PlcConfig* config, ScriptedPlc* plc) {
    PlcDriverHooks hooks;
    hooks.linkInit = LinkInit;
    hooks.frameInit = FrameInit;
    context->link = plc;
    return PlcRefreshInit(context, config, &hooks);
}

int PlcTestNotices() {
    int queue = msgget(corekey::kModmgrQueue, 0);
    struct {
        long type;
        unsigned char body[512];
    } notice{};
    int count = 0;
    while (queue != -1 && msgrcv(queue, &notice, sizeof notice.body, 0, IPC_NOWAIT) >= 0) {
        ++count;
    }
    return count;
}
