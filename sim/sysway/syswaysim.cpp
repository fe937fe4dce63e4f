// syswaysim: PLC units on a Sysway command line, on a pseudo-terminal. It holds the master side,
// links a path (e.g. a sandbox's dev/orxcom0) to the slave side, and answers the command lines
// it receives: reads and writes of 16-bit words in a word memory per unit and area, the TS echo,
// and the initialisation line (no answer). Each write is printed with its time. At a line speed
// (default 9600 bit/s, 11 bits a character) the answer comes after the command's own line time
// and at the line's pace. On cue (script, command line, or a command FIFO read while it runs) it
// misbehaves: a wrong FCS, an answer for another unit, no carriage return after the "*", a
// non-zero end code, a late answer, silence, a garbled line, random bytes instead of the answer.
//
// The line format and the FCS are written here from the protocol's rules, independently of the
// driver.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "kit/args.h"
#include "kit/control.h"
#include "kit/cue.h"
#include "kit/run.h"
#include "kit/words.h"
#include "pty.h"

namespace {

const char* const kUsage =
    "usage: syswaysim --link PATH [options]\n"
    "  --link PATH      symbolic link made to the pty's slave side (removed at the end)\n"
    "  --units LIST     unit numbers that answer, comma-separated (default 0)\n"
    "  --baud N         line speed, 11 bits a character (default 9600); 0: answer at once\n"
    "  --script FILE    memory settings and cues, one a line (see below)\n"
    "  --control FIFO   command FIFO, read while running (created if missing)\n"
    "  --status FILE    rewritten after each command: commands=N answers=N writes=N\n"
    "  --quiet          do not print the writes\n"
    "  --cue LINE       a script line (may be repeated)\n"
    "script, --cue and FIFO lines:\n"
    "  set UNIT[/AREA] ADDR WORD...   words (hexadecimal) from ADDR; AREA is the command's\n"
    "                                 second letter (default D: RD, WD)\n"
    "  unit UNIT on|off               a unit that answers, or one that stays silent\n"
    "  badfcs [N] | otherunit [N] | nocr [N] | endcode CODE [N] | late MS [N]\n"
    "  | silence [N] | garble [N]     the next N answers (0 or absent: until clear)\n"
    "  garbage K [N]                  K random bytes instead of each of the next N answers\n"
    "  clear | quit\n";

constexpr char CR = '\r';
constexpr int kWords = 10000;        // addresses 0 to 9999
constexpr int kMaxReadWords = 30;    // an answer stays within 131 characters
constexpr long long kCharBits = 11;  // start, 7 data bits, parity, 2 stop bits

// End codes of this simulator for what it refuses.
constexpr const char* kEndFcs = "A1";
constexpr const char* kEndFormat = "A2";
constexpr const char* kEndAddress = "A3";
constexpr const char* kEndCommand = "A4";

using simkit::Cue;
using simkit::NowNs;

std::string Stamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min,
                  local.tm_sec, now.tv_nsec / 1000000);
    return text;
}

struct Plc {
    std::set<int> units{0};
    std::map<std::pair<int, char>, std::vector<unsigned>> memory;  // (unit, area) -> words
    Cue badfcs, otherunit, nocr, endcode, late, silence, garble, garbage;
    std::string endCodeText = "01";
    int garbageBytes = 0;
    long lateMs = 0;
    bool quiet = false;
    bool quit = false;
    long commands = 0;
    long answers = 0;
    long writes = 0;

    std::vector<unsigned>& Area(int unit, char area) {
        std::vector<unsigned>& words = memory[{unit, area}];
        if (words.empty()) {
            words.assign(kWords, 0);
        }
        return words;
    }
};

