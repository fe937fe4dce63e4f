// A PLC driver of our own for the scan engine's tests: the "PLC" is a word memory in the test's
// process, and a frame reads or writes a block of it at once, so whole scan cycles run in-process
// on the fake clock. Configured as driver "plctest" (no presets): each TRAME's Type says the
// direction and kind, R or W then B (bits), W (16-bit words), L (32-bit values) or F (reals),
// e.g. Type="RW"; Adr is the first word of the block.
#pragma once

#include <cstdint>

#include "refreshplc.h"
#include "xmlplc.h"

struct ScriptedPlc {
    static constexpr int kWords = 1024;
    uint16_t words[kWords] = {};
    int exchanges = 0;       // exchanges asked for, failed ones included
    int failNext = 0;        // the next n exchanges fail (the memory is not touched)
    int exchangeMs = 0;      // time one exchange takes on the clock
    int lastFrame = 0;       // number of the frame last exchanged
    bool withTrace = false;  // the link gets the debug trace of port -1

    // 32-bit values and reals occupy two words, as the buffer holds them (host order).
    void SetLong(int address, uint32_t value);
    uint32_t Long(int address) const;
    void SetReal(int address, float value);
    float Real(int address) const;
};

namespace plctest {
inline constexpr const char* kDriverName = "plctest";
}

// The configuration hook of "plctest": reads Type after each TRAME (an unknown one is fatal,
// "type %s of frame No %d unknown").
void PlcTestHook(PlcConfigLoader* loader, const char* element, XmlAttributes attributes);
// The engine over the scripted PLC (the context's link). 0 or -1 as PlcRefreshInit.
int PlcTestRefreshInit(PlcScanContext* context, const PlcConfig* config, ScriptedPlc* plc);
// Takes the degraded-configuration notices waiting for modmgr: their number. A test that has a
// table refused takes them, so that none is left for the next test to count.
int PlcTestNotices();
