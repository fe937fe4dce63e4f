#include "site.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "tsdcore.h"

namespace {

const char* const kTypeNames[] = {"Unknown", "ETOR", "EANA", "STOR", "SANA",
                                  "CPT",     "CHO",  "DEB",  "TE",   "GA"};

struct FlagName {
    const char* name;
    uint32_t bit;
};
const FlagName kFlagNames[] = {
    {"synoptic", site::kFlagSynoptic}, {"nomemo", site::kFlagNoMemo},
    {"transmit", site::kFlagTransmit}, {"timestamped", site::kFlagTimestamped},
    {"unsigned", site::kFlagUnsigned}, {"inhibited", site::kFlagInhibited},
    {"defined", site::kFlagDefined},   {"no", site::kFlagNormallyOpen},
    {"fault", site::kFlagFault},       {"lcd", site::kFlagLcd},
    {"saved", site::kFlagSaved},       {"manual", site::kFlagManual},
};

// A channel as read, with its texts still as words: they get their numbers once every
// explicit `text` line is known.
struct PendingChannel {
    SiteChannel channel;
    int line = 0;
    std::string text0;
    std::string text1;
    bool hasText0 = false;
    bool hasText1 = false;
};

class Parser {
  public:
    Parser(const std::string& origin, Site& site, std::vector<std::string>& errors)
        : origin_(origin), site_(site), errors_(errors) {}

    void Line(int number, const std::string& line);
    int Finish();

  private:
    void Error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    bool Split(const std::string& line, std::vector<std::string>& words);
    bool Int(const std::string& word, long long low, long long high, long long& out,
             const char* what);
    bool Real(const std::string& word, double& out, const char* what);
    void Channel(const std::vector<std::string>& words);
    void Setpoint(const std::vector<std::string>& words);
    void Frame(const std::vector<std::string>& words);
    void Text(const std::vector<std::string>& words);
    void TableLine(const std::vector<std::string>& words);
    void Cue(const std::vector<std::string>& words);
    bool Flags(const std::string& value, uint32_t& flags);
    int TextNumber(const std::string& text, int line);

    const std::string& origin_;
    Site& site_;
    std::vector<std::string>& errors_;
    int line_ = 0;
    int faulty_ = 0;
    int lastFaultyLine_ = -1;
    std::vector<PendingChannel> pending_;
    std::vector<int> explicitTextLines_;
};

void Parser::Error(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    char line[400];
    std::snprintf(line, sizeof line, "%s:%d: %s", origin_.c_str(), line_, text);
    errors_.emplace_back(line);
    if (lastFaultyLine_ != line_) {
        lastFaultyLine_ = line_;
        ++faulty_;
    }
}

// Words separated by blanks; "..." groups blanks (\" and \\ inside); # outside quotes ends the
// line. Quotes may appear inside a word: unit="deg C" is the word unit=deg C.
bool Parser::Split(const std::string& line, std::vector<std::string>& words) {
    words.clear();
    std::string word;
    bool inWord = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '"') {
            inWord = true;
            ++i;
            for (;; ++i) {
                if (i >= line.size()) {
                    Error("unterminated quoted text");
                    return false;
                }
                if (line[i] == '"') {
                    break;
                }
                if (line[i] == '\\' && i + 1 < line.size() &&
                    (line[i + 1] == '"' || line[i + 1] == '\\')) {
                    ++i;
                }
                word += line[i];
            }
        } else if (c == '#') {
            break;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            if (inWord) {
                words.push_back(word);
                word.clear();
                inWord = false;
            }
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) {
        words.push_back(word);
    }
    return true;
}

bool Parser::Int(const std::string& word, long long low, long long high, long long& out,
                 const char* what) {
    errno = 0;
    char* end = nullptr;
    // Decimal, or hexadecimal after "0x": a person's leading zero must not make it octal.
    const char* digits = word.c_str() + (word[0] == '-' || word[0] == '+' ? 1 : 0);
    int base = digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X') ? 16 : 10;
    long long value = std::strtoll(word.c_str(), &end, base);
    if (word.empty() || *end != '\0' || errno != 0 || value < low || value > high) {
        Error("%s \"%s\" is not a number from %lld to %lld", what, word.c_str(), low, high);
        return false;
    }
    out = value;
    return true;
}

