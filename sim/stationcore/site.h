// Station description of the core stand-in: the channels, texts, set-points and frame map of a
// site, read from a line-based text file (format in README.md), before anything is created.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr int kSiteMinChannels = 50;  // same bounds as the station setting CHANNEL_MAX_NB
constexpr int kSiteMaxChannels = 1500;
constexpr int kSiteTextCount = 100;  // texts memory: 100 texts of 21 bytes
constexpr int kSiteTextMax = 20;
constexpr int kSiteNameMax = 30;
constexpr int kSiteFormatMax = 20;
constexpr int kSiteIntSetpoints = 128;
constexpr int kSiteRealSetpoints = 64;

// Flag word bits of a channel record (the stand-in's own names, apart from the library's).
namespace site {
constexpr uint32_t kFlagSynoptic = 1u << 0;
constexpr uint32_t kFlagNoMemo = 1u << 1;
constexpr uint32_t kFlagTransmit = 1u << 2;
constexpr uint32_t kFlagTimestamped = 1u << 3;
constexpr uint32_t kFlagUnsigned = 1u << 4;
constexpr uint32_t kFlagInhibited = 1u << 5;
constexpr uint32_t kFlagDefined = 1u << 6;
constexpr uint32_t kFlagNormallyOpen = 1u << 8;
constexpr uint32_t kFlagFault = 1u << 9;
constexpr uint32_t kFlagLcd = 1u << 10;
constexpr uint32_t kFlagSaved = 1u << 11;
constexpr uint32_t kFlagManual = 1u << 12;
}  // namespace site

struct SiteChannel {
    int number = 0;
    uint8_t typeByte = 0;  // as stored at offset 52 (type in the low 4 bits)
    std::string name;
    std::string format;
    uint32_t flags = site::kFlagDefined;
    int text0 = 0;  // unit, or text of state 0 (1..100, 0 = none)
    int text1 = 0;  // text of state 1
    uint16_t indexes = 0;
    float coefficient = 1.0f;
    float offset = 0.0f;
    int32_t source = 0;
    int16_t sourceNumber = 0;
    bool hasValue = false;
    double value = 0.0;  // initial value, stored by the channel's type
    bool hasFloat = false;
    float floatValue = 0.0f;  // explicit initial float, overrides the one derived from value
    int memo = -1;            // memo lines of a time-stamped channel; -1: the station's default
};

struct SiteSetpoint {
    bool real = false;
    int number = 0;
    double value = 0.0;
};

// (communication, frame, index) -> channel.
struct SiteFrameLink {
    int com = 0;
    int frame = 0;
    int index = 0;
    int channel = 0;
};

// A line the timestamped-data tables hold from the start: `repeat` lines, the time and the
// value going up by one from each to the next.
struct SiteLine {
    enum Table { kStation, kComm, kMemo } table = kStation;
    int channel = 0;     // station log and memo lines
    uint16_t event = 0;  // communication log: event word
    uint32_t time = 0;   // seconds since 1970
    uint32_t value = 0;  // raw value, or the communication log's parameter word
    int repeat = 1;
    int sourceLine = 0;  // line of the site file
};

struct SiteCue {
    int line = 0;
    std::string text;  // as for the Cue= argument
};

struct Site {
    // N: given by a `channels` line, else the smallest station (50) that holds every channel
    // the site names.
    int channelCount = kSiteMinChannels;
    bool channelCountGiven = false;
    int lastChannel = -1;            // -1: the highest channel declared
    std::vector<std::string> texts;  // text t at texts[t - 1]
    std::vector<SiteChannel> channels;
    std::vector<SiteSetpoint> setpoints;
    std::vector<SiteFrameLink> frameMap;
    std::vector<SiteLine> lines;
    std::vector<SiteCue> cues;
};

// Reads a site description. 0 on success; otherwise the number of faulty lines, each described
// in `errors` as "<origin>:<line>: <what>". A site with errors must not be used. Whether the
// channels fit the station's count is checked apart (SiteFitChannels): the station INI may
// settle the count.
int ParseSite(const std::string& text, const std::string& origin, Site& site,
              std::vector<std::string>& errors);
int LoadSiteFile(const std::string& path, Site& site, std::vector<std::string>& errors);

// Type number of a type name ("ETOR", "EANA", ...), or -1.
int SiteTypeByName(const std::string& name);
const char* SiteTypeName(int type);

// Channel fed by (com, frame, index), or 0.
int SiteFrameChannel(const Site& site, int com, int frame, int index);

// Checks that every channel and frame link of the site lies within `count` channels; the number
// of those that do not, each described in `errors`.
int SiteFitChannels(const Site& site, int count, std::vector<std::string>& errors);

// Last channel number published in the information memory.
int SiteLastChannel(const Site& site);
