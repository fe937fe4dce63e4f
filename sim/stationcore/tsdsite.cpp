#include "tsdsite.h"

#include <minIni.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "board.h"
#include "stationfile.h"
#include "stationlog.h"

namespace tsdsim {

namespace {

long Setting(const char* key, long lower, long upper) {
    const std::string files[] = {StationPath("/tmp/orxapp.ini"), StationPath("/etc/orxapp.ini")};
    for (const std::string& file : files) {
        char text[32] = {};
        if (ini_gets("ENV", key, "", text, sizeof text, file.c_str()) > 0) {
            long value = std::strtol(text, nullptr, 10);
            return value >= lower && value <= upper ? value : lower;
        }
    }
    return lower;
}

// Reads the memo-size file: -1 when absent, else 0 and its records.
int ReadMemoFile(const std::string& path, Layout& layout) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return -1;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    if (bytes.size() % 4 != 0) {
        // The modules read no record from such a file: neither does the core.
        StationLog(LOG_WARNING, "%s holds %zu bytes, not whole records: no memo", path.c_str(),
                   bytes.size());
        return 0;
    }
    for (size_t at = 0; at < bytes.size(); at += 4) {
        uint16_t address = static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
        uint16_t lines = static_cast<uint16_t>(bytes[at + 2] << 8 | bytes[at + 3]);
        layout.memos.emplace_back(address, lines);
    }
    return 0;
}

int WriteMemoFile(const Layout& layout, std::string& error) {
    std::vector<uint8_t> bytes;
    for (const auto& memo : layout.memos) {
        bytes.push_back(static_cast<uint8_t>(memo.first >> 8));
        bytes.push_back(static_cast<uint8_t>(memo.first));
        bytes.push_back(static_cast<uint8_t>(memo.second >> 8));
        bytes.push_back(static_cast<uint8_t>(memo.second));
    }
    std::error_code ignored;
    std::filesystem::create_directories(
        std::filesystem::path(StationPath(kMemoSizeFile)).parent_path(), ignored);
    // Whole or not at all: a module reading it meanwhile sees no file rather than half of one.
    if (DurableWriteFile(kMemoSizeFile, bytes.data(), bytes.size(), 0644) != 0) {
        error = std::string("cannot write ") + kMemoSizeFile + ": " + std::strerror(errno);
        return -1;
    }
    return 0;
}

}  // namespace

Settings ReadSettings() {
    Settings s;
    s.stationLog = static_cast<uint32_t>(Setting("STATION_LOG_MAX", 200, 4000));
    s.commLog = static_cast<uint32_t>(Setting("COMM_LOG_MAX", 200, 4000));
    s.memoByChannel = static_cast<uint32_t>(Setting("MEMO_MAX_BY_CHANNEL", 3600, 27000));
    s.m350z = Setting("M350Z", 0, 1) == 1;
    return s;
}

uint16_t ModbusAddress(int type, int channel, bool m350z) {
    if (channel < 1 || channel > kSiteMaxChannels) {
        return 0;
    }
    unsigned n = static_cast<unsigned>(channel - 1);
    switch (type) {
        case 1:
        case 3:
            return static_cast<uint16_t>(0x1000 + n);
        case 2:
        case 4:
        case 7:
            return static_cast<uint16_t>((m350z ? 0x1400 : 0x1600) + n);
        case 5:
        case 6:
            return static_cast<uint16_t>((m350z ? 0x1800 : 0x3000) + 2 * n);
        case 8:
        case 9:
            return static_cast<uint16_t>(0x5000 + 2 * n);
        default:
            return 0;
    }
}

