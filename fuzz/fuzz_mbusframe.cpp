// Fuzz target of the M-Bus long-frame search and checks: the input is what a line gave (noise,
// a frame, its tail); a frame found good has its header and records decoded from a buffer the
// size of its data area, so any read past the frame is caught.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "mbus.h"

namespace {

class NullOutput : public MbusOutput {
  public:
    void Record(const MbusRecord& record) override {
        if (record.bits < 0 || record.bits > 64 || record.function < 0 || record.function > 3 ||
            record.storage < 0) {
            __builtin_trap();
        }
    }
    void Trace(const char* text, int length) override {
        for (int i = 0; i < length; ++i) {
            sum += static_cast<unsigned char>(text[i]);
        }
    }
    void Log(int, const char* text) override { sum += strlen(text); }
    void RecordPause(int) override {}
    unsigned long sum = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(mbus::kReceiveSize)) {
        return 0;  // the receive buffer never holds more
    }
    NullOutput out;
    int offset = -1;
    int length = MbusCheckLongFrame(data, static_cast<int>(size), &out, &offset);
    if (length <= 0) {
        return 0;
    }
    // The frame and its checksum and stop byte must lie inside what was given.
    if (offset < 7 || static_cast<size_t>(offset - 7 + length + 6) > size) {
        __builtin_trap();
    }
    std::vector<unsigned char> area(data + offset, data + offset + (length - 3));
    MbusHeader header;
    if (MbusDecodeHeader(area.data(), static_cast<int>(area.size()), &header) == 0) {
        MbusTraceHeader(&header, &out);
        MbusDecodeRecords(area.data(), static_cast<int>(area.size()), &out, nullptr);
    }
    return 0;
}