bool Parser::Real(const std::string& word, double& out, const char* what) {
    errno = 0;
    char* end = nullptr;
    double value = std::strtod(word.c_str(), &end);
    if (word.empty() || *end != '\0' || errno != 0 || !std::isfinite(value)) {
        Error("%s \"%s\" is not a number", what, word.c_str());
        return false;
    }
    out = value;
    return true;
}

bool Parser::Flags(const std::string& value, uint32_t& flags) {
    if (!value.empty() && std::isdigit(static_cast<unsigned char>(value[0]))) {
        long long word = 0;
        if (!Int(value, 0, 0xFFFFFFFFLL, word, "flag word")) {
            return false;
        }
        flags = static_cast<uint32_t>(word);
        return true;
    }
    std::stringstream list(value);
    for (std::string name; std::getline(list, name, ',');) {
        if (name == "undefined") {
            flags &= ~static_cast<uint32_t>(site::kFlagDefined);
            continue;
        }
        const FlagName* found = nullptr;
        for (const FlagName& flag : kFlagNames) {
            if (name == flag.name) {
                found = &flag;
            }
        }
        if (found == nullptr) {
            Error("unknown flag \"%s\"", name.c_str());
            return false;
        }
        flags |= found->bit;
    }
    return true;
}

void Parser::Text(const std::vector<std::string>& words) {
    long long number = 0;
    if (words.size() != 3) {
        Error("text needs a number and a text: text <1-100> \"...\"");
        return;
    }
    if (!Int(words[1], 1, kSiteTextCount, number, "text number")) {
        return;
    }
    if (words[2].size() > static_cast<size_t>(kSiteTextMax)) {
        Error("text \"%s\" is longer than %d characters", words[2].c_str(), kSiteTextMax);
        return;
    }
    if (site_.texts.size() < static_cast<size_t>(number)) {
        site_.texts.resize(number);
        explicitTextLines_.resize(number, 0);
    }
    if (explicitTextLines_[number - 1] != 0) {
        Error("text %lld already given on line %d", number, explicitTextLines_[number - 1]);
        return;
    }
    site_.texts[number - 1] = words[2];
    explicitTextLines_[number - 1] = line_;
}

