// The board record comes from the EEPROM: 128 bytes the board was programmed with, any of them
// possibly wrong. The input is the device's contents (any length) in a private station root;
// the record is loaded into the working INI copy. A record that is short or does not sum to 0
// must leave the copy exactly as the master made it.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "conf.h"

namespace {

constexpr const char* kMaster = "[ENV]\nCHANNEL_MAX_NB=100\n[IDENT]\nNAME=Reservoir\n";

std::string root;

void RemoveRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

void MakeRoot() {
    char name[] = "/tmp/fuzz-eeprom-XXXXXX";
    if (mkdtemp(name) == nullptr) {
        std::abort();
    }
    root = name;
    for (const char* dir : {"/etc", "/tmp", "/dev"}) {
        std::filesystem::create_directories(root + dir);
    }
    std::ofstream(root + "/etc/orxapp.ini") << kMaster;
    setenv("STATION_ROOT", root.c_str(), 1);
    std::atexit(RemoveRoot);
}

std::string ReadWorkingCopy() {
    std::ifstream in(root + "/tmp/orxapp.ini", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (root.empty()) {
        MakeRoot();
    }
    FILE* device = std::fopen((root + "/dev/i2c-0").c_str(), "wb");
    if (device == nullptr) {
        return 0;
    }
    if (size > 0) {
        std::fwrite(data, 1, size, device);
    }
    std::fclose(device);

    unsigned char sum = 0;
    for (size_t i = 0; i < size && i < 128; ++i) {
        sum = static_cast<unsigned char>(sum + data[i]);
    }
    bool loadable = size >= 128 && sum == 0;
    int result = Initialize_InfoVersion();
    if (!loadable && (result != 0 || ReadWorkingCopy() != kMaster)) {
        std::abort();
    }
    if (loadable) {
        // The sizes and the name the master gave are still there beside the board's keys.
        GetStationName();
        GetBoardType();
        GetOF();
    }
    return 0;
}
