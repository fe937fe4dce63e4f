// mbussim: a population of M-Bus meters (slaves) on a pseudo-terminal. It holds the master side,
// links a path (e.g. a sandbox's dev/ttyUSB0) to the slave side, and answers the master's short
// frames: SND_NKE with the single character E5, REQ_UD2 with a long frame (RSP_UD) whose records
// come from a script. A meter may hold its records in several telegrams: it then follows the
// frame count bit (toggled: the next telegram, the same: that telegram again, SND_NKE: back to the
// first) and ends each telegram but the last with DIF 1F. On cue (script, command line, or a
// command FIFO read while it runs) a meter misbehaves: noise before its frame, L fields that differ
// or that do not match the bytes sent, a bad checksum, no stop byte, a truncated frame, random
// bytes instead of the frame, a late answer, or silence.
//
// Meters also have a secondary address (identification, manufacturer, version, medium), several
// may share a primary address (often 0), and they are selected as the standard has it: a SND_UD
// to 0xFD with CI 52 selects the meters it matches (nibble F, byte FF: any) and leaves the others
// out, a selected meter answers requests to 0xFD, a SND_NKE to 0xFD ends the selection. Meters
// that answer together collide: what the line carries is the AND of their bytes (an idle line is
// 1, a meter pulling it to 0 wins), each answer one bit later than the one before, so that even
// two acknowledges come as one byte other than E5.
//
// Frames, checksums and value codings are written here from the link and application rules,
// independently of the driver's decoder.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "kit/args.h"
#include "kit/control.h"
#include "kit/cue.h"
#include "kit/run.h"
#include "kit/words.h"
#include "pty.h"