void Parser::Channel(const std::vector<std::string>& words) {
    if (words.size() < 4) {
        Error(
            "channel needs a number, a type and a name: channel <n> <type> \"name\" "
            "[key=value...]");
        return;
    }
    PendingChannel p;
    p.line = line_;
    SiteChannel& c = p.channel;
    long long number = 0;
    if (!Int(words[1], 1, kSiteMaxChannels, number, "channel number")) {
        return;
    }
    c.number = static_cast<int>(number);
    int type = SiteTypeByName(words[2]);
    if (type >= 0) {
        c.typeByte = static_cast<uint8_t>(type);
    } else {
        long long raw = 0;
        if (!Int(words[2], 0, 255, raw, "channel type")) {
            return;
        }
        c.typeByte = static_cast<uint8_t>(raw);
    }
    c.name = words[3];
    if (c.name.size() > static_cast<size_t>(kSiteNameMax)) {
        Error("channel name \"%s\" is longer than %d characters", c.name.c_str(), kSiteNameMax);
        return;
    }
    bool ok = true;
    for (size_t i = 4; i < words.size() && ok; ++i) {
        size_t equal = words[i].find('=');
        if (equal == std::string::npos) {
            Error("\"%s\" is not of the form key=value", words[i].c_str());
            return;
        }
        std::string key = words[i].substr(0, equal);
        std::string value = words[i].substr(equal + 1);
        long long n = 0;
        double x = 0;
        if (key == "format") {
            if (value.size() > static_cast<size_t>(kSiteFormatMax)) {
                Error("format \"%s\" is longer than %d characters", value.c_str(), kSiteFormatMax);
                return;
            }
            c.format = value;
        } else if (key == "unit" || key == "state0") {
            if (p.hasText0) {
                Error("unit and state0 both name the first text of the channel");
                return;
            }
            p.text0 = value;
            p.hasText0 = true;
        } else if (key == "state1") {
            p.text1 = value;
            p.hasText1 = true;
        } else if (key == "text0" || key == "text1") {
            ok = Int(value, 0, kSiteTextCount, n, key.c_str());
            (key == "text0" ? c.text0 : c.text1) = static_cast<int>(n);
        } else if (key == "flags") {
            ok = Flags(value, c.flags);
        } else if (key == "indexes") {
            for (char letter : value) {
                if (letter < 'A' || letter > 'P') {
                    Error("index letter '%c' is not one of A to P", letter);
                    return;
                }
                c.indexes |= static_cast<uint16_t>(1u << (letter - 'A'));
            }
        } else if (key == "coef") {
            ok = Real(value, x, "coef");
            c.coefficient = static_cast<float>(x);
        } else if (key == "offset") {
            ok = Real(value, x, "offset");
            c.offset = static_cast<float>(x);
        } else if (key == "source") {
            ok = Int(value, INT32_MIN, INT32_MAX, n, "source");
            c.source = static_cast<int32_t>(n);
        } else if (key == "srcno") {
            ok = Int(value, INT16_MIN, INT16_MAX, n, "srcno");
            c.sourceNumber = static_cast<int16_t>(n);
        } else if (key == "value") {
            ok = Real(value, c.value, "value");
            c.hasValue = true;
        } else if (key == "float") {
            ok = Real(value, x, "float");
            c.floatValue = static_cast<float>(x);
            c.hasFloat = true;
        } else if (key == "memo") {
            ok = Int(value, 0, 65535, n, "memo lines");
            c.memo = static_cast<int>(n);
        } else {
            Error("unknown channel key \"%s\"", key.c_str());
            return;
        }
    }
    if (!ok) {
        return;
    }
    for (const PendingChannel& other : pending_) {
        if (other.channel.number == c.number) {
            Error("channel %d already declared on line %d", c.number, other.line);
            return;
        }
    }
    pending_.push_back(std::move(p));
}

void Parser::Setpoint(const std::vector<std::string>& words) {
    if (words.size() != 4 || (words[1] != "int" && words[1] != "real")) {
        Error("setpoint needs: setpoint int|real <n> <value>");
        return;
    }
    SiteSetpoint s;
    s.real = words[1] == "real";
    long long number = 0;
    if (!Int(words[2], 1, s.real ? kSiteRealSetpoints : kSiteIntSetpoints, number,
             "set-point number") ||
        !Real(words[3], s.value, "set-point value")) {
        return;
    }
    if (!s.real && (s.value < -32768 || s.value > 65535)) {
        Error("integer set-point value %g does not fit 16 bits", s.value);
        return;
    }
    s.number = static_cast<int>(number);
    site_.setpoints.push_back(s);
}

void Parser::Frame(const std::vector<std::string>& words) {
    if (words.size() != 5) {
        Error("frame needs: frame <com> <frame> <index>[-<last index>] <channel>");
        return;
    }
    long long com = 0, frame = 0, first = 0, last = 0, channel = 0;
    std::string indexes = words[3];
    size_t dash = indexes.find('-');
    if (!Int(words[1], 0, 65535, com, "communication number") ||
        !Int(words[2], 0, 65535, frame, "frame number") ||
        !Int(indexes.substr(0, dash), 1, 65535, first, "index") ||
        (dash != std::string::npos &&
         !Int(indexes.substr(dash + 1), first, 65535, last, "last index")) ||
        !Int(words[4], 1, kSiteMaxChannels, channel, "channel number")) {
        return;
    }
    if (dash == std::string::npos) {
        last = first;
    }
    if (channel + (last - first) > kSiteMaxChannels) {
        Error("index range runs past channel %d", kSiteMaxChannels);
        return;
    }
    for (long long index = first; index <= last; ++index) {
        int target = SiteFrameChannel(site_, static_cast<int>(com), static_cast<int>(frame),
                                      static_cast<int>(index));
        if (target != 0) {
            Error("com %lld frame %lld index %lld already feeds channel %d", com, frame, index,
                  target);
            return;
        }
        site_.frameMap.push_back({static_cast<int>(com), static_cast<int>(frame),
                                  static_cast<int>(index),
                                  static_cast<int>(channel + index - first)});
    }
}

