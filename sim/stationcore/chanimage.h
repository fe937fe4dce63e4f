// The seven channel memories of the core as the modules see them: record layout, texts, value
// and set-point areas. The stand-in fills them from a site and writes values into them; the
// same code works over shared memory or over plain buffers (print mode, tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "site.h"

constexpr size_t kRecordSize = 80;
constexpr size_t kTextSize = 21;

// Record field offsets.
constexpr size_t kRecName = 0;
constexpr size_t kRecFormat = 31;
constexpr size_t kRecType = 52;
constexpr size_t kRecFlags = 56;
constexpr size_t kRecText0 = 60;
constexpr size_t kRecText1 = 61;
constexpr size_t kRecIndexes = 62;
constexpr size_t kRecCoefficient = 64;
constexpr size_t kRecOffset = 68;
constexpr size_t kRecSource = 72;
constexpr size_t kRecSourceNumber = 76;

enum ImageArea {
    kAreaInfo,           // 22796: N records, then the last channel number
    kAreaTexts,          // 22799
    kAreaDigital,        // 22787
    kAreaInteger,        // 22788
    kAreaFloatLong,      // 22789: N floats, then N longs
    kAreaIntSetpoints,   // 22790
    kAreaRealSetpoints,  // 22791
    kAreaCount
};

struct ChannelImage {
    int channelCount = 0;
    uint8_t* area[kAreaCount] = {};
};

// Key and byte size of each area for N channels.
int ImageAreaKey(int area);
size_t ImageAreaSize(int area, int channelCount);
const char* ImageAreaName(int area);

// Plain buffers holding a whole image (print mode, tests).
struct HeapImage {
    explicit HeapImage(int channelCount);
    ChannelImage image;

  private:
    std::vector<uint32_t> storage_[kAreaCount];  // 32-bit elements keep the areas aligned
};

// Writes records, texts, the last channel number, initial values and set-points. The areas
// must be zeroed beforehand.
void ImageFill(ChannelImage& image, const Site& site);

// Type of a channel as the modules read it (low 4 bits, above 9 reads as 0); 0 outside 1..N.
int ImageChannelType(const ChannelImage& image, int channel);
uint32_t ImageChannelFlags(const ChannelImage& image, int channel);

// Value writes, as the core applies them: the value goes to the memory of its own kind, so it
// reads back exactly as written; an analogue channel (types 2, 4, 7) also gets its engineering
// value, raw x coefficient + offset, in its float, which is what the station displays.
// 0, or -1 for a channel outside 1..N.
int ImageWriteBool(ChannelImage& image, int channel, bool value);
int ImageWriteShort(ChannelImage& image, int channel, int16_t value);
int ImageWriteLong(ChannelImage& image, int channel, int32_t value);
int ImageWriteFloat(ChannelImage& image, int channel, float value);
// 0, or -1 for a number outside 1..128 / 1..64.
int ImageWriteIntSetpoint(ChannelImage& image, int number, int16_t value);
int ImageWriteRealSetpoint(ChannelImage& image, int number, float value);

bool ImageReadBool(const ChannelImage& image, int channel);
int16_t ImageReadShort(const ChannelImage& image, int channel);
int32_t ImageReadLong(const ChannelImage& image, int channel);
float ImageReadFloat(const ChannelImage& image, int channel);

// True when a display format takes exactly one floating-point argument ("%.2f", "%8.3e", ...),
// so that it can be given a double safely.
bool IsFloatFormat(const char* format);

// One line per channel that has a record (a name or a type): number, name, type, value with
// its unit, the state text for digital channels. Then the set-points that are not 0.
void ImagePrint(const ChannelImage& image, FILE* out);