namespace {

const char* const kUsage =
    "usage: mbussim --link PATH [options]\n"
    "  --link PATH       symbolic link made to the pty's slave side (removed at the end)\n"
    "  --script FILE     meters, records and cues, one a line (see below)\n"
    "  --control FIFO    command FIFO, read while running (created if missing)\n"
    "  --status FILE     rewritten after each request: requests=N nke=N ud2=N answers=N "
    "commands=N\n"
    "  --log FILE        one line per request received: its bytes in hex\n"
    "  --cue TEXT        a cue line, applied after the script\n"
    "script lines:\n"
    "  meter ADDR [id=N] [man=N|ABC] [version=N] [medium=N] [status=N]   (then its records;\n"
    "      a meter line with the address and id of an earlier one replaces it)\n"
    "  rec DIF[,DIFE..] VIF[,VIFE..] VALUE [+STEP]   VALUE: integer, real, YYYY-MM-DD or\n"
    "      YYYY-MM-DDTHH:MM; coded as the DIF's data field says; +STEP is added at each answer\n"
    "  raw HEX..         record bytes sent as they are\n"
    "  more              the next records go to the meter's next telegram\n"
    "cue lines (FIFO lines may omit the '!'; ADDR * = every meter; N: answers affected, 0 or\n"
    "absent = all):\n"
    "  !noise ADDR K [N] | !badlen ADDR [N] | !wronglen ADDR [N] | !badsum ADDR [N]\n"
    "  | !nostop ADDR [N] | !truncate ADDR K [N] | !garbage ADDR K [N] | !late ADDR MS [N]\n"
    "  | !silent ADDR on|off (garbage: K random bytes instead of the answer)\n"
    "  | !repeat ADDR [N] (the FCB ignored: the telegram sent last, byte for byte)\n"
    "  | !set ADDR INDEX VALUE | !clear ADDR | !quit\n";

struct Record {
    std::vector<unsigned char> dif;  // DIF and DIFEs
    std::vector<unsigned char> vif;  // VIF and VIFEs
    std::string value;
    double step = 0;
    double number = 0;
    std::vector<unsigned char> raw;  // a raw record: sent as it is
    int telegram = 0;                // of the meter's telegrams, from 0
};

// A cue over the next answers, with its number (bytes, milliseconds) where it takes one.
struct Cue : simkit::Cue {
    int argument = 0;
};

struct Slave {
    int address = 0;
    long id = 12345678;
    int manufacturer = 0x1596;  // three letters packed as the standard packs them
    int version = 1;
    int medium = 7;  // water
    int status = 0;
    int access = 0;
    std::vector<Record> records;
    int telegrams = 1;
    // Of a meter of several telegrams: the one sent last, its bytes (control field to the last
    // data byte), and the FCB of the request it answered (-1 since SND_NKE).
    int telegram = 0;
    std::vector<unsigned char> lastBody;
    int lastFcb = -1;
    bool silent = false;
    bool selected = false;  // by secondary address
    Cue noise, badlen, wronglen, badsum, nostop, truncate, garbage, late, repeat;
};

struct Population {
    std::vector<Slave> slaves;
    int current = -1;  // index of the meter the next rec/raw lines belong to
    bool quit = false;
    long requests = 0, nke = 0, ud2 = 0, answers = 0, commands = 0;
};

std::vector<unsigned char> HexList(const std::string& text) {
    std::vector<unsigned char> bytes;
    for (const std::string& item : simkit::Split(text, ',')) {
        bytes.push_back(static_cast<unsigned char>(strtol(item.c_str(), nullptr, 16)));
    }
    return bytes;
}

// Data bytes of a record's value, as its DIF's data field codes it.
std::vector<unsigned char> Encode(const Record& r) {
    int field = r.dif[0] & 0x0F;
    int plainVif = r.vif[0] & 0x7F;
    std::vector<unsigned char> out;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    bool isDate = sscanf(r.value.c_str(), "%d-%d-%d", &year, &month, &day) == 3;
    if (isDate) {
        sscanf(r.value.c_str(), "%*d-%*d-%*dT%d:%d", &hour, &minute);
        int y = year - 2000;
        if (plainVif == 0x6C) {  // type G
            out.push_back(static_cast<unsigned char>((day & 0x1F) | ((y & 0x07) << 5)));
            out.push_back(static_cast<unsigned char>((month & 0x0F) | ((y >> 3) << 4)));
        } else {  // type F
            out.push_back(static_cast<unsigned char>(minute & 0x3F));
            out.push_back(static_cast<unsigned char>(hour & 0x1F));
            out.push_back(static_cast<unsigned char>((day & 0x1F) | ((y & 0x07) << 5)));
            out.push_back(static_cast<unsigned char>((month & 0x0F) | ((y >> 3) << 4)));
        }
        return out;
    }
    static const int kIntBytes[8] = {0, 1, 2, 3, 4, 4, 6, 8};
    if (field == 0x05) {
        float f = static_cast<float>(r.number);
        uint32_t bits = 0;
        memcpy(&bits, &f, sizeof bits);
        for (int i = 0; i < 4; ++i) {
            out.push_back(static_cast<unsigned char>(bits >> (8 * i)));
        }
    } else if (field >= 0x01 && field <= 0x07) {
        auto v = static_cast<uint64_t>(static_cast<int64_t>(std::llround(r.number)));
        for (int i = 0; i < kIntBytes[field]; ++i) {
            out.push_back(static_cast<unsigned char>(v >> (8 * i)));
        }
    } else if ((field >= 0x09 && field <= 0x0C) || field == 0x0E) {
        int n = field == 0x0E ? 6 : field - 8;
        bool negative = r.number < 0;
        auto v = static_cast<uint64_t>(std::llabs(std::llround(r.number)));
        for (int i = 0; i < n; ++i) {
            int low = static_cast<int>(v % 10);
            v /= 10;
            int high = static_cast<int>(v % 10);
            v /= 10;
            if (negative && i == n - 1) {
                high = 0x0F;
            }
            out.push_back(static_cast<unsigned char>(low | (high << 4)));
        }
    }
    return out;
}

std::string Hex(const std::vector<unsigned char>& bytes) {
    std::string text;
    char b[4];
    for (unsigned char c : bytes) {
        snprintf(b, sizeof b, "%02X ", c);
        text += b;
    }
    if (!text.empty()) {
        text.pop_back();
    }
    return text;
}

// The secondary address of a meter as its header carries it: identification in 8 BCD digits
// (least significant first), manufacturer (low byte first), version, medium.
std::vector<unsigned char> SecondaryAddress(const Slave& s) {
    std::vector<unsigned char> bytes;
    long id = s.id;
    for (int i = 0; i < 4; ++i) {
        int low = static_cast<int>(id % 10);
        id /= 10;
        int high = static_cast<int>(id % 10);
        id /= 10;
        bytes.push_back(static_cast<unsigned char>(low | (high << 4)));
    }
    bytes.push_back(static_cast<unsigned char>(s.manufacturer & 0xFF));
    bytes.push_back(static_cast<unsigned char>(s.manufacturer >> 8));
    bytes.push_back(static_cast<unsigned char>(s.version));
    bytes.push_back(static_cast<unsigned char>(s.medium));
    return bytes;
}

// Whether a selection's 8 bytes name the meter: identification nibbles F and other bytes FF
// stand for any value.
bool Selects(const Slave& s, const unsigned char* selection) {
    std::vector<unsigned char> own = SecondaryAddress(s);
    for (int i = 0; i < 8; ++i) {
        for (int shift : {0, 4}) {
            int want = selection[i] >> shift & 0x0F;
            bool any = i < 4 ? want == 0x0F : selection[i] == 0xFF;
            if (!any && want != (own[i] >> shift & 0x0F)) {
                return false;
            }
        }
    }
    return true;
}

// The body of one of a meter's telegrams (control field to the last data byte), read afresh.
std::vector<unsigned char> Body(Slave& s, int telegram) {
    std::vector<unsigned char> body = {0x08, static_cast<unsigned char>(s.address), 0x72};
    std::vector<unsigned char> secondary = SecondaryAddress(s);
    body.insert(body.end(), secondary.begin(), secondary.end());
    body.push_back(static_cast<unsigned char>(s.access++ & 0xFF));
    body.push_back(static_cast<unsigned char>(s.status));
    body.push_back(0x00);
    body.push_back(0x00);
    for (Record& r : s.records) {
        if (r.telegram != telegram) {
            continue;
        }
        if (!r.raw.empty()) {
            body.insert(body.end(), r.raw.begin(), r.raw.end());
            continue;
        }
        body.insert(body.end(), r.dif.begin(), r.dif.end());
        body.insert(body.end(), r.vif.begin(), r.vif.end());
        std::vector<unsigned char> data = Encode(r);
        body.insert(body.end(), data.begin(), data.end());
        r.number += r.step;
    }
    if (telegram + 1 < s.telegrams) {
        body.push_back(0x1F);  // more records follow
    }
    if (body.size() > 255) {
        body.resize(255);  // the script asked for more than a frame holds
    }
    return body;
}

// The RSP_UD of a meter around a body, with what its cues make of it.
std::vector<unsigned char> LongFrame(Slave& s, const std::vector<unsigned char>& body) {
    unsigned char sum = 0;
    for (unsigned char b : body) {
        sum = static_cast<unsigned char>(sum + b);
    }
    auto length = static_cast<unsigned char>(body.size());
    std::vector<unsigned char> frame;
    if (s.noise.On()) {
        for (int i = 0; i < s.noise.argument; ++i) {
            frame.push_back(static_cast<unsigned char>(0xA5 + i * 7));
        }
        s.noise.Use();
    }
    unsigned char l1 = length, l2 = length;
    if (s.badlen.On()) {
        l2 = static_cast<unsigned char>(length + 1);
        s.badlen.Use();
    } else if (s.wronglen.On()) {
        l1 = l2 = static_cast<unsigned char>(length + 1);
        s.wronglen.Use();
    }
    frame.insert(frame.end(), {0x68, l1, l2, 0x68});
    frame.insert(frame.end(), body.begin(), body.end());
    if (s.badsum.On()) {
        sum = static_cast<unsigned char>(sum ^ 0x5A);
        s.badsum.Use();
    }
    frame.push_back(sum);
    if (s.nostop.On()) {
        s.nostop.Use();
    } else {
        frame.push_back(0x16);
    }
    if (s.truncate.On()) {
        if (static_cast<size_t>(s.truncate.argument) < frame.size()) {
            frame.resize(static_cast<size_t>(s.truncate.argument));
        }
        s.truncate.Use();
    }
    if (s.garbage.On()) {
        // A burst of interference over the whole answer: any byte, start and stop bytes too.
        std::string burst =
            simkit::RandomBytes(static_cast<size_t>(std::clamp(s.garbage.argument, 0, 512)));
        frame.assign(burst.begin(), burst.end());
        s.garbage.Use();
    }
    return frame;
}

bool ParseRecord(Slave& s, const std::vector<std::string>& w) {
    if (w.size() < 4) {
        return false;
    }
    Record r;
    r.dif = HexList(w[1]);
    r.vif = HexList(w[2]);
    r.value = w[3];
    r.number = strtod(w[3].c_str(), nullptr);
    if (w.size() > 4 && w[4][0] == '+') {
        r.step = strtod(w[4].c_str() + 1, nullptr);
    }
    if (r.dif.empty() || r.vif.empty()) {
        return false;
    }
    r.telegram = s.telegrams - 1;
    s.records.push_back(r);
    return true;
}

void SetCue(Population& p, const std::string& address, Cue Slave::*cue, int argument, int left) {
    for (Slave& s : p.slaves) {
        if (address == "*" || atoi(address.c_str()) == s.address) {
            (s.*cue).argument = argument;
            (s.*cue).left = left;
        }
    }
}

bool ApplyLine(Population& p, const std::string& text, bool fromFifo) {
    std::string line = text;
    size_t hash = line.find('#');
    if (hash != std::string::npos) {
        line.erase(hash);
    }
    std::vector<std::string> w = simkit::Words(line);
    if (w.empty()) {
        return true;
    }
    std::string verb = w[0];
    if (verb[0] == '!') {
        verb.erase(0, 1);
    } else if (!fromFifo && verb != "meter" && verb != "rec" && verb != "raw" && verb != "more") {
        fprintf(stderr, "mbussim: unknown line: %s\n", text.c_str());
        return false;
    }
    auto arg = [&](size_t i) { return w.size() > i ? atoi(w[i].c_str()) : 0; };
    std::string who = w.size() > 1 ? w[1] : "*";
    if (verb == "meter") {
        Slave s;
        s.address = arg(1);
        for (size_t i = 2; i < w.size(); ++i) {
            size_t eq = w[i].find('=');
            std::string key = w[i].substr(0, eq);
            long value = eq == std::string::npos ? 0 : strtol(w[i].c_str() + eq + 1, nullptr, 0);
            std::string text = eq == std::string::npos ? "" : w[i].substr(eq + 1);
            if (key == "id") {
                s.id = value;
            } else if (key == "man" && text.size() == 3 && isupper(text[0]) && isupper(text[1]) &&
                       isupper(text[2])) {
                s.manufacturer = ((text[0] - 64) << 10) | ((text[1] - 64) << 5) | (text[2] - 64);
            } else if (key == "man") {
                s.manufacturer = static_cast<int>(value);
            } else if (key == "version") {
                s.version = static_cast<int>(value);
            } else if (key == "medium") {
                s.medium = static_cast<int>(value);
            } else if (key == "status") {
                s.status = static_cast<int>(value);
            }
        }
        auto same = std::find_if(p.slaves.begin(), p.slaves.end(), [&s](const Slave& o) {
            return o.address == s.address && o.id == s.id;
        });
        if (same != p.slaves.end()) {
            *same = s;
        } else {
            same = p.slaves.insert(p.slaves.end(), s);
        }
        p.current = static_cast<int>(same - p.slaves.begin());
    } else if (verb == "rec" || verb == "raw" || verb == "more") {
        if (p.current < 0) {
            fprintf(stderr, "mbussim: a record before any meter: %s\n", text.c_str());
            return false;
        }
        Slave& s = p.slaves[static_cast<size_t>(p.current)];
        if (verb == "more") {
            ++s.telegrams;
        } else if (verb == "raw") {
            Record r;
            std::string all;
            for (size_t i = 1; i < w.size(); ++i) {
                all += (i > 1 ? "," : "") + w[i];
            }
            r.raw = HexList(all);
            r.telegram = s.telegrams - 1;
            s.records.push_back(r);
        } else if (!ParseRecord(s, w)) {
            fprintf(stderr, "mbussim: bad record: %s\n", text.c_str());
            return false;
        }
    } else if (verb == "noise") {
        SetCue(p, who, &Slave::noise, arg(2), arg(3));
    } else if (verb == "badlen") {
        SetCue(p, who, &Slave::badlen, 0, arg(2));
    } else if (verb == "wronglen") {
        SetCue(p, who, &Slave::wronglen, 0, arg(2));
    } else if (verb == "badsum") {
        SetCue(p, who, &Slave::badsum, 0, arg(2));
    } else if (verb == "nostop") {
        SetCue(p, who, &Slave::nostop, 0, arg(2));
    } else if (verb == "truncate") {
        SetCue(p, who, &Slave::truncate, arg(2), arg(3));
    } else if (verb == "garbage") {
        SetCue(p, who, &Slave::garbage, arg(2), arg(3));
    } else if (verb == "late") {
        SetCue(p, who, &Slave::late, arg(2), arg(3));
    } else if (verb == "repeat") {
        SetCue(p, who, &Slave::repeat, 0, arg(2));
    } else if (verb == "silent") {
        for (Slave& s : p.slaves) {
            if (who == "*" || atoi(who.c_str()) == s.address) {
                s.silent = w.size() > 2 && w[2] == "on";
            }
        }
    } else if (verb == "set") {
        auto it = std::find_if(p.slaves.begin(), p.slaves.end(),
                               [&](const Slave& s) { return s.address == arg(1); });
        size_t index = static_cast<size_t>(arg(2));
        if (it != p.slaves.end() && index < it->records.size() && w.size() > 3) {
            it->records[index].value = w[3];
            it->records[index].number = strtod(w[3].c_str(), nullptr);
        }
    } else if (verb == "clear") {
        for (Slave& s : p.slaves) {
            if (who == "*" || atoi(who.c_str()) == s.address) {
                s.noise = s.badlen = s.wronglen = s.badsum = s.nostop = s.truncate = s.garbage =
                    s.late = s.repeat = Cue{};
                s.silent = false;
            }
        }
    } else if (verb == "quit") {
        p.quit = true;
    } else {
        fprintf(stderr, "mbussim: unknown cue: %s\n", text.c_str());
        return fromFifo;
    }
    return true;
}

using simkit::NowNs;

void ReadControl(simkit::ControlFifo& c, Population& p) {
    c.Take([&p](const std::string& line) {
        ApplyLine(p, line, true);
        ++p.commands;
    });
}

void WriteStatus(const std::string& path, const Population& p) {
    simkit::WriteStatus(path, "requests=%ld nke=%ld ud2=%ld answers=%ld commands=%ld\n", p.requests,
                        p.nke, p.ud2, p.answers, p.commands);
}

void Log(const std::string& path, const std::vector<unsigned char>& bytes) {
    if (path.empty()) {
        return;
    }
    FILE* f = fopen(path.c_str(), "a");
    if (f != nullptr) {
        fprintf(f, "%s\n", Hex(bytes).c_str());
        fclose(f);
    }
}

// Sleeps ms milliseconds, reading commands meanwhile; false when asked to stop.
bool Pause(long ms, simkit::ControlFifo& c, Population& p) {
    long long until = NowNs() + ms * 1000000LL;
    while (!simkit::StopAsked()) {
        if (until - NowNs() <= 0) {
            return true;
        }
        pollfd fd{c.Fd(), POLLIN, 0};
        simkit::Poll(&fd, c.Fd() >= 0 ? 1 : 0, until);
        ReadControl(c, p);
    }
    return false;
}

// The meters a request to an address reaches: those of that primary address, or at 0xFD the
// selected ones.
std::vector<Slave*> Addressed(Population& p, int address) {
    std::vector<Slave*> meters;
    for (Slave& s : p.slaves) {
        if (!s.silent && (address == 0xFD ? s.selected : s.address == address)) {
            meters.push_back(&s);
        }
    }
    return meters;
}

// The answers of meters that speak together, as the line carries them (see the top).
std::vector<unsigned char> Collide(const std::vector<std::vector<unsigned char>>& answers) {
    std::vector<unsigned char> line;
    for (size_t k = 0; k < answers.size(); ++k) {
        const std::vector<unsigned char>& a = answers[k];
        line.resize(std::max(line.size(), a.size()), 0xFF);
        for (size_t i = 0; i < a.size(); ++i) {
            // k bits late: the start bit (0) and the first bits of the byte shift in
            line[i] &= static_cast<unsigned char>(a[i] << std::min<size_t>(k, 8));
        }
    }
    return line;
}

// Sends what the meters answer, one answer each (a meter's late cue delays the whole).
void Send(PtyLine& line, Population& p, simkit::ControlFifo& c, const std::vector<Slave*>& meters,
          const std::vector<std::vector<unsigned char>>& answers) {
    if (answers.empty()) {
        return;
    }
    Slave& s = *meters.front();
    if (s.late.On()) {
        int ms = s.late.argument;
        s.late.Use();
        if (!Pause(ms, c, p)) {
            return;
        }
    }
    std::vector<unsigned char> bytes = answers.size() == 1 ? answers.front() : Collide(answers);
    line.Write(bytes.data(), bytes.size());
    p.answers += static_cast<long>(answers.size());
}

// What one meter answers to a short frame it is reached by (at its address or, selected, at
// 0xFD): SND_NKE starts its telegrams again (and ends a selection at 0xFD), REQ_UD2 follows the
// frame count bit when it holds several telegrams or is cued to repeat.
std::vector<unsigned char> MeterAnswer(Slave& s, int control, int address) {
    if (control == 0x40) {
        s.lastBody.clear();
        s.lastFcb = -1;
        if (address == 0xFD) {
            s.selected = false;
        }
        return {0xE5};
    }
    if (s.telegrams == 1 && !s.repeat.On()) {
        // One telegram: every request is read afresh, whatever its FCB.
        return LongFrame(s, Body(s, 0));
    }
    int fcb = (control & 0x20) != 0 ? 1 : 0;
    bool fcv = (control & 0x10) != 0;
    bool again = !s.lastBody.empty() && (s.repeat.Take() || (fcv && fcb == s.lastFcb));
    if (!again) {
        s.telegram = s.lastBody.empty() ? 0 : (s.telegram + 1) % s.telegrams;
        s.lastBody = Body(s, s.telegram);
    }
    s.lastFcb = fcb;
    return LongFrame(s, s.lastBody);
}

// Answers one short frame, if any meter answers at all.
void Answer(PtyLine& line, Population& p, simkit::ControlFifo& c, int control, int address) {
    int kind = control & 0x4F;  // the frame count bits (FCB, FCV) do not change the request
    if (control != 0x40 && kind != 0x4B) {
        return;
    }
    std::vector<Slave*> meters = Addressed(p, address);
    std::vector<std::vector<unsigned char>> answers;
    for (Slave* s : meters) {
        answers.push_back(MeterAnswer(*s, control, address));
    }
    Send(line, p, c, meters, answers);
}

// Acknowledges a long frame (SND_UD); at 0xFD with CI 52 it is a selection first.
void Acknowledge(PtyLine& line, Population& p, simkit::ControlFifo& c,
                 const std::vector<unsigned char>& frame) {
    int address = frame[5];
    if (address == 0xFD && frame[6] == 0x52 && frame[1] == 11) {
        for (Slave& s : p.slaves) {
            s.selected = !s.silent && Selects(s, &frame[7]);
        }
    }
    std::vector<Slave*> meters = Addressed(p, address);
    Send(line, p, c, meters, std::vector<std::vector<unsigned char>>(meters.size(), {0xE5}));
}

}  // namespace