void Parser::TableLine(const std::vector<std::string>& words) {
    static const char* const kUsage =
        "line needs: line station <time> <channel> <value> | line comm <time> <event> "
        "<parameter> | line memo <channel> <time> <value>, then [repeat=N]";
    size_t fixed = 5;
    if (words.size() < fixed || words.size() > fixed + 1 ||
        (words[1] != "station" && words[1] != "comm" && words[1] != "memo")) {
        Error("%s", kUsage);
        return;
    }
    SiteLine l;
    long long time = 0, word = 0, value = 0, repeat = 1;
    l.table = words[1] == "station" ? SiteLine::kStation
              : words[1] == "comm"  ? SiteLine::kComm
                                    : SiteLine::kMemo;
    bool memo = l.table == SiteLine::kMemo;
    const std::string& timeWord = memo ? words[3] : words[2];
    const std::string& whoWord = memo ? words[2] : words[3];
    bool ok = Int(timeWord, 0, 0xFFFFFFFFLL, time, "time") &&
              (l.table == SiteLine::kComm ? Int(whoWord, 0, 65535, word, "event word")
                                          : Int(whoWord, 1, kSiteMaxChannels, word, "channel")) &&
              Int(words[4], INT32_MIN, 0xFFFFFFFFLL, value, "value");
    if (ok && words.size() == fixed + 1) {
        if (words[fixed].rfind("repeat=", 0) != 0) {
            Error("%s", kUsage);
            return;
        }
        ok = Int(words[fixed].substr(7), 1, 100000, repeat, "repeat");
    }
    if (!ok) {
        return;
    }
    l.time = static_cast<uint32_t>(time);
    if (l.table == SiteLine::kComm) {
        l.event = static_cast<uint16_t>(word);
    } else {
        l.channel = static_cast<int>(word);
    }
    l.value = static_cast<uint32_t>(value);
    l.repeat = static_cast<int>(repeat);
    l.sourceLine = line_;
    site_.lines.push_back(l);
}

void Parser::Cue(const std::vector<std::string>& words) {
    std::string text;
    for (size_t i = 1; i < words.size(); ++i) {
        text += (i > 1 ? " " : "") + words[i];
    }
    tsdsim::Cues scratch;
    std::string error;
    if (tsdsim::ApplyCue(text, scratch, error) != 0) {
        Error("%s", error.c_str());
        return;
    }
    site_.cues.push_back({line_, text});
}

void Parser::Line(int number, const std::string& line) {
    line_ = number;
    std::vector<std::string> words;
    if (!Split(line, words) || words.empty()) {
        return;
    }
    const std::string& what = words[0];
    long long n = 0;
    if (what == "channels") {
        if (words.size() != 2 ||
            !Int(words[1], kSiteMinChannels, kSiteMaxChannels, n, "channel count")) {
            if (words.size() != 2) {
                Error("channels needs one number");
            }
            return;
        }
        site_.channelCount = static_cast<int>(n);
        site_.channelCountGiven = true;
    } else if (what == "last") {
        if (words.size() != 2 || !Int(words[1], 0, 65535, n, "last channel number")) {
            if (words.size() != 2) {
                Error("last needs one number");
            }
            return;
        }
        site_.lastChannel = static_cast<int>(n);
    } else if (what == "text") {
        Text(words);
    } else if (what == "channel") {
        Channel(words);
    } else if (what == "setpoint") {
        Setpoint(words);
    } else if (what == "frame") {
        Frame(words);
    } else if (what == "line") {
        TableLine(words);
    } else if (what == "cue") {
        Cue(words);
    } else {
        Error("unknown line \"%s\"", what.c_str());
    }
}

