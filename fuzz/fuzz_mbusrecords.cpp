// Fuzz target of the M-Bus data-record decoder: the input is a data area (fixed header, then
// records), held in a buffer of exactly its size so that a read past its end is caught.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "mbus.h"

namespace {

class CheckingOutput : public MbusOutput {
  public:
    explicit CheckingOutput(int length) : length_(length) {}
    void Record(const MbusRecord& record) override {
        if (record.bits < 0 || record.bits > 64 || record.function < 0 || record.function > 3 ||
            record.storage < 0 || record.tariff < 0 || record.subunit < 0 ||
            record.offset < mbus::kHeaderSize || record.offset >= length_ ||
            record.offset < lastOffset_) {
            __builtin_trap();
        }
        lastOffset_ = record.offset;
        MbusQuantityName(record.quantity);
        MbusUnitName(record.unit);
    }
    void Trace(const char* text, int length) override {
        for (int i = 0; i < length; ++i) {
            sum += static_cast<unsigned char>(text[i]);
        }
    }
    void Log(int, const char* text) override { sum += strlen(text); }
    void RecordPause(int) override {}
    unsigned long sum = 0;

  private:
    int length_;
    int lastOffset_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 252) {
        return 0;  // the largest data area of a long frame
    }
    std::vector<unsigned char> area(data, data + size);
    CheckingOutput out(static_cast<int>(size));
    MbusHeader header;
    if (MbusDecodeHeader(area.data(), static_cast<int>(area.size()), &header) != 0) {
        return 0;
    }
    int delivered = 0;
    MbusDecodeRecords(area.data(), static_cast<int>(area.size()), &out, &delivered);
    if (delivered < 0 || delivered > static_cast<int>(size)) {
        __builtin_trap();
    }
    return 0;
}
