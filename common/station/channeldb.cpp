#include "channeldb.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <syslog.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "clock.h"
#include "conf.h"
#include "stationcore.h"
#include "stationlog.h"
#include "utilities.h"

const char* const type_name_tab[11] = {"Unknown", "ETOR", "EANA", "STOR", "SANA", "CPT",
                                       "CHO",     "DEB",  "TE",   "GA",   "DFT"};

namespace {

// The process-wide handles that PlcInitMsg fills.
ChannelInfo StockageInfo;
ChannelValues StockageDonnee;

constexpr int kValueWaitSeconds = 300;
constexpr int kValuePollMs = 100;

// chanmgr rewrites the memories while we read them: one aligned load of the field's width,
// whatever value is there at that moment.
template <typename T>
T LoadShared(const T* address) {
    return __atomic_load_n(address, __ATOMIC_RELAXED);
}

size_t SegmentSize(int id) {
    struct shmid_ds state {};
    if (shmctl(id, IPC_STAT, &state) != 0) {
        return 0;
    }
    return state.shm_segsz;
}

// Start of channel n's record, or null (with the fallback to be given) when the channel is not
// 1 to N, the memory is not attached or the record lies beyond it.
const unsigned char* Record(ChannelInfo* info, int channel) {
    if (info == nullptr || info->info == nullptr) {
        StationLog(LOG_ERR, "adresse mem. info voie nulle");
        return nullptr;
    }
    if (channel < 1 || channel > GetChannelMaxNb()) {
        StationLog(LOG_ERR, "filemsg.lib : acces info voie avec indice=%d", channel);
        return nullptr;
    }
    size_t end = static_cast<size_t>(channel) * kChannelRecordSize;
    if (end > info->infoSize) {
        StationLog(LOG_ERR, "filemsg.lib : acces info voie avec indice=%d", channel);
        return nullptr;
    }
    return info->info + end - kChannelRecordSize;
}

template <typename T>
T Field(const unsigned char* record, int offset) {
    return LoadShared(reinterpret_cast<const T*>(record + offset));
}

uint32_t Flags(ChannelInfo* info, int channel) {
    const unsigned char* record = Record(info, channel);
    return record != nullptr ? Field<uint32_t>(record, kChannelFlagsOffset) : 0u;
}

int FlagSet(ChannelInfo* info, int channel, uint32_t bit) {
    return (Flags(info, channel) & bit) != 0 ? 1 : 0;
}

// A terminated text of at most `maximum` characters in a field of maximum + 1 bytes, or null.
const char* BoundedText(const unsigned char* field, int maximum) {
    const void* end = std::memchr(field, '\0', static_cast<size_t>(maximum) + 1);
    return end != nullptr ? reinterpret_cast<const char*>(field) : nullptr;
}

// Text number 1 to 100 of the texts memory, or null.
const char* Text(ChannelInfo* info, int number) {
    if (number < 1 || number > kChannelTextCount || info->texts == nullptr) {
        return nullptr;
    }
    size_t end = static_cast<size_t>(number) * kChannelTextSize;
    if (end > info->textsSize) {
        return nullptr;
    }
    return BoundedText(info->texts + end - kChannelTextSize, kChannelTextSize - 1);
}

// ---------------------------------------------------------------- value memories

struct Attached {
    int id;
    const void* address;
    size_t size;
};

// Attaches one value memory, waiting for chanmgr to create it; fatal after 300 s of uptime.
Attached WaitValueMemory(const char* name, int key) {
    long start = GetUptime();
    for (;;) {
        int id = shmget(key, 0, 0);
        if (id >= 0) {
            void* address = shmat(id, nullptr, SHM_RDONLY);
            if (address != reinterpret_cast<void*>(-1)) {
                StationLog(LOG_DEBUG,
                           "filemsg.lib : ouverture memoire partagee %s  clef(%d) id(%d) ", name,
                           key, id);
                return {id, address, SegmentSize(id)};
            }
            StationLog(LOG_ERR, "filemsg.lib : attachement memoire partagee %s clef (%d)=%s", name,
                       key, std::strerror(errno));
        }
        if (GetUptime() - start > kValueWaitSeconds) {
            StationLog(LOG_CRIT, "shared memory not open last %d s", kValueWaitSeconds);
            sync();
            std::abort();
        }
        WaitMillisecond(kValuePollMs);
    }
}

void NoInit(const void* address) {
    if (address == nullptr) {
        StationLog(LOG_CRIT, "filemsg.lib : acces mem. voie ou consignes sans init");
        sync();
        std::abort();
    }
}

// Element index of channel n (from 1) in a memory of `size` bytes holding `count` elements
// before it, or -1 (logged) when the channel is out of range.
long ChannelSlot(int channel, size_t size, size_t elementSize, long before = 0) {
    if (channel < 1 || channel > GetChannelMaxNb() ||
        static_cast<size_t>(before + channel) * elementSize > size) {
        StationLog(LOG_ERR, "filemsg.lib : acces voie avec indice=%d", channel);
        return -1;
    }
    return before + channel - 1;
}

}  // namespace