int Parser::TextNumber(const std::string& text, int line) {
    if (text.empty()) {
        return 0;
    }
    // The same words share one text, whether given by a `text` line or inline.
    for (size_t i = 0; i < site_.texts.size(); ++i) {
        if (site_.texts[i] == text) {
            return static_cast<int>(i + 1);
        }
    }
    line_ = line;
    if (text.size() > static_cast<size_t>(kSiteTextMax)) {
        Error("text \"%s\" is longer than %d characters", text.c_str(), kSiteTextMax);
        return 0;
    }
    for (size_t i = 0; i < site_.texts.size(); ++i) {
        if (site_.texts[i].empty()) {
            site_.texts[i] = text;
            return static_cast<int>(i + 1);
        }
    }
    if (site_.texts.size() >= static_cast<size_t>(kSiteTextCount)) {
        Error("more than %d different texts", kSiteTextCount);
        return 0;
    }
    site_.texts.push_back(text);
    return static_cast<int>(site_.texts.size());
}

int Parser::Finish() {
    for (PendingChannel& p : pending_) {
        if (p.hasText0) {
            p.channel.text0 = TextNumber(p.text0, p.line);
        }
        if (p.hasText1) {
            p.channel.text1 = TextNumber(p.text1, p.line);
        }
        site_.channels.push_back(std::move(p.channel));
    }
    std::sort(site_.channels.begin(), site_.channels.end(),
              [](const SiteChannel& a, const SiteChannel& b) { return a.number < b.number; });
    for (const SiteLine& l : site_.lines) {
        bool declared = l.table == SiteLine::kComm ||
                        std::any_of(site_.channels.begin(), site_.channels.end(),
                                    [&](const SiteChannel& c) { return c.number == l.channel; });
        if (!declared) {
            char text[120];
            std::snprintf(text, sizeof text, "%s:%d: line for channel %d, which is not declared",
                          origin_.c_str(), l.sourceLine, l.channel);
            errors_.emplace_back(text);
            ++faulty_;
        }
    }
    if (!site_.channelCountGiven) {
        // Without a `channels` line the station is just big enough for what the site names.
        int highest = site_.channels.empty() ? 0 : site_.channels.back().number;
        for (const SiteFrameLink& link : site_.frameMap) {
            highest = std::max(highest, link.channel);
        }
        site_.channelCount = std::max(kSiteMinChannels, highest);
    }
    return faulty_;
}

}  // namespace

int SiteTypeByName(const std::string& name) {
    for (int type = 1; type < static_cast<int>(std::size(kTypeNames)); ++type) {
        if (name == kTypeNames[type]) {
            return type;
        }
    }
    return -1;
}

const char* SiteTypeName(int type) {
    return type >= 0 && type < static_cast<int>(std::size(kTypeNames)) ? kTypeNames[type]
                                                                       : kTypeNames[0];
}

int SiteFrameChannel(const Site& site, int com, int frame, int index) {
    for (const SiteFrameLink& link : site.frameMap) {
        if (link.com == com && link.frame == frame && link.index == index) {
            return link.channel;
        }
    }
    return 0;
}

int SiteFitChannels(const Site& site, int count, std::vector<std::string>& errors) {
    int faults = 0;
    char text[200];
    for (const SiteChannel& channel : site.channels) {
        if (channel.number > count) {
            std::snprintf(text, sizeof text, "channel %d is above the channel count %d",
                          channel.number, count);
            errors.emplace_back(text);
            ++faults;
        }
    }
    for (const SiteFrameLink& link : site.frameMap) {
        if (link.channel > count) {
            std::snprintf(text, sizeof text,
                          "com %d frame %d index %d feeds channel %d, above the channel count %d",
                          link.com, link.frame, link.index, link.channel, count);
            errors.emplace_back(text);
            ++faults;
        }
    }
    return faults;
}

int SiteLastChannel(const Site& site) {
    if (site.lastChannel >= 0) {
        return site.lastChannel;
    }
    return site.channels.empty() ? 0 : site.channels.back().number;
}

int ParseSite(const std::string& text, const std::string& origin, Site& site,
              std::vector<std::string>& errors) {
    site = Site{};
    Parser parser(origin, site, errors);
    std::istringstream in(text);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        parser.Line(++number, line);
    }
    return parser.Finish();
}

int LoadSiteFile(const std::string& path, Site& site, std::vector<std::string>& errors) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        errors.push_back(path + ": cannot be read");
        return 1;
    }
    std::stringstream text;
    text << in.rdbuf();
    return ParseSite(text.str(), path, site, errors);
}