bool ApplyLine(Plc& plc, const std::string& text) {
    std::vector<std::string> w = simkit::Words(text);
    if (w.empty() || w[0][0] == '#') {
        return true;
    }
    const std::string& verb = w[0];
    auto count = [&](size_t at) { return w.size() > at ? std::atoi(w[at].c_str()) : 0; };
    if (verb == "set" && w.size() >= 3) {
        std::string where = w[1];
        char area = 'D';
        if (size_t slash = where.find('/');
            slash != std::string::npos && slash + 1 < where.size()) {
            area = where[slash + 1];
            where.resize(slash);
        }
        int unit = std::atoi(where.c_str());
        long address = std::atol(w[2].c_str());
        std::vector<unsigned>& words = plc.Area(unit, area);
        for (size_t i = 3; i < w.size() && address >= 0 && address < kWords; ++i, ++address) {
            words[static_cast<size_t>(address)] = std::strtoul(w[i].c_str(), nullptr, 16) & 0xFFFF;
        }
        return true;
    }
    if (verb == "unit" && w.size() >= 2) {
        int unit = std::atoi(w[1].c_str());
        if (w.size() < 3 || w[2] == "on") {
            plc.units.insert(unit);
        } else {
            plc.units.erase(unit);
        }
        return true;
    }
    if (verb == "badfcs") {
        plc.badfcs.left = count(1);
    } else if (verb == "otherunit") {
        plc.otherunit.left = count(1);
    } else if (verb == "nocr") {
        plc.nocr.left = count(1);
    } else if (verb == "garble") {
        plc.garble.left = count(1);
    } else if (verb == "silence") {
        plc.silence.left = w.size() > 1 && w[1] == "off" ? -1 : count(1);
    } else if (verb == "endcode" && w.size() >= 2) {
        // Two hexadecimal digits, a leading zero added to one.
        char code[3] = {'0', '0', '\0'};
        size_t digits = std::min<size_t>(w[1].size(), 2);
        std::memcpy(code + 2 - digits, w[1].data(), digits);
        plc.endCodeText = code;
        plc.endcode.left = count(2);
    } else if (verb == "late" && w.size() >= 2) {
        plc.lateMs = std::atol(w[1].c_str());
        plc.late.left = count(2);
    } else if (verb == "garbage" && w.size() >= 2) {
        plc.garbageBytes = std::clamp(count(1), 1, 512);
        plc.garbage.left = count(2);
    } else if (verb == "clear") {
        for (Cue* cue : {&plc.badfcs, &plc.otherunit, &plc.nocr, &plc.endcode, &plc.late,
                         &plc.silence, &plc.garble, &plc.garbage}) {
            cue->left = -1;
        }
    } else if (verb == "quit") {
        plc.quit = true;
    } else {
        std::fprintf(stderr, "syswaysim: unknown line: %s\n", text.c_str());
        return false;
    }
    return true;
}

unsigned Fcs(const std::string& text) {
    unsigned fcs = 0;
    for (unsigned char c : text) {
        fcs ^= c;
    }
    return fcs;
}

std::string Hex2(unsigned value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}

bool Digits(const std::string& text, size_t from, size_t count, bool hex) {
    if (from + count > text.size()) {
        return false;
    }
    for (size_t i = from; i < from + count; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (!(hex ? std::isxdigit(c) : std::isdigit(c))) {
            return false;
        }
    }
    return true;
}

// What the PLC answers to one line (without FCS, "*" and CR), or nothing.
struct Reply {
    bool answer = false;
    std::string body;  // "@", unit, command, end code, data
};