// ---------------------------------------------------------------- opening and closing

int ChannelInfoOpen(ChannelInfo* info) {
    if (!IsChannelMaxNbInitialized()) {
        ChannelMaxNbInit();
    }
    int infoId = shmget(corekey::kChannelInfo, 0, 0);
    if (infoId < 0) {
        StationLog(LOG_ERR, "ouverture mem. info voie clef (%d)=%d", corekey::kChannelInfo, errno);
        return -1;
    }
    void* infoAddress = shmat(infoId, nullptr, SHM_RDONLY);
    if (infoAddress == reinterpret_cast<void*>(-1)) {
        StationLog(LOG_ERR, "attachement mem. info voie clef (%d)=%d", corekey::kChannelInfo,
                   errno);
        return -2;
    }
    int textsId = shmget(corekey::kChannelTexts, 0, 0);
    if (textsId < 0) {
        StationLog(LOG_ERR, "ouverture mem. textes  clef (%d)=%d", corekey::kChannelTexts, errno);
        shmdt(infoAddress);
        return -3;
    }
    void* textsAddress = shmat(textsId, nullptr, SHM_RDONLY);
    if (textsAddress == reinterpret_cast<void*>(-1)) {
        StationLog(LOG_ERR, "attachement mem. textes  clef (%d)=%d", corekey::kChannelTexts, errno);
        shmdt(infoAddress);
        return -4;
    }
    info->infoId = infoId;
    info->info = static_cast<const unsigned char*>(infoAddress);
    info->infoSize = SegmentSize(infoId);
    info->textsId = textsId;
    info->texts = static_cast<const unsigned char*>(textsAddress);
    info->textsSize = SegmentSize(textsId);
    size_t last = static_cast<size_t>(GetChannelMaxNb()) * kChannelRecordSize;
    info->lastChannel = last + sizeof(uint16_t) <= info->infoSize
                            ? reinterpret_cast<const uint16_t*>(info->info + last)
                            : nullptr;
    StationLog(LOG_DEBUG, "ouverture mem. info voie clef(%d) et  mem. textes  clef (%d)",
               corekey::kChannelInfo, corekey::kChannelTexts);
    return 0;
}

void ChannelInfoClose(ChannelInfo* info) {
    if (info->info != nullptr) {
        shmdt(info->info);
    }
    if (info->texts != nullptr) {
        shmdt(info->texts);
    }
    *info = ChannelInfo{};
}

// Attaches one value memory (waiting for it) into the handle's id, address and size fields.
template <typename T>
void TakeValueMemory(const char* name, int key, int* id, const T** address, size_t* size) {
    Attached memory = WaitValueMemory(name, key);
    *id = memory.id;
    *address = static_cast<const T*>(memory.address);
    *size = memory.size;
}

int ChannelReadOpen(ChannelValues* values) {
    TakeValueMemory("Voie TOR", corekey::kDigitalValues, &values->digitalId, &values->digital,
                    &values->digitalSize);
    TakeValueMemory("Voie Entier", corekey::kIntegerValues, &values->integerId, &values->integer,
                    &values->integerSize);
    TakeValueMemory("Voie Long & IEEE", corekey::kFloatLongValues, &values->floatLongId,
                    &values->floatLong, &values->floatLongSize);
    TakeValueMemory("Consigne entiere", corekey::kIntegerSetpoints, &values->intSetpointId,
                    &values->intSetpoints, &values->intSetpointSize);
    TakeValueMemory("Consigne reelle", corekey::kRealSetpoints, &values->realSetpointId,
                    &values->realSetpoints, &values->realSetpointSize);
    return 0;
}

