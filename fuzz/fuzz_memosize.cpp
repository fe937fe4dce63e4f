// The memo-size file is written by the core, outside this system: any bytes, any length. The
// input becomes "/tmp/memo.size" of a private station root and is read back record by record
// and by address; what the two readings give must agree.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "conf.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!fuzzsupport::WriteInput(fuzzsupport::StationRoot("memosize") + "/tmp/memo.size", data,
                                 size)) {
        return 0;
    }

    int records = GetMemoNb();
    int expected = size % 4 == 0 ? static_cast<int>(size / 4) : 0;
    if (records != expected) {
        std::abort();
    }
    int16_t address = 0;
    uint16_t memoSize = 0;
    if (ReadMemoSizeFile(&address, &memoSize, records) != 1 || address != -1 || memoSize != 0) {
        std::abort();  // past the end
    }
    // Each record read by index is found again by its address, unless an earlier record
    // carries the same address (the first one wins).
    for (int index = 0; index < records && index < 64; ++index) {
        if (ReadMemoSizeFile(&address, &memoSize, index) != 0) {
            std::abort();
        }
        bool earlier = false;
        for (int other = 0; other < index; ++other) {
            int16_t otherAddress = 0;
            uint16_t otherSize = 0;
            ReadMemoSizeFile(&otherAddress, &otherSize, other);
            earlier = earlier || otherAddress == address;
        }
        if (!earlier && GetMemoSize(address) != memoSize) {
            std::abort();
        }
    }
    return 0;
}
