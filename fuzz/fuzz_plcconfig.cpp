// The PLC frame table reader on whatever the configuration file may hold: a table whose every
// rule holds, or a refusal with the degraded verdict in the status file; never a crash. The
// refusal returns here instead of ending the process, and modmgr's notices go to a queue of the
// target's own IPC namespace, drained after each input.
#include <sys/ipc.h>
#include <sys/msg.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "fuzz_support.h"
#include "stationcore.h"
#include "xmlplc.h"

namespace {

const std::string& Root() {
    static const std::string& root = []() -> const std::string& {
        fuzzsupport::PrivateIpc();
        const std::string& made = fuzzsupport::StationRoot("plcconfig", "/dev/shm");
        std::filesystem::create_directories(made + "/var/parameters");
        std::filesystem::create_directories(made + "/var/log");
        // The log copy would grow with every refused input.
        std::filesystem::create_symlink("/dev/null", made + "/var/log/messages");
        return made;
    }();
    return root;
}

void DrainNotices() {
    int queue = msgget(corekey::kModmgrQueue, 0);
    struct {
        long type;
        unsigned char body[512];
    } notice{};
    while (queue != -1 && msgrcv(queue, &notice, sizeof notice.body, 0, IPC_NOWAIT) >= 0) {
    }
}

std::string Status() {
    std::ifstream in(Root() + "/var/log/busbridge.xml.status", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// What a driver may rely on once the table was accepted.
bool Sound(const PlcConfig& config) {
    const PlcComConfig& com = config.com;
    if (com.no < 1 || com.no > plc::kMaxCommunication || com.silence < 10 ||
        com.silence > plc::kMaxSilenceMs || com.timeout < com.silence ||
        com.timeout > plc::kMaxTimeoutMs || com.nbIter < 1 || com.nbIter > 30 || com.nbDef < 1 ||
        com.nbDef > 100) {
        return false;
    }
    for (const PlcFrameConfig& frame : config.frames) {
        if (frame.no < 1 || frame.no > plc::kMaxFrameNumber ||
            std::count_if(config.frames.begin(), config.frames.end(),
                          [&](const PlcFrameConfig& other) { return other.no == frame.no; }) != 1) {
            return false;
        }
        for (const PlcDataItem& item : frame.items) {
            if (item.no < 1 || item.no > plc::kMaxDataNumber || item.word < 1 ||
                (item.kind == plc::ItemKind::kBit && (item.bit < 1 || item.bit > 32))) {
                return false;
            }
        }
    }
    for (const PlcChannelTarget& target : config.targets) {
        if (target.communication != com.no) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!fuzzsupport::WriteInput(Root() + "/var/parameters/configuration.xml", data, size)) {
        return 0;
    }
    PlcConfig config;
    int result = PlcConfigRead(&config, "busbridge", -1, nullptr, nullptr);
    std::string status = Status();
    DrainNotices();
    if (result == 0 ? !Sound(config) || status != "** Mode Normal **\n"
                    : !EndsWith(status, "\"\n** Mode Degrade **\n")) {
        std::abort();
    }
    return 0;
}