void ChannelReadClose(ChannelValues* values) {
    struct {
        const void* address;
        const char* text;
    } const memories[] = {
        {values->digital, "filemsg.lib : fermeture mem. TOR"},
        {values->integer, "filemsg.lib : fermeture mem. ENTIER"},
        {values->floatLong, "filemsg.lib : fermeture mem. LONG"},
        {values->intSetpoints, "filemsg.lib : fermeture mem. consigne entiere"},
        {values->realSetpoints, "filemsg.lib : fermeture mem. consigne reelle"},
    };
    for (const auto& memory : memories) {
        if (memory.address != nullptr) {
            shmdt(memory.address);
            StationLog(LOG_DEBUG, "%s", memory.text);
        }
    }
    *values = ChannelValues{};
}

// ---------------------------------------------------------------- information accessors

const char* GetChannelName(ChannelInfo* info, int channel) {
    const unsigned char* record = Record(info, channel);
    return record != nullptr ? BoundedText(record + kChannelNameOffset, kChannelNameMax) : nullptr;
}

int GetChannelType(ChannelInfo* info, int channel) {
    const unsigned char* record = Record(info, channel);
    if (record == nullptr) {
        return 0;
    }
    int type = Field<uint8_t>(record, kChannelTypeOffset) & 0x0F;
    return type <= kChannelTypeMax ? type : 0;
}

int IsChannelIndex(ChannelInfo* info, int channel, char letter) {
    if (letter < 'A' || letter > 'P') {
        return 0;
    }
    return (GetIndexes(info, channel) >> (letter - 'A')) & 1;
}

const char* GetChannelStateText(ChannelInfo* info, int channel, int state) {
    const unsigned char* record = Record(info, channel);
    if (record == nullptr) {
        return nullptr;
    }
    int number = Field<uint8_t>(record, state != 0 ? kChannelText1Offset : kChannelText0Offset);
    return Text(info, number);
}

const char* GetUnitText(ChannelInfo* info, int channel) {
    return GetChannelStateText(info, channel, 0);
}

const char* GetFormatText(ChannelInfo* info, int channel) {
    const unsigned char* record = Record(info, channel);
    return record != nullptr ? BoundedText(record + kChannelFormatOffset, kChannelFormatMax)
                             : nullptr;
}

float GetScaleCoefficient(ChannelInfo* info, int channel) {
    const unsigned char* record = Record(info, channel);
    return record != nullptr ? std::bit_cast<float>(Field<uint32_t>(record, kChannelCoefOffset))
                             : 1.0f;
}

float GetScaleOffset(ChannelInfo* info, int channel) {
    const unsigned char* record = Record(info, channel);
    return record != nullptr ? std::bit_cast<float>(Field<uint32_t>(record, kChannelShiftOffset))
                             : 0.0f;
}

int IsSynoptiqueView(ChannelInfo* info, int channel) {
    return FlagSet(info, channel, kFlagSynoptiqueView);
}
int IsValueTransmit(ChannelInfo* info, int channel) {
    return FlagSet(info, channel, kFlagValueTransmit);
}
int IsTimeStamped(ChannelInfo* info, int channel) {
    return FlagSet(info, channel, kFlagTimeStamped);
}
int IsUnsignedChannel(ChannelInfo* info, int channel) {
    return FlagSet(info, channel, kFlagUnsigned);
}
int IsChannelInhibit(ChannelInfo* info, int channel) {
    return FlagSet(info, channel, kFlagInhibit);
}
int IsChannelDefined(ChannelInfo* info, int channel) {
    return FlagSet(info, channel, kFlagDefined);
}
int IsChannelNO(ChannelInfo* info, int channel) {
    return FlagSet(info, channel, kFlagNO);
}
int IsChannelDefaut(ChannelInfo* info, int channel) {
    return FlagSet(info, channel, kFlagDefaut);
}
int IsSynoptiqueLcd(ChannelInfo* info, int channel) {
    return FlagSet(info, channel, kFlagSynoptiqueLcd);
}
int IsValueSaved(ChannelInfo* info, int channel) {
    return FlagSet(info, channel, kFlagValueSaved);
}
int IsChannelSrcManual(ChannelInfo* info, int channel) {
    return FlagSet(info, channel, kFlagSrcManual);
}