int main(int argc, char** argv) {
    Population population;
    std::string link, script, control, status, log;
    std::vector<std::string> cues;
    std::optional<int> leave = simkit::ParseArguments(
        "mbussim", kUsage, argc, argv,
        {simkit::Text("--link", &link),
         simkit::Text("--script", &script),
         simkit::Text("--control", &control),
         simkit::Text("--status", &status),
         simkit::Text("--log", &log),
         {"--cue", true, [&cues](const std::string& v) { cues.push_back(v); }}});
    if (leave) {
        return *leave;
    }
    if (link.empty()) {
        fputs(kUsage, stderr);
        return 2;
    }
    if (simkit::ApplyScript("mbussim", script, [&population](const std::string& text) {
            return ApplyLine(population, text, false);
        }) != 0) {
        return 2;
    }
    for (const std::string& cue : cues) {
        if (!ApplyLine(population, cue[0] == '!' ? cue : "!" + cue, false)) {
            return 2;
        }
    }

    simkit::HoldStopSignals();
    simkit::ControlFifo ctl;
    if (ctl.Open("mbussim", control) != 0) {
        return 2;
    }

    PtyLine line;
    if (line.Open(link) != 0) {
        fprintf(stderr, "mbussim: line %s: %s\n", link.c_str(), strerror(errno));
        return 1;
    }
    WriteStatus(status, population);

    // Requests as they come: short frames 10 C A CS 16 are answered; long frames from the master
    // (SND_UD) are taken whole and acknowledged; anything else is skipped byte by byte.
    std::vector<unsigned char> in;
    while (!simkit::StopAsked() && !population.quit) {
        pollfd fds[2] = {{line.Master(), POLLIN, 0}, {ctl.Fd(), POLLIN, 0}};
        simkit::Poll(fds, ctl.Fd() >= 0 ? 2 : 1, NowNs() + 200000000LL);
        ReadControl(ctl, population);
        unsigned char buffer[256];
        ssize_t n = read(line.Master(), buffer, sizeof buffer);
        if (n > 0) {
            in.insert(in.end(), buffer, buffer + n);
        }
        while (!in.empty()) {
            if (in[0] == 0x10) {
                if (in.size() < 5) {
                    break;
                }
                std::vector<unsigned char> frame(in.begin(), in.begin() + 5);
                if (frame[4] != 0x16 ||
                    static_cast<unsigned char>(frame[1] + frame[2]) != frame[3]) {
                    in.erase(in.begin());  // not a good short frame: no answer
                    continue;
                }
                in.erase(in.begin(), in.begin() + 5);
                Log(log, frame);
                ++population.requests;
                if (frame[1] == 0x40) {
                    ++population.nke;
                } else if ((frame[1] & 0x4F) == 0x4B) {
                    ++population.ud2;
                }
                Answer(line, population, ctl, frame[1], frame[2]);
                WriteStatus(status, population);
            } else if (in[0] == 0x68) {
                if (in.size() < 4) {
                    break;
                }
                size_t total = static_cast<size_t>(in[1]) + 6;
                if (in[1] != in[2] || in[3] != 0x68) {
                    in.erase(in.begin());
                    continue;
                }
                if (in.size() < total) {
                    break;
                }
                std::vector<unsigned char> frame(in.begin(), in.begin() + static_cast<long>(total));
                in.erase(in.begin(), in.begin() + static_cast<long>(total));
                Log(log, frame);
                ++population.requests;
                unsigned char sum = 0;
                for (size_t i = 4; i + 2 < total; ++i) {
                    sum = static_cast<unsigned char>(sum + frame[i]);
                }
                if (total >= 9 && sum == frame[total - 2] && frame[total - 1] == 0x16) {
                    Acknowledge(line, population, ctl, frame);
                }
                WriteStatus(status, population);
            } else {
                in.erase(in.begin());
            }
        }
    }
    WriteStatus(status, population);
    line.Close();
    ctl.Close();
    return 0;
}
