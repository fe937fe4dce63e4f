// Read access to the channel database that chanmgr publishes in shared memory: channel
// configuration and texts, current values and set-points, and the mapping between channel
// numbers and the station's Modbus register addresses. Values change only by messages
// (plcutilities); nothing here writes a memory.
#pragma once

#include <cstddef>
#include <cstdint>

// Layout of a channel information record (80 bytes, native byte order).
constexpr int kChannelRecordSize = 80;
constexpr int kChannelNameOffset = 0;  // 31 bytes, at most 30 characters
constexpr int kChannelNameMax = 30;
constexpr int kChannelFormatOffset = 31;  // 21 bytes, at most 20 characters
constexpr int kChannelFormatMax = 20;
constexpr int kChannelTypeOffset = 52;   // type in the low 4 bits
constexpr int kChannelFlagsOffset = 56;  // 32-bit flag word
constexpr int kChannelText0Offset = 60;  // text number of the unit / of state 0
constexpr int kChannelText1Offset = 61;  // text number of state 1
constexpr int kChannelIndexOffset = 62;  // 16-bit index letters A to P
constexpr int kChannelCoefOffset = 64;   // float
constexpr int kChannelShiftOffset = 68;  // float
constexpr int kChannelSrcOffset = 72;    // 32-bit
constexpr int kChannelSrcNoOffset = 76;  // 16-bit signed

// Texts memory: 100 texts of 21 bytes, at most 20 characters each.
constexpr int kChannelTextCount = 100;
constexpr int kChannelTextSize = 21;

// Flag word bits.
constexpr uint32_t kFlagSynoptiqueView = 1u << 0;
constexpr uint32_t kFlagMemoNotTransmit = 1u << 1;
constexpr uint32_t kFlagValueTransmit = 1u << 2;
constexpr uint32_t kFlagTimeStamped = 1u << 3;
constexpr uint32_t kFlagUnsigned = 1u << 4;
constexpr uint32_t kFlagInhibit = 1u << 5;
constexpr uint32_t kFlagDefined = 1u << 6;
constexpr uint32_t kFlagNO = 1u << 8;
constexpr uint32_t kFlagDefaut = 1u << 9;
constexpr uint32_t kFlagSynoptiqueLcd = 1u << 10;
constexpr uint32_t kFlagValueSaved = 1u << 11;
constexpr uint32_t kFlagSrcManual = 1u << 12;

// Channel types, and their short names (index = type; 10 "DFT" is the last entry).
constexpr int kChannelTypeMax = 9;
extern const char* const type_name_tab[11];

constexpr int kIntegerSetpointCount = 128;
constexpr int kRealSetpointCount = 64;

// The channel-information handle: the information memory (records, then the last channel
// number) and the texts memory.
struct ChannelInfo {
    int infoId = -1;
    const unsigned char* info = nullptr;
    size_t infoSize = 0;
    int textsId = -1;
    const unsigned char* texts = nullptr;
    size_t textsSize = 0;
    const uint16_t* lastChannel = nullptr;  // null when the memory is too small to hold it
};

// The channel-value handle: the five value memories, attached read-only.
struct ChannelValues {
    int digitalId = -1;  // "Voie TOR": 1 byte per channel
    const uint8_t* digital = nullptr;
    size_t digitalSize = 0;
    int integerId = -1;  // "Voie Entier": int16 per channel
    const int16_t* integer = nullptr;
    size_t integerSize = 0;
    int floatLongId = -1;  // "Voie Long & IEEE": N floats, then N longs
    const uint32_t* floatLong = nullptr;
    size_t floatLongSize = 0;
    int intSetpointId = -1;  // "Consigne entiere": 128 x int16
    const int16_t* intSetpoints = nullptr;
    size_t intSetpointSize = 0;
    int realSetpointId = -1;  // "Consigne reelle": 64 x float
    const uint32_t* realSetpoints = nullptr;
    size_t realSetpointSize = 0;
};