int IsMemoTransmit(ChannelInfo* info, int channel) {
    uint32_t flags = Flags(info, channel);
    return (flags & kFlagTimeStamped) != 0 && (flags & kFlagMemoNotTransmit) == 0 ? 1 : 0;
}

uint32_t GetInfoChannelInfo(ChannelInfo* info, int channel) {
    return Flags(info, channel);
}

int32_t GetChannelSrc(ChannelInfo* info, int channel) {
    const unsigned char* record = Record(info, channel);
    return record != nullptr ? Field<int32_t>(record, kChannelSrcOffset) : 0;
}

int GetChannelSrcNo(ChannelInfo* info, int channel) {
    const unsigned char* record = Record(info, channel);
    return record != nullptr ? Field<int16_t>(record, kChannelSrcNoOffset) : 0;
}

int GetIndexes(ChannelInfo* info, int channel) {
    const unsigned char* record = Record(info, channel);
    return record != nullptr ? Field<uint16_t>(record, kChannelIndexOffset) : 0;
}

int GetLastChannelNumber(ChannelInfo* info) {
    if (info == nullptr || info->info == nullptr) {
        StationLog(LOG_ERR, "adresse mem. info voie nulle");
        return 0;
    }
    return info->lastChannel != nullptr ? LoadShared(info->lastChannel) : 0;
}

// ---------------------------------------------------------------- value readers

int BoolChannelRead(ChannelValues* values, int channel) {
    NoInit(values->digital);
    long slot = ChannelSlot(channel, values->digitalSize, sizeof(uint8_t));
    return slot >= 0 && LoadShared(values->digital + slot) != 0 ? 1 : 0;
}

int ShortChannelRead(ChannelValues* values, int channel) {
    NoInit(values->integer);
    long slot = ChannelSlot(channel, values->integerSize, sizeof(int16_t));
    return slot >= 0 ? LoadShared(values->integer + slot) : 0;
}

int32_t LongChannelRead(ChannelValues* values, int channel) {
    NoInit(values->floatLong);
    long slot = ChannelSlot(channel, values->floatLongSize, sizeof(uint32_t), GetChannelMaxNb());
    return slot >= 0 ? static_cast<int32_t>(LoadShared(values->floatLong + slot)) : 0;
}

float FloatChannelRead(ChannelValues* values, int channel) {
    NoInit(values->floatLong);
    long slot = ChannelSlot(channel, values->floatLongSize, sizeof(uint32_t));
    return slot >= 0 ? std::bit_cast<float>(LoadShared(values->floatLong + slot)) : 0.0f;
}

int ShortConsigneRead(ChannelValues* values, int n) {
    NoInit(values->intSetpoints);
    if (n < 1 || n > kIntegerSetpointCount ||
        static_cast<size_t>(n) * sizeof(int16_t) > values->intSetpointSize) {
        StationLog(LOG_ERR, "filemsg.lib : acces consigne avec indice=%d", n);
        return 0;
    }
    return LoadShared(values->intSetpoints + n - 1);
}

float FloatConsigneRead(ChannelValues* values, int n) {
    NoInit(values->realSetpoints);
    if (n < 1 || n > kRealSetpointCount ||
        static_cast<size_t>(n) * sizeof(uint32_t) > values->realSetpointSize) {
        StationLog(LOG_ERR, "filemsg.lib : acces mem. consigne avec indice=%d", n);
        return 0.0f;
    }
    return std::bit_cast<float>(LoadShared(values->realSetpoints + n - 1));
}

// ---------------------------------------------------------------- process-wide handles

ChannelInfo* GetInfoChannelAddr() {
    return &StockageInfo;
}

ChannelValues* GetDataChannelAddr() {
    return &StockageDonnee;
}

int PlcReadBool(int channel) {
    return GetChannelType(&StockageInfo, channel) != 0 ? BoolChannelRead(&StockageDonnee, channel)
                                                       : 0;
}

int PlcReadShort(int channel) {
    return GetChannelType(&StockageInfo, channel) != 0 ? ShortChannelRead(&StockageDonnee, channel)
                                                       : 0;
}

