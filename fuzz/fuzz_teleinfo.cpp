// Fuzz target of the Teleinfo decoder: the bytes go through the receive state machine with a
// definition for every kind of value configured, then the start of the input goes, as a value
// text, straight to each definition's decoder (composite decoders included).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "teleinfo.h"

namespace {

class NullOutput : public TeleinfoOutput {
  public:
    void Begin(int, int) override { ++messages; }
    void WriteBool(int index, bool) override { Check(index); }
    void WriteLong(int index, int32_t) override { Check(index); }
    void WriteFloat(int index, float) override { Check(index); }
    void Terminate() override {}
    void WriteChannelBool(int, bool) override {}
    void Trace(const char* text, int length) override {
        for (int i = 0; i < length; ++i) {
            sum += static_cast<unsigned char>(text[i]);
        }
    }
    void TraceTimestamp() override {}
    void Log(int, const char* text) override { sum += strlen(text); }
    bool Verbose() const override { return true; }

    void Check(int index) {
        if (index < 1 || index > 64) {
            __builtin_trap();
        }
    }
    unsigned long messages = 0;
    unsigned long sum = 0;
};

const char* const kLabels[] = {"BASE",    "ISOUSC", "PTEC",     "PPOT",  "JAUNE", "FCOU",
                               "PERCC",   "TDEPA",  "DATECOUR", "FINp1", "ENERG", "U10MIN",
                               "PREA1MN", "Appli",  "ADCO",     "IINST"};
constexpr int kCount = sizeof kLabels / sizeof kLabels[0];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TeleinfoDefinition definitions[kCount];
    static bool ready = false;
    if (!ready) {
        for (int i = 0; i < kCount; ++i) {
            TeleinfoDefinitionInit(&definitions[i], kLabels[i]);
            definitions[i].frame = i + 1;
            strcpy(definitions[i].val, "TH..");
            definitions[i].evt = i % 2;
            definitions[i].trameOk = i % 3;
            definitions[i].timeout = i % 4;
            definitions[i].normal = i % 5 != 0;
            definitions[i].injection = i % 5 != 1;
        }
        ready = true;
    }
    NullOutput out;
    TeleinfoDecoder decoder;
    decoder.com = 1;
    decoder.etat = 9;
    decoder.timeout = 2;
    decoder.definitions = definitions;
    decoder.definitionCount = kCount;
    decoder.out = &out;
    for (size_t i = 0; i < size; ++i) {
        int state = TeleinfoReceiveChar(&decoder, data[i]);
        if (state == teleinfo::kStopped) {
            TeleinfoBeginScan(&decoder);
        }
        if (decoder.rx.labelLength > teleinfo::kLabelMax ||
            decoder.rx.valueLength > teleinfo::kValueMax) {
            __builtin_trap();
        }
    }
    TeleinfoCheckReception(&decoder, 1L << 20);
    TeleinfoCheckTimeouts(&decoder, 1L << 20);

    char value[teleinfo::kValueMax + 1];
    size_t n = size < teleinfo::kValueMax ? size : teleinfo::kValueMax;
    memcpy(value, data, n);
    value[n] = '\0';
    for (int i = 0; i < kCount; ++i) {
        TeleinfoApply(&decoder, &definitions[i], value);
    }
    return 0;
}
