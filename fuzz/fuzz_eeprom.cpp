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
#include "fuzz_support.h"

namespace {

constexpr const char* kMaster = "[ENV]\nCHANNEL_MAX_NB=100\n[IDENT]\nNAME=Reservoir\n";

// The station root, with the master INI file the load starts from.
const std::string& Root() {
    static const std::string& root = []() -> const std::string& {
        const std::string& made = fuzzsupport::StationRoot("eeprom");
        std::ofstream(made + "/etc/orxapp.ini") << kMaster;
        return made;
    }();
    return root;
}

std::string ReadWorkingCopy() {
    std::ifstream in(Root() + "/tmp/orxapp.ini", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!fuzzsupport::WriteInput(Root() + "/dev/i2c-0", data, size)) {
        return 0;
    }

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