uint32_t RawValue(const ChannelImage& image, int channel) {
    switch (ImageChannelType(image, channel)) {
        case 1:
        case 3:
            return ImageReadBool(image, channel) ? 1 : 0;
        case 2:
        case 4:
        case 7:
            return static_cast<uint32_t>(static_cast<int32_t>(ImageReadShort(image, channel)));
        case 5:
        case 6:
            return static_cast<uint32_t>(ImageReadLong(image, channel));
        default: {
            float value = ImageReadFloat(image, channel);
            double held = std::isfinite(value)
                              ? std::fmin(std::fmax(value, -2147483648.0), 2147483647.0)
                              : 0.0;
            return static_cast<uint32_t>(static_cast<int32_t>(std::lround(held)));
        }
    }
}

int MakeLayout(const Site& site, const Settings& settings, Layout& layout, bool& wrote,
               std::string& error) {
    layout = Layout{};
    layout.stationLog = settings.stationLog;
    layout.commLog = settings.commLog;
    wrote = false;
    std::string path = StationPath(kMemoSizeFile);
    if (ReadMemoFile(path, layout) == 0) {
        return 0;
    }
    for (const SiteChannel& c : site.channels) {
        int type = c.typeByte & 0x0F;
        if ((c.flags & site::kFlagTimestamped) == 0 || type < 1 || type > 7 || c.memo == 0) {
            continue;
        }
        uint32_t lines = c.memo < 0 ? settings.memoByChannel : static_cast<uint32_t>(c.memo);
        layout.memos.emplace_back(ModbusAddress(type, c.number, settings.m350z), lines);
    }
    if (WriteMemoFile(layout, error) != 0) {
        return -1;
    }
    wrote = true;
    return 0;
}

int PreloadLines(const Site& site, const std::string& origin, const ChannelImage& image,
                 const Settings& settings, Server& server, std::vector<std::string>& errors) {
    int faults = 0;
    char text[200];
    for (const SiteLine& l : site.lines) {
        uint16_t address = 0;
        if (l.table != SiteLine::kComm) {
            address = ModbusAddress(ImageChannelType(image, l.channel), l.channel, settings.m350z);
            const Table* memo = address != 0 ? server.Find(address) : nullptr;
            if (address == 0 || (l.table == SiteLine::kMemo &&
                                 (memo == nullptr || memo->LineSize() != kMemoLineSize))) {
                std::snprintf(text, sizeof text, "%s:%d: channel %d has %s", origin.c_str(),
                              l.sourceLine, l.channel,
                              address == 0 ? "no Modbus address (type 0)" : "no memo");
                errors.emplace_back(text);
                ++faults;
                continue;
            }
        }
        for (int i = 0; i < l.repeat; ++i) {
            uint32_t time = l.time + static_cast<uint32_t>(i);
            uint32_t value = l.value + static_cast<uint32_t>(i);
            switch (l.table) {
                case SiteLine::kStation:
                    server.AppendStation(time, address, value);
                    break;
                case SiteLine::kComm:
                    server.AppendComm(time, l.event, value);
                    break;
                case SiteLine::kMemo:
                    server.AppendMemo(address, time, value);
                    break;
            }
        }
    }
    return faults;
}

WriteLogger::WriteLogger(const ChannelImage& image, const Settings& settings, Server& server)
    : image_(image), m350z_(settings.m350z), server_(server) {
    logged_.resize(static_cast<size_t>(image.channelCount) + 1);
    for (int channel = 1; channel <= image.channelCount; ++channel) {
        logged_[channel] = RawValue(image, channel);
    }
}

void WriteLogger::Written(int channel) {
    if (channel < 1 || channel > image_.channelCount ||
        (ImageChannelFlags(image_, channel) & site::kFlagTimestamped) == 0) {
        return;
    }
    uint16_t address = ModbusAddress(ImageChannelType(image_, channel), channel, m350z_);
    if (address == 0) {
        return;
    }
    uint32_t value = RawValue(image_, channel);
    if (value != logged_[channel]) {
        logged_[channel] = value;
        server_.AppendStation(time_, address, value);
    }
    server_.AppendMemo(address, time_, value);
}

}  // namespace tsdsim