int32_t PlcReadLong(int channel) {
    return GetChannelType(&StockageInfo, channel) != 0 ? LongChannelRead(&StockageDonnee, channel)
                                                       : 0;
}

float PlcReadFloat(int channel) {
    return GetChannelType(&StockageInfo, channel) != 0 ? FloatChannelRead(&StockageDonnee, channel)
                                                       : 0.0f;
}

uint16_t PlcReadPointValueShort(int n) {
    return static_cast<uint16_t>(ShortConsigneRead(&StockageDonnee, n));
}

float PlcReadPointValueFloat(int n) {
    return FloatConsigneRead(&StockageDonnee, n);
}

// ---------------------------------------------------------------- Modbus addresses

namespace {

struct ModbusMap {
    int channels = 0;  // 0 until read
    bool m350z = false;
};
ModbusMap g_modbus;

const ModbusMap& Map() {
    if (g_modbus.channels == 0) {
        g_modbus.channels = GetChannelMaxNb();
        g_modbus.m350z = GetM350ZCompatibility() == 1;
    }
    return g_modbus;
}

bool ModbusChannelOk(int channel, int line) {
    if (channel < 1 || channel > Map().channels) {
        StationLog(LOG_ERR, "divers.lib : modbusaddr erreur No Voie %d line %d", channel, line);
        return false;
    }
    return true;
}

constexpr int kBoolBase = 0x1000;
constexpr int kIntBase = 0x1600;
constexpr int kIntBaseM350Z = 0x1400;
constexpr int kRealBase = 0x5000;
constexpr int kCounterBase = 0x3000;
constexpr int kCounterBaseM350Z = 0x1800;

// Channel of `address` in a range of one register per channel, or 0.
int InSingleRange(int address, int base, int channels) {
    return address >= base && address < base + channels ? address - base + 1 : 0;
}

// Channel of `address` in a range of two registers per channel, or 0.
int InPairRange(int address, int base, int channels) {
    return address >= base && address < base + 2 * channels ? (address - base) / 2 + 1 : 0;
}

}  // namespace

uint16_t GetBoolModbusAddr(int channel) {
    return ModbusChannelOk(channel, 26) ? static_cast<uint16_t>(kBoolBase + channel - 1) : 0;
}

uint16_t GetIntModbusAddr(int channel) {
    if (!ModbusChannelOk(channel, 35)) {
        return 0;
    }
    return static_cast<uint16_t>((Map().m350z ? kIntBaseM350Z : kIntBase) + channel - 1);
}

uint16_t GetRealModbusAddr(int channel) {
    return ModbusChannelOk(channel, 46) ? static_cast<uint16_t>(kRealBase + 2 * (channel - 1)) : 0;
}

uint16_t GetCounterModbusAddr(int channel) {
    if (!ModbusChannelOk(channel, 55)) {
        return 0;
    }
    return static_cast<uint16_t>((Map().m350z ? kCounterBaseM350Z : kCounterBase) +
                                 2 * (channel - 1));
}

uint16_t GetModbusAddr(int channel, int type) {
    switch (type) {
        case 2:
        case 4:
        case 7:
            return GetIntModbusAddr(channel);
        case 1:
        case 3:
            return GetBoolModbusAddr(channel);
        case 5:
        case 6:
            return GetCounterModbusAddr(channel);
        default:
            StationLog(LOG_ERR, "divers.lib: error in conversion no channel(%d) type=%d", channel,
                       type);
            return 0;
    }
}

int GetModbusAddrChannel(int address) {
    const ModbusMap& map = Map();
    int n = map.channels;
    if (int channel = InSingleRange(address, kBoolBase, n)) {
        return channel;
    }
    if (int channel = InPairRange(address, kRealBase, n)) {
        return channel;
    }
    if (map.m350z) {
        if (int channel = InSingleRange(address, kIntBaseM350Z, n)) {
            return channel;
        }
        return InPairRange(address, kCounterBaseM350Z, n);
    }
    if (int channel = InPairRange(address, kCounterBase, n)) {
        return channel;
    }
    return InSingleRange(address, kIntBase, n);
}

void ResetModbusAddr() {
    g_modbus = ModbusMap{};
}
