#include "stationcore_fixture.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

// Keys and layout of the channel memories, written out here rather than taken from the
// stand-in's code: a test that reads them this way checks the stand-in too.
constexpr int kInfoKey = 22796;
constexpr int kDigitalKey = 22787;
constexpr int kIntegerKey = 22788;
constexpr int kFloatLongKey = 22789;
constexpr int kIntSetpointKey = 22790;
constexpr int kRealSetpointKey = 22791;
constexpr size_t kRecord = 80;

// A small JSON reader, enough for the journal's flat objects and item arrays.
struct Json {
    enum Type { NUL, BOOL, NUMBER, STRING, ARRAY, OBJECT } type = NUL;
    bool boolean = false;
    double number = 0;
    std::string text;
    // Array elements; for an object, the member values, keys[i] naming items[i] (a vector of
    // pairs of an incomplete type is not portable).
    std::vector<Json> items;
    std::vector<std::string> keys;

    const Json* Get(const char* key) const {
        for (size_t i = 0; i < keys.size() && i < items.size(); ++i) {
            if (keys[i] == key) {
                return &items[i];
            }
        }
        return nullptr;
    }
};

class JsonReader {
  public:
    explicit JsonReader(const std::string& text) : s_(text) {}
    bool Document(Json& out) {
        if (!Value(out, 0)) {
            return false;
        }
        Blank();
        return at_ == s_.size();
    }

  private:
    void Blank() {
        while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\r')) {
            ++at_;
        }
    }
    bool Take(char c) {
        Blank();
        if (at_ < s_.size() && s_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool String(std::string& out) {
        if (!Take('"')) {
            return false;
        }
        while (at_ < s_.size() && s_[at_] != '"') {
            char c = s_[at_++];
            if (c == '\\') {
                if (at_ >= s_.size()) {
                    return false;
                }
                c = s_[at_++];
                c = c == 'n' ? '\n' : c == 't' ? '\t' : c;
            }
            out += c;
        }
        return Take('"');
    }
    bool Value(Json& out, int depth) {
        if (depth > 8) {
            return false;
        }
        Blank();
        if (at_ >= s_.size()) {
            return false;
        }
        char c = s_[at_];
        if (c == '{') {
            ++at_;
            out.type = Json::OBJECT;
            if (Take('}')) {
                return true;
            }
            do {
                std::string key;
                Json value;
                if (!String(key) || !Take(':') || !Value(value, depth + 1)) {
                    return false;
                }
                out.keys.push_back(std::move(key));
                out.items.push_back(std::move(value));
            } while (Take(','));
            return Take('}');
        }
        if (c == '[') {
            ++at_;
            out.type = Json::ARRAY;
            if (Take(']')) {
                return true;
            }
            do {
                Json value;
                if (!Value(value, depth + 1)) {
                    return false;
                }
                out.items.push_back(std::move(value));
            } while (Take(','));
            return Take(']');
        }
        if (c == '"') {
            out.type = Json::STRING;
            return String(out.text);
        }
        for (const char* word : {"true", "false", "null"}) {
            size_t n = std::strlen(word);
            if (s_.compare(at_, n, word) == 0) {
                at_ += n;
                out.type = word[0] == 'n' ? Json::NUL : Json::BOOL;
                out.boolean = word[0] == 't';
                return true;
            }
        }
        const char* begin = s_.c_str() + at_;
        char* end = nullptr;
        out.number = std::strtod(begin, &end);
        if (end == begin) {
            return false;
        }
        out.type = Json::NUMBER;
        at_ += static_cast<size_t>(end - begin);
        return true;
    }

    const std::string& s_;
    size_t at_ = 0;
};

long long Number(const Json& object, const char* key, long long fallback) {
    const Json* v = object.Get(key);
    return v != nullptr && v->type == Json::NUMBER ? static_cast<long long>(v->number) : fallback;
}

std::string Text(const Json& object, const char* key) {
    const Json* v = object.Get(key);
    return v != nullptr && v->type == Json::STRING ? v->text : std::string();
}

double ItemValue(const Json* v) {
    if (v == nullptr) {
        return 0;
    }
    switch (v->type) {
        case Json::BOOL:
            return v->boolean ? 1 : 0;
        case Json::NUMBER:
            return v->number;
        case Json::STRING:
            if (v->text == "nan") {
                return std::nan("");
            }
            return v->text == "inf" ? HUGE_VAL : v->text == "-inf" ? -HUGE_VAL : 0;
        default:
            return 0;
    }
}

}  // namespace

const JournalItem* JournalEntry::Item(int number) const {
    for (const JournalItem& item : items) {
        if (item.number == number) {
            return &item;
        }
    }
    return nullptr;
}