// 0; -1 information memory not found; -2 not attached; -3 texts memory not found; -4 not
// attached (on -3 and -4 the information memory is detached again).
int ChannelInfoOpen(ChannelInfo* info);
void ChannelInfoClose(ChannelInfo* info);
// Attaches the five value memories, waiting for each up to 300 s of uptime (100 ms polls); a
// memory still missing then is fatal. 0.
int ChannelReadOpen(ChannelValues* values);
void ChannelReadClose(ChannelValues* values);

// Information accessors: a channel outside 1 to N, a record beyond the memory or an unattached
// memory gives the fallback (null, 0, 1.0 for the coefficient).
const char* GetChannelName(ChannelInfo* info, int channel);
int GetChannelType(ChannelInfo* info, int channel);
int IsChannelIndex(ChannelInfo* info, int channel, char letter);
const char* GetChannelStateText(ChannelInfo* info, int channel, int state);
const char* GetUnitText(ChannelInfo* info, int channel);
const char* GetFormatText(ChannelInfo* info, int channel);
float GetScaleCoefficient(ChannelInfo* info, int channel);
float GetScaleOffset(ChannelInfo* info, int channel);
int IsSynoptiqueView(ChannelInfo* info, int channel);
int IsValueTransmit(ChannelInfo* info, int channel);
int IsTimeStamped(ChannelInfo* info, int channel);
int IsUnsignedChannel(ChannelInfo* info, int channel);
int IsChannelInhibit(ChannelInfo* info, int channel);
int IsChannelDefined(ChannelInfo* info, int channel);
int IsChannelNO(ChannelInfo* info, int channel);
int IsChannelDefaut(ChannelInfo* info, int channel);
int IsSynoptiqueLcd(ChannelInfo* info, int channel);
int IsValueSaved(ChannelInfo* info, int channel);
int IsChannelSrcManual(ChannelInfo* info, int channel);
int IsMemoTransmit(ChannelInfo* info, int channel);
uint32_t GetInfoChannelInfo(ChannelInfo* info, int channel);
int32_t GetChannelSrc(ChannelInfo* info, int channel);
int GetChannelSrcNo(ChannelInfo* info, int channel);
int GetIndexes(ChannelInfo* info, int channel);
int GetLastChannelNumber(ChannelInfo* info);

// Value readers: 0 (logged) for a channel outside 1 to N. Fatal before ChannelReadOpen.
int BoolChannelRead(ChannelValues* values, int channel);
int ShortChannelRead(ChannelValues* values, int channel);
int32_t LongChannelRead(ChannelValues* values, int channel);
float FloatChannelRead(ChannelValues* values, int channel);
int ShortConsigneRead(ChannelValues* values, int n);    // n = 1 to 128
float FloatConsigneRead(ChannelValues* values, int n);  // n = 1 to 64

// The process-wide handles (filled by PlcInitMsg) and the readers on them: a channel of type 0
// reads as 0.
ChannelInfo* GetInfoChannelAddr();
ChannelValues* GetDataChannelAddr();
int PlcReadBool(int channel);
int PlcReadShort(int channel);
int32_t PlcReadLong(int channel);
float PlcReadFloat(int channel);
uint16_t PlcReadPointValueShort(int n);
float PlcReadPointValueFloat(int n);

// Modbus register addresses of channel n (0, logged, outside 1 to N). The number of channels and
// the map (normal or M350Z) are read once, on first use, until ResetModbusAddr.
uint16_t GetBoolModbusAddr(int channel);
uint16_t GetIntModbusAddr(int channel);
uint16_t GetRealModbusAddr(int channel);
uint16_t GetCounterModbusAddr(int channel);
// By channel type: 2, 4, 7 integer; 1, 3 boolean; 5, 6 counter; others 0 (logged).
uint16_t GetModbusAddr(int channel, int type);
// Channel of an address (either register of a pair), or 0.
int GetModbusAddrChannel(int address);
void ResetModbusAddr();
