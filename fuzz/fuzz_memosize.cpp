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

namespace {

std::string root;

void RemoveRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

// A station root of its own, made once and removed at exit.
std::string MemoSizePath() {
    if (root.empty()) {
        char name[] = "/tmp/fuzz-memosize-XXXXXX";
        if (mkdtemp(name) == nullptr) {
            std::abort();
        }
        root = name;
        std::filesystem::create_directories(root + "/tmp");
        setenv("STATION_ROOT", root.c_str(), 1);
        std::atexit(RemoveRoot);
    }
    return root + "/tmp/memo.size";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = MemoSizePath();
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return 0;
    }
    if (size > 0) {
        std::fwrite(data, 1, size, file);  // an empty input may come with no buffer at all
    }
    std::fclose(file);

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