bool ParseJournalLine(const std::string& line, JournalEntry& entry) {
    Json object;
    if (!JsonReader(line).Document(object) || object.type != Json::OBJECT) {
        return false;
    }
    entry = JournalEntry{};
    entry.line = line;
    entry.kind = Text(object, "kind");
    entry.queue = static_cast<int>(Number(object, "queue", 0));
    entry.type = static_cast<long>(Number(object, "type", 0));
    entry.size = static_cast<long>(Number(object, "size", 0));
    entry.command = static_cast<int>(Number(object, "command", -1));
    entry.msgno = static_cast<int>(Number(object, "msgno", 0));
    entry.pid = static_cast<int>(Number(object, "pid", 0));
    entry.sec = Number(object, "sec", 0);
    entry.usec = Number(object, "usec", 0);
    entry.com = static_cast<int>(Number(object, "com", -1));
    entry.frame = static_cast<int>(Number(object, "frame", -1));
    entry.time = Number(object, "time", 0);
    entry.report = static_cast<int>(Number(object, "report", -1));
    entry.event = static_cast<int>(Number(object, "event", -1));
    entry.data1 = static_cast<int>(Number(object, "data1", -1));
    entry.data = Number(object, "data", 0);
    entry.journal = static_cast<int>(Number(object, "journal", -1));
    entry.operation = static_cast<int>(Number(object, "operation", -1));
    entry.channel = static_cast<int>(Number(object, "channel", -1));
    entry.to = Number(object, "to", 0);
    entry.tab = Number(object, "tab", -1);
    entry.current = Number(object, "current", -1);
    entry.valid = Number(object, "valid", -1);
    entry.erased = static_cast<int>(Number(object, "erased", -1));
    entry.cue = Text(object, "cue");
    entry.error = Text(object, "error");
    entry.bytes = Text(object, "bytes");
    if (const Json* items = object.Get("items"); items != nullptr && items->type == Json::ARRAY) {
        for (const Json& i : items->items) {
            JournalItem item;
            item.number = static_cast<int>(Number(i, "number", 0));
            item.kind = Text(i, "kind");
            item.value = ItemValue(i.Get("value"));
            item.bits = Text(i, "bits");
            item.target = static_cast<int>(Number(i, "channel", Number(i, "setpoint", 0)));
            const Json* applied = i.Get("applied");
            item.applied = applied != nullptr && applied->type == Json::BOOL && applied->boolean;
            item.note = Text(i, "note");
            entry.items.push_back(std::move(item));
        }
    }
    return !entry.kind.empty();
}

const char* StationCore::BasicSite() {
    return R"(# Test site: a few channels of each kind.
channel 1 ETOR "Entree 1" state0="Repos" state1="Travail"
channel 2 STOR "Sortie 2"
channel 3 EANA "Mesure 3" unit="bar" coef=0.1
channel 4 SANA "Commande 4" unit="%"
channel 5 CPT "Compteur 5" unit="kWh"
channel 6 EANA "Mesure 6" unit="A" flags=unsigned coef=0.01
channel 7 EANA "Mesure 7"
channel 8 CPT "Compteur 8"
# com 1 frame 1: indexes 1..8 feed channels 1..8
frame 1 1 1-8 1
)";
}

StationCore::StationCore(const Sandbox& sandbox, const std::string& site,
                         const std::vector<std::string>& extraArgs)
    : sandbox_(sandbox) {
    sandbox_.WriteFile("/sim/stationcore.site", site);
    sitePath_ = sandbox_.Path("/sim/stationcore.site");
    std::vector<std::string> args{"Site=" + sitePath_};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    process_ = Process(ProgramPath("stationcore"), args);
    ready_ = WaitUntil(
        [&] {
            // The pid file is the last thing the stand-in makes; a process that ended early
            // will not write it.
            return sandbox_.Exists("/var/run/chanmgr.pid") || !process_.Running();
        },
        std::chrono::seconds(5));
    ready_ = ready_ && process_.Running() && sandbox_.Exists("/var/run/chanmgr.pid");
    if (!ready_) {
        ADD_FAILURE() << "stationcore did not start:\n" << process_.Output() << sandbox_.Log();
    }
}

StationCore::~StationCore() {
    for (const Attachment& a : attached_) {
        shmdt(a.at);
    }
    if (!stopped_) {
        Stop();
    }
}

std::string StationCore::JournalPath() const {
    return sandbox_.Path("/var/log/stationcore.journal");
}