Reply Handle(Plc& plc, const std::string& line) {
    Reply reply;
    if (line == "@**") {
        if (!plc.quiet) {
            std::printf("%s init\n", Stamp().c_str());
        }
        return reply;
    }
    // "@", unit (2), command (2), parameters, FCS (2), "*".
    if (line.size() < 8 || line[0] != '@' || line.back() != '*' || !Digits(line, 1, 2, false)) {
        return reply;
    }
    int unit = std::atoi(line.substr(1, 2).c_str());
    if (plc.units.count(unit) == 0) {
        return reply;  // another PLC's command, or one nobody answers
    }
    reply.answer = true;
    std::string command = line.substr(3, 2);
    std::string head = line.substr(0, 5);
    std::string covered = line.substr(0, line.size() - 3);
    std::string fcs = line.substr(line.size() - 3, 2);
    if (!Digits(fcs, 0, 2, true) || std::strtoul(fcs.c_str(), nullptr, 16) != Fcs(covered)) {
        reply.body = head + kEndFcs;
        return reply;
    }
    std::string parameters = covered.substr(5);
    if (command == "TS") {
        reply.body = head + parameters;
        return reply;
    }
    bool write = command[0] == 'W';
    bool read = command[0] == 'R' || command == "XY";
    if (!write && !read) {
        reply.body = head + kEndCommand;
        return reply;
    }
    char area = command[1];
    if (!Digits(parameters, 0, 4, false)) {
        reply.body = head + kEndFormat;
        return reply;
    }
    int address = std::atoi(parameters.substr(0, 4).c_str());
    if (write) {
        std::string data = parameters.substr(4);
        size_t count = data.size() / 4;
        if (data.empty() || data.size() % 4 != 0 || !Digits(data, 0, data.size(), true)) {
            reply.body = head + kEndFormat;
            return reply;
        }
        if (address + count > static_cast<size_t>(kWords)) {
            reply.body = head + kEndAddress;
            return reply;
        }
        std::vector<unsigned>& words = plc.Area(unit, area);
        std::string shown;
        for (size_t i = 0; i < count; ++i) {
            words[address + i] = std::strtoul(data.substr(4 * i, 4).c_str(), nullptr, 16);
            shown += " " + data.substr(4 * i, 4);
        }
        ++plc.writes;
        if (!plc.quiet) {
            std::printf("%s write unit %02d %s %04d:%s\n", Stamp().c_str(), unit, command.c_str(),
                        address, shown.c_str());
        }
        reply.body = head + "00";
        return reply;
    }
    if (parameters.size() != 8 || !Digits(parameters, 4, 4, false)) {
        reply.body = head + kEndFormat;
        return reply;
    }
    int count = std::atoi(parameters.substr(4, 4).c_str());
    if (count < 1 || count > kMaxReadWords) {
        reply.body = head + kEndFormat;
        return reply;
    }
    if (address + count > kWords) {
        reply.body = head + kEndAddress;
        return reply;
    }
    std::vector<unsigned>& words = plc.Area(unit, area);
    reply.body = head + "00";
    for (int i = 0; i < count; ++i) {
        char word[5];
        std::snprintf(word, sizeof word, "%04X", words[static_cast<size_t>(address + i)] & 0xFFFF);
        reply.body += word;
    }
    return reply;
}

// The answer line as the cues make it; sets *delayMs for a late one. Empty: silence.
std::string Misbehave(Plc& plc, std::string body, long* delayMs) {
    *delayMs = 0;
    if (plc.silence.On()) {
        plc.silence.Use();
        return "";
    }
    if (plc.late.On()) {
        plc.late.Use();
        *delayMs = plc.lateMs;
    }
    if (plc.endcode.On() && body.size() >= 5) {
        plc.endcode.Use();
        body = body.substr(0, 5) + plc.endCodeText;  // an error carries no data
    }
    if (plc.otherunit.On()) {
        plc.otherunit.Use();
        int unit = (std::atoi(body.substr(1, 2).c_str()) + 1) % 100;
        char digits[12];
        std::snprintf(digits, sizeof digits, "%02d", unit);
        body.replace(1, 2, digits);
    }
    unsigned fcs = Fcs(body);
    if (plc.badfcs.On()) {
        plc.badfcs.Use();
        fcs ^= 0x5A;
    }
    std::string line = body + Hex2(fcs) + "*";
    if (plc.nocr.On()) {
        plc.nocr.Use();
    } else {
        line += CR;
    }
    if (plc.garble.On() && line.size() > 8) {
        plc.garble.Use();
        // Two characters changed by different bits: the FCS cannot hide it.
        line[line.size() / 2] ^= 0x01;
        line[line.size() / 2 + 1] ^= 0x04;
    }
    if (plc.garbage.On()) {
        plc.garbage.Use();
        // A burst of interference over the whole answer: any byte, carriage returns too.
        line = simkit::RandomBytes(static_cast<size_t>(plc.garbageBytes));
    }
    return line;
}

void ReadControl(simkit::ControlFifo& c, Plc& plc) {
    c.Take([&plc](const std::string& line) {
        ApplyLine(plc, line);
        if (!plc.quiet) {
            std::printf("%s cue %s\n", Stamp().c_str(), line.c_str());
        }
    });
}

void WriteStatus(const std::string& path, const Plc& plc) {
    simkit::WriteStatus(path, "commands=%ld answers=%ld writes=%ld\n", plc.commands, plc.answers,
                        plc.writes);
}

struct Pending {
    long long dueNs;
    std::string bytes;
};

}  // namespace

