#include "chanimage.h"

#include <cmath>
#include <cstring>

#include "stationcore.h"

namespace {

template <typename T>
void Put(uint8_t* at, T value) {
    std::memcpy(at, &value, sizeof value);
}

template <typename T>
T Get(const uint8_t* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

bool InRange(const ChannelImage& image, int channel) {
    return channel >= 1 && channel <= image.channelCount;
}

const uint8_t* Record(const ChannelImage& image, int channel) {
    return image.area[kAreaInfo] + (channel - 1) * kRecordSize;
}

bool IsAnalogue(int type) {
    return type == 2 || type == 4 || type == 7;
}

float Engineering(const ChannelImage& image, int channel, double raw) {
    const uint8_t* record = Record(image, channel);
    return static_cast<float>(raw * Get<float>(record + kRecCoefficient) +
                              Get<float>(record + kRecOffset));
}

// Copies at most `width` characters and terminates (the area is zeroed, but be explicit).
void PutText(uint8_t* at, const std::string& text, size_t width) {
    size_t n = std::min(text.size(), width);
    std::memcpy(at, text.data(), n);
    at[n] = 0;
}

// Text t of the texts area, or null for 0 / above 100 / unterminated.
const char* TextOf(const ChannelImage& image, int number) {
    if (number < 1 || number > kSiteTextCount) {
        return nullptr;
    }
    const char* text =
        reinterpret_cast<const char*>(image.area[kAreaTexts]) + (number - 1) * kTextSize;
    if (std::memchr(text, 0, kTextSize) == nullptr || text[0] == 0) {
        return nullptr;
    }
    return text;
}

}  // namespace

int ImageAreaKey(int area) {
    static const int keys[kAreaCount] = {corekey::kChannelInfo,     corekey::kChannelTexts,
                                         corekey::kDigitalValues,   corekey::kIntegerValues,
                                         corekey::kFloatLongValues, corekey::kIntegerSetpoints,
                                         corekey::kRealSetpoints};
    return area >= 0 && area < kAreaCount ? keys[area] : -1;
}

const char* ImageAreaName(int area) {
    static const char* const names[kAreaCount] = {
        "info voie",        "textes",           "Voie TOR",       "Voie Entier",
        "Voie Long & IEEE", "Consigne entiere", "Consigne reelle"};
    return area >= 0 && area < kAreaCount ? names[area] : "?";
}

size_t ImageAreaSize(int area, int channelCount) {
    size_t n = static_cast<size_t>(channelCount);
    switch (area) {
        case kAreaInfo:
            return n * kRecordSize + 2;
        case kAreaTexts:
            return kSiteTextCount * kTextSize;
        case kAreaDigital:
            return n;
        case kAreaInteger:
            return n * 2;
        case kAreaFloatLong:
            return n * 8;
        case kAreaIntSetpoints:
            return kSiteIntSetpoints * 2;
        case kAreaRealSetpoints:
            return kSiteRealSetpoints * 4;
        default:
            return 0;
    }
}

HeapImage::HeapImage(int channelCount) {
    image.channelCount = channelCount;
    for (int area = 0; area < kAreaCount; ++area) {
        storage_[area].assign((ImageAreaSize(area, channelCount) + 3) / 4, 0);
        image.area[area] = reinterpret_cast<uint8_t*>(storage_[area].data());
    }
}

void ImageFill(ChannelImage& image, const Site& site) {
    for (size_t t = 0; t < site.texts.size() && t < static_cast<size_t>(kSiteTextCount); ++t) {
        PutText(image.area[kAreaTexts] + t * kTextSize, site.texts[t], kSiteTextMax);
    }
    for (const SiteChannel& c : site.channels) {
        if (!InRange(image, c.number)) {
            continue;
        }
        uint8_t* record = image.area[kAreaInfo] + (c.number - 1) * kRecordSize;
        PutText(record + kRecName, c.name, kSiteNameMax);
        PutText(record + kRecFormat, c.format, kSiteFormatMax);
        record[kRecType] = c.typeByte;
        Put<uint32_t>(record + kRecFlags, c.flags);
        record[kRecText0] = static_cast<uint8_t>(c.text0);
        record[kRecText1] = static_cast<uint8_t>(c.text1);
        Put<uint16_t>(record + kRecIndexes, c.indexes);
        Put<float>(record + kRecCoefficient, c.coefficient);
        Put<float>(record + kRecOffset, c.offset);
        Put<int32_t>(record + kRecSource, c.source);
        Put<int16_t>(record + kRecSourceNumber, c.sourceNumber);

        if (c.hasValue) {
            int type = ImageChannelType(image, c.number);
            if (type == 1 || type == 3) {
                ImageWriteBool(image, c.number, c.value != 0);
            } else if (IsAnalogue(type)) {
                // Unsigned channels hold 0..65535 in the same 16 bits.
                long raw = std::lround(std::fmin(std::fmax(c.value, -32768.0), 65535.0));
                ImageWriteShort(image, c.number, static_cast<int16_t>(static_cast<uint16_t>(raw)));
            } else if (type == 5 || type == 6) {
                long long raw =
                    std::llround(std::fmin(std::fmax(c.value, -2147483648.0), 4294967295.0));
                ImageWriteLong(image, c.number, static_cast<int32_t>(static_cast<uint32_t>(raw)));
            } else {
                ImageWriteFloat(image, c.number, static_cast<float>(c.value));
            }
        }
        if (c.hasFloat) {
            reinterpret_cast<float*>(image.area[kAreaFloatLong])[c.number - 1] = c.floatValue;
        }
    }
    Put<uint16_t>(image.area[kAreaInfo] + image.channelCount * kRecordSize,
                  static_cast<uint16_t>(SiteLastChannel(site)));
    for (const SiteSetpoint& s : site.setpoints) {
        if (s.real) {
            ImageWriteRealSetpoint(image, s.number, static_cast<float>(s.value));
        } else {
            long raw = std::lround(s.value);
            ImageWriteIntSetpoint(image, s.number,
                                  static_cast<int16_t>(static_cast<uint16_t>(raw)));
        }
    }
}

int ImageChannelType(const ChannelImage& image, int channel) {
    if (!InRange(image, channel)) {
        return 0;
    }
    int type = Record(image, channel)[kRecType] & 0x0F;
    return type > 9 ? 0 : type;
}

uint32_t ImageChannelFlags(const ChannelImage& image, int channel) {
    return InRange(image, channel) ? Get<uint32_t>(Record(image, channel) + kRecFlags) : 0;
}

// Value stores are single aligned stores: modules read these words with no lock.
int ImageWriteBool(ChannelImage& image, int channel, bool value) {
    if (!InRange(image, channel)) {
        return -1;
    }
    image.area[kAreaDigital][channel - 1] = value ? 1 : 0;
    return 0;
}

int ImageWriteShort(ChannelImage& image, int channel, int16_t value) {
    if (!InRange(image, channel)) {
        return -1;
    }
    reinterpret_cast<int16_t*>(image.area[kAreaInteger])[channel - 1] = value;
    if (IsAnalogue(ImageChannelType(image, channel))) {
        double raw = (ImageChannelFlags(image, channel) & site::kFlagUnsigned) != 0
                         ? static_cast<double>(static_cast<uint16_t>(value))
                         : static_cast<double>(value);
        reinterpret_cast<float*>(image.area[kAreaFloatLong])[channel - 1] =
            Engineering(image, channel, raw);
    }
    return 0;
}

int ImageWriteLong(ChannelImage& image, int channel, int32_t value) {
    if (!InRange(image, channel)) {
        return -1;
    }
    reinterpret_cast<int32_t*>(image.area[kAreaFloatLong])[image.channelCount + channel - 1] =
        value;
    if (IsAnalogue(ImageChannelType(image, channel))) {
        reinterpret_cast<float*>(image.area[kAreaFloatLong])[channel - 1] =
            Engineering(image, channel, static_cast<double>(value));
    }
    return 0;
}

int ImageWriteFloat(ChannelImage& image, int channel, float value) {
    if (!InRange(image, channel)) {
        return -1;
    }
    reinterpret_cast<float*>(image.area[kAreaFloatLong])[channel - 1] = value;
    return 0;
}

int ImageWriteIntSetpoint(ChannelImage& image, int number, int16_t value) {
    if (number < 1 || number > kSiteIntSetpoints) {
        return -1;
    }
    reinterpret_cast<int16_t*>(image.area[kAreaIntSetpoints])[number - 1] = value;
    return 0;
}

int ImageWriteRealSetpoint(ChannelImage& image, int number, float value) {
    if (number < 1 || number > kSiteRealSetpoints) {
        return -1;
    }
    reinterpret_cast<float*>(image.area[kAreaRealSetpoints])[number - 1] = value;
    return 0;
}

bool ImageReadBool(const ChannelImage& image, int channel) {
    return InRange(image, channel) && image.area[kAreaDigital][channel - 1] != 0;
}

int16_t ImageReadShort(const ChannelImage& image, int channel) {
    return InRange(image, channel)
               ? reinterpret_cast<const int16_t*>(image.area[kAreaInteger])[channel - 1]
               : 0;
}

int32_t ImageReadLong(const ChannelImage& image, int channel) {
    return InRange(image, channel)
               ? reinterpret_cast<const int32_t*>(
                     image.area[kAreaFloatLong])[image.channelCount + channel - 1]
               : 0;
}

float ImageReadFloat(const ChannelImage& image, int channel) {
    return InRange(image, channel)
               ? reinterpret_cast<const float*>(image.area[kAreaFloatLong])[channel - 1]
               : 0.0f;
}

bool IsFloatFormat(const char* format) {
    int conversions = 0;
    for (const char* p = format; *p != 0; ++p) {
        if (*p != '%') {
            continue;
        }
        ++p;
        if (*p == '%') {
            continue;
        }
        while (*p != 0 && std::strchr("-+ #0", *p) != nullptr) {
            ++p;
        }
        while (*p >= '0' && *p <= '9') {
            ++p;
        }
        if (*p == '.') {
            ++p;
            while (*p >= '0' && *p <= '9') {
                ++p;
            }
        }
        if (*p == 0 || std::strchr("fFeEgG", *p) == nullptr) {
            return false;
        }
        ++conversions;
    }
    return conversions == 1;
}

void ImagePrint(const ChannelImage& image, FILE* out) {
    for (int channel = 1; channel <= image.channelCount; ++channel) {
        const uint8_t* record = Record(image, channel);
        char name[kSiteNameMax + 1];
        char format[kSiteFormatMax + 1];
        std::memcpy(name, record + kRecName, kSiteNameMax);
        name[kSiteNameMax] = 0;
        std::memcpy(format, record + kRecFormat, kSiteFormatMax);
        format[kSiteFormatMax] = 0;
        int type = ImageChannelType(image, channel);
        if (name[0] == 0 && record[kRecType] == 0) {
            continue;
        }
        const char* text0 = TextOf(image, record[kRecText0]);
        const char* text1 = TextOf(image, record[kRecText1]);
        char value[96];
        bool hasUnit = false;
        if (type == 1 || type == 3) {
            bool state = ImageReadBool(image, channel);
            const char* text = state ? text1 : text0;
            std::snprintf(value, sizeof value, "%d%s%s", state ? 1 : 0, text ? " " : "",
                          text ? text : "");
        } else if (type == 6) {
            std::snprintf(value, sizeof value, "%u s",
                          static_cast<uint32_t>(ImageReadLong(image, channel)));
        } else {
            double x = 0;
            if (IsAnalogue(type)) {
                x = ImageReadFloat(image, channel);
            } else if (type == 5) {
                x = static_cast<uint32_t>(ImageReadLong(image, channel)) *
                    static_cast<double>(Get<float>(record + kRecCoefficient));
            } else {
                x = ImageReadFloat(image, channel);
            }
            // The format comes from the site: only a single float conversion is used.
            if (IsFloatFormat(format)) {
                std::snprintf(value, sizeof value, format, x);
            } else {
                std::snprintf(value, sizeof value, "%.2f", x);
            }
            hasUnit = text0 != nullptr;
        }
        std::fprintf(out, "%4d  %-30s  %-7s  %s%s%s\n", channel, name,
                     record[kRecType] & 0x0F ? SiteTypeName(type) : "-", value, hasUnit ? " " : "",
                     hasUnit ? text0 : "");
    }
    for (int n = 1; n <= kSiteIntSetpoints; ++n) {
        int16_t v = reinterpret_cast<const int16_t*>(image.area[kAreaIntSetpoints])[n - 1];
        if (v != 0) {
            std::fprintf(out, "setpoint int %d = %d\n", n, v);
        }
    }
    for (int n = 1; n <= kSiteRealSetpoints; ++n) {
        float v = reinterpret_cast<const float*>(image.area[kAreaRealSetpoints])[n - 1];
        if (v != 0.0f) {
            std::fprintf(out, "setpoint real %d = %g\n", n, v);
        }
    }
}