std::vector<JournalEntry> StationCore::Journal() const {
    std::vector<JournalEntry> entries;
    std::string text = sandbox_.ReadFile("/var/log/stationcore.journal");
    // A line still being written has no end yet: leave it for the next look.
    text.erase(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        JournalEntry entry;
        if (ParseJournalLine(line, entry)) {
            entries.push_back(std::move(entry));
        } else {
            ADD_FAILURE() << "journal line is not JSON: " << line;
        }
    }
    return entries;
}

JournalEntry StationCore::WaitFor(const std::function<bool(const JournalEntry&)>& match,
                                  std::chrono::milliseconds deadline) const {
    JournalEntry found;
    WaitUntil(
        [&] {
            for (JournalEntry& entry : Journal()) {
                if (match(entry)) {
                    found = std::move(entry);
                    return true;
                }
            }
            return false;
        },
        deadline);
    return found;
}

JournalEntry StationCore::WaitForItem(int command, int number, double value,
                                      std::chrono::milliseconds deadline) const {
    return WaitFor(
        [&](const JournalEntry& entry) {
            if (entry.kind != "request" || entry.command != command) {
                return false;
            }
            for (const JournalItem& item : entry.items) {
                bool same = item.kind == "float"
                                ? static_cast<float>(item.value) == static_cast<float>(value)
                                : item.value == value;
                if (item.number == number && same) {
                    return true;
                }
            }
            return false;
        },
        deadline);
}

int StationCore::Count(const std::function<bool(const JournalEntry&)>& match) const {
    int count = 0;
    for (const JournalEntry& entry : Journal()) {
        count += match(entry) ? 1 : 0;
    }
    return count;
}

const uint8_t* StationCore::Area(int key) {
    for (const Attachment& a : attached_) {
        if (a.key == key) {
            return a.at;
        }
    }
    int id = shmget(key, 0, 0);
    shmid_ds ds{};
    if (id < 0 || shmctl(id, IPC_STAT, &ds) != 0) {
        ADD_FAILURE() << "no memory with key " << key;
        return nullptr;
    }
    void* at = shmat(id, nullptr, SHM_RDONLY);
    if (at == reinterpret_cast<void*>(-1)) {
        ADD_FAILURE() << "cannot attach memory " << key;
        return nullptr;
    }
    attached_.push_back({key, static_cast<const uint8_t*>(at), ds.shm_segsz});
    return attached_.back().at;
}

int StationCore::ChannelCount() {
    Area(kInfoKey);
    for (const Attachment& a : attached_) {
        if (a.key == kInfoKey) {
            return static_cast<int>((a.size - 2) / kRecord);
        }
    }
    return 0;
}

namespace {
template <typename T>
T Load(const uint8_t* area, size_t index) {
    T value{};
    if (area != nullptr) {
        std::memcpy(&value, area + index * sizeof(T), sizeof(T));
    }
    return value;
}
}  // namespace

bool StationCore::ChannelInRange(int channel) {
    if (channel >= 1 && channel <= ChannelCount()) {
        return true;
    }
    ADD_FAILURE() << "channel " << channel << " outside 1.." << ChannelCount();
    return false;
}

bool StationCore::ReadBool(int channel) {
    if (!ChannelInRange(channel)) {
        return 0;
    }
    return Load<uint8_t>(Area(kDigitalKey), channel - 1) != 0;
}

int16_t StationCore::ReadShort(int channel) {
    if (!ChannelInRange(channel)) {
        return 0;
    }
    return Load<int16_t>(Area(kIntegerKey), channel - 1);
}

int32_t StationCore::ReadLong(int channel) {
    if (!ChannelInRange(channel)) {
        return 0;
    }
    return Load<int32_t>(Area(kFloatLongKey), ChannelCount() + channel - 1);
}

float StationCore::ReadFloat(int channel) {
    if (!ChannelInRange(channel)) {
        return 0;
    }
    return Load<float>(Area(kFloatLongKey), channel - 1);
}

int16_t StationCore::ReadIntSetpoint(int number) {
    if (number < 1 || number > 128) {
        ADD_FAILURE() << "integer set-point " << number;
        return 0;
    }
    return Load<int16_t>(Area(kIntSetpointKey), number - 1);
}

float StationCore::ReadRealSetpoint(int number) {
    if (number < 1 || number > 64) {
        ADD_FAILURE() << "real set-point " << number;
        return 0;
    }
    return Load<float>(Area(kRealSetpointKey), number - 1);
}

ProgramResult StationCore::Stop() {
    if (!stopped_) {
        stopped_ = true;
        process_.Signal(SIGTERM);
        result_ = process_.Wait(std::chrono::seconds(5));
    }
    return result_;
}