int main(int argc, char** argv) {
    Plc plc;
    std::string link, script, control, status;
    long long baud = 9600;
    std::vector<std::string> cues;
    std::optional<int> leave = simkit::ParseArguments(
        "syswaysim", kUsage, argc, argv,
        {simkit::Text("--link", &link),
         {"--units", true,
          [&plc](const std::string& v) {
              plc.units.clear();
              for (const std::string& unit : simkit::Split(v, ',')) {
                  plc.units.insert(std::atoi(unit.c_str()));
              }
          }},
         {"--baud", true, [&baud](const std::string& v) { baud = std::atoll(v.c_str()); }},
         simkit::Text("--script", &script),
         simkit::Text("--control", &control),
         simkit::Text("--status", &status),
         simkit::Flag("--quiet", &plc.quiet),
         {"--cue", true, [&cues](const std::string& v) { cues.push_back(v); }}});
    if (leave) {
        return *leave;
    }
    if (link.empty() || baud < 0) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (simkit::ApplyScript("syswaysim", script, [&plc](const std::string& text) {
            return ApplyLine(plc, text);
        }) != 0) {
        return 2;
    }
    for (const std::string& cue : cues) {
        if (!ApplyLine(plc, cue)) {
            return 2;
        }
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    simkit::HoldStopSignals();
    simkit::ControlFifo ctl;
    if (ctl.Open("syswaysim", control) != 0) {
        return 2;
    }
    PtyLine line;
    if (line.Open(link) != 0) {
        std::fprintf(stderr, "syswaysim: line %s: %s\n", link.c_str(), strerror(errno));
        return 1;
    }
    WriteStatus(status, plc);

    long long charNs = baud > 0 ? kCharBits * 1000000000LL / baud : 0;
    std::string received;
    std::deque<Pending> pending;  // answers in order, each not before its time
    std::string out;              // the answer being sent
    long long outStart = 0;       // when its first character went
    size_t outSent = 0;
    int rc = 0;
    while (!simkit::StopAsked() && !plc.quit) {
        long long now = NowNs();
        long long wake = now + 200000000LL;  // commands on the FIFO are looked at this often
        if (!out.empty()) {
            wake = charNs > 0 ? outStart + static_cast<long long>(outSent + 1) * charNs : now;
        } else if (!pending.empty()) {
            wake = pending.front().dueNs;
        }
        pollfd fds[2] = {{line.Master(), POLLIN, 0}, {ctl.Fd(), POLLIN, 0}};
        simkit::Poll(fds, ctl.Fd() >= 0 ? 2 : 1, wake);

        ReadControl(ctl, plc);
        char buffer[512];
        ssize_t n;
        while ((n = read(line.Master(), buffer, sizeof buffer)) > 0) {
            received.append(buffer, static_cast<size_t>(n));
        }
        size_t end;
        while ((end = received.find(CR)) != std::string::npos) {
            std::string command = received.substr(0, end);
            received.erase(0, end + 1);
            // Noise before a command: it starts at its last "@".
            if (size_t at = command.rfind('@'); at != std::string::npos && at > 0) {
                command.erase(0, at);
            }
            ++plc.commands;
            Reply reply = Handle(plc, command);
            if (reply.answer) {
                long delayMs = 0;
                std::string bytes = Misbehave(plc, reply.body, &delayMs);
                if (!bytes.empty()) {
                    // The command took its line time to come in.
                    long long due = NowNs() + static_cast<long long>(command.size() + 1) * charNs +
                                    delayMs * 1000000LL;
                    pending.push_back({due, bytes});
                    ++plc.answers;
                }
            }
            WriteStatus(status, plc);
        }
        if (received.size() > 4096) {
            received.clear();  // a line that never ends
        }

        now = NowNs();
        if (out.empty() && !pending.empty() && pending.front().dueNs <= now) {
            out = pending.front().bytes;
            pending.pop_front();
            outStart = now;
            outSent = 0;
        }
        if (!out.empty()) {
            size_t due = out.size() - outSent;
            if (charNs > 0) {
                long long allowed = (now - outStart) / charNs + 1 - static_cast<long long>(outSent);
                due = allowed <= 0 ? 0 : std::min(due, static_cast<size_t>(allowed));
            }
            if (due > 0) {
                ssize_t written = write(line.Master(), out.data() + outSent, due);
                if (written > 0) {
                    outSent += static_cast<size_t>(written);
                } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
                    std::perror("syswaysim: write");
                    rc = 1;
                    break;
                }
            }
            if (outSent == out.size()) {
                out.clear();
            }
        }
    }
    WriteStatus(status, plc);
    line.Close();
    ctl.Close();
    return rc;
}
