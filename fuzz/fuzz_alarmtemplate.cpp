// Fuzz target of alarmsender's template expansion: the template comes from the station's alarm
// configuration, outside the module. It is expanded over a channel database held in this
// process (channels of every type, in index groups, with names, units, formats and state
// texts), into the full output and into a small one; the text must always fit and be counted.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "alarmsender.h"
#include "channeldb.h"
#include "conf.h"
#include "fuzz_support.h"

namespace {

constexpr int kChannels = 50;  // what the sizing keys give without a station file

struct Database {
    unsigned char info[kChannels * kChannelRecordSize + 2] = {};
    unsigned char texts[kChannelTextCount * kChannelTextSize] = {};
    uint8_t digital[kChannels] = {};
    int16_t integer[kChannels] = {};
    uint32_t floatLong[2 * kChannels] = {};
    int16_t intSetpoints[kIntegerSetpointCount] = {};
    uint32_t realSetpoints[kRealSetpointCount] = {};
    ChannelInfo channelInfo;
    ChannelValues values;

    Database() {
        const char* formats[] = {"%.2f", "%d", "", "%8.3e", "%%", "%A"};
        std::snprintf(reinterpret_cast<char*>(texts), kChannelTextSize, "kWh");
        std::snprintf(reinterpret_cast<char*>(texts) + kChannelTextSize, kChannelTextSize, "Arret");
        for (int n = 1; n <= kChannels; ++n) {
            unsigned char* record = info + (n - 1) * kChannelRecordSize;
            std::snprintf(reinterpret_cast<char*>(record), 31, "Voie numero %d de l'essai", n);
            std::snprintf(reinterpret_cast<char*>(record) + 31, 21, "%s", formats[n % 6]);
            record[52] = static_cast<unsigned char>(n % 11);
            uint32_t flags = (n % 4 == 0 ? 1u << 9 : 0) | (n % 3 == 0 ? 1u << 4 : 0) | (1u << 6);
            std::memcpy(record + 56, &flags, 4);
            record[60] = static_cast<unsigned char>(n % 3);
            record[61] = static_cast<unsigned char>(n % 5 == 0 ? 2 : 0);
            uint16_t indexes = static_cast<uint16_t>(n * 0x0101);
            std::memcpy(record + 62, &indexes, 2);
            float coef = 0.5f;
            std::memcpy(record + 64, &coef, 4);
            digital[n - 1] = static_cast<uint8_t>(n & 1);
            integer[n - 1] = static_cast<int16_t>(-n * 37);
            float value = static_cast<float>(n) * 1.25f;
            std::memcpy(&floatLong[n - 1], &value, 4);
            floatLong[kChannels + n - 1] = static_cast<uint32_t>(n * 3601);
        }
        uint16_t last = kChannels;
        std::memcpy(info + kChannels * kChannelRecordSize, &last, 2);
        channelInfo.info = info;
        channelInfo.infoSize = sizeof info;
        channelInfo.texts = texts;
        channelInfo.textsSize = sizeof texts;
        channelInfo.lastChannel =
            reinterpret_cast<const uint16_t*>(info + kChannels * kChannelRecordSize);
        values.digital = digital;
        values.digitalSize = sizeof digital;
        values.integer = integer;
        values.integerSize = sizeof integer;
        values.floatLong = floatLong;
        values.floatLongSize = sizeof floatLong;
        values.intSetpoints = intSetpoints;
        values.intSetpointSize = sizeof intSetpoints;
        values.realSetpoints = realSetpoints;
        values.realSetpointSize = sizeof realSetpoints;
    }
};

const char* StationName() {
    return "Station %s %n";
}
int StationId() {
    return 65535;
}

void Expand(const alarmsender::AlarmExpansion* alarm, const char* templ, int size) {
    static char output[alarmsender::kOutputSize + 1];
    output[size] = 'Z';  // the byte after the output must stay
    int placed = alarmsender::ExpandTemplate(alarm, templ, output, size);
    if (placed < 0 || placed > size - 1 || std::strlen(output) != static_cast<size_t>(placed) ||
        output[size] != 'Z') {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::StationRoot("alarmtemplate");
    static Database database;
    char templ[alarmsender::kTemplateMax + 1];
    size_t length = size < sizeof templ - 1 ? size : sizeof templ - 1;
    std::memcpy(templ, data, length);
    templ[length] = '\0';

    alarmsender::AlarmExpansion alarm;
    alarm.values = &database.values;
    alarm.info = &database.channelInfo;
    alarm.channelCount = GetChannelMaxNb();
    alarm.channel = size > 0 ? data[0] % 60 - 5 : 1;
    alarm.value = size > 1 ? static_cast<int8_t>(data[1]) * 1000 : 0;
    alarm.time = 1700000000;
    alarm.stationName = StationName;
    alarm.stationId = StationId;
    Expand(&alarm, templ, alarmsender::kOutputSize);
    Expand(&alarm, templ, 61);
    Expand(&alarm, templ, 1);
    return 0;
}
