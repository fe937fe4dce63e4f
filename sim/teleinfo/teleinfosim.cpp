// teleinfosim: an electricity meter's customer output on a pseudo-terminal. It holds the master
// side, links a path (e.g. a sandbox's dev/ttyUSB0) to the slave side, and sends historic-mode
// frames built from a script, at the pace of a 1200-baud line or as fast as the reader takes them.
// On cue (script, command line, or a command FIFO read while it runs) it misbehaves: bad checksum,
// missing separator, frame cut by EOT, injection frames, labels that stop coming, raw bytes.
//
// Framing and checksum are written here from the line rules, independently of the decoder.
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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

constexpr char STX = 0x02, ETX = 0x03, EOT = 0x04, LF = 0x0A, CR = 0x0D, SP = 0x20;

const char* const kUsage =
    "usage: teleinfosim --link PATH [options]\n"
    "  --link PATH        symbolic link made to the pty's slave side (removed at the end)\n"
    "  --script FILE      groups and cues, one a line (see below)\n"
    "  --group L=V        a group of every frame (after the script's)\n"
    "  --control FIFO     command FIFO, read while running (created if missing)\n"
    "  --status FILE      rewritten after each frame: frames=N commands=N bytes=N\n"
    "  --group-times FILE a line per group sent: LABEL and the wall-clock time (microseconds\n"
    "                     since 1970) at which its last character was written\n"
    "  --fast             as fast as the reader takes them (default: 1200-baud pace)\n"
    "  --baud N           pace of N bit/s, 10 bits a character (default 1200)\n"
    "  --gap MS           pause between frames (default 0)\n"
    "  --frames N         stop after N frames\n"
    "  --bad-checksum L, --no-separator L, --stop L, --eot-after N, --inject, --raw TEXT\n"
    "script and FIFO lines:  LABEL VALUE | !badsum L [N] | !nosep L [N] | !stop L | !resume L\n"
    "  | !eot K [N] | !inject [N] | !noinject | !raw TEXT | !frame on|off | !silence on|off\n"
    "  | !set L VALUE | !del L | !clear | !quit      (N: frames affected, 0 or absent = all;\n"
    "  FIFO lines may omit the '!'; raw TEXT takes \\r \\n \\t \\\\ \\xHH)\n";

struct Item {
    bool raw = false;
    std::string label;  // group label, or raw bytes
    std::string value;
    bool stopped = false;
    simkit::Cue badsum;  // frames with a bad checksum
    simkit::Cue nosep;   // frames without the separator before the checksum
};

struct Meter {
    std::vector<Item> items;
    bool framing = true;     // STX ... ETX around the items
    int eotAfter = -1;       // cut the frame with EOT after this many groups
    simkit::Cue eotFrames;   // frames with that cut
    simkit::Cue inject;      // frames with Appli INJECTION
    bool silent = false;     // sends nothing
    std::string pendingRaw;  // bytes sent once before the next frame
    bool quit = false;
    long frames = 0;
    long commands = 0;
    long long bytes = 0;
    FILE* groupTimes = nullptr;  // --group-times
};

int CueCount(const std::vector<std::string>& words, size_t at) {
    return words.size() > at ? atoi(words[at].c_str()) : 0;
}

std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        switch (c) {
            case 'r':
                out += '\r';
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'x':
                if (i + 2 < text.size() && isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                    isxdigit(static_cast<unsigned char>(text[i + 2]))) {
                    out += static_cast<char>(strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
                    i += 2;
                } else {
                    out += 'x';
                }
                break;
            default:
                out += c;
                break;
        }
    }
    return out;
}

Item* FindGroup(Meter& m, const std::string& label) {
    for (Item& item : m.items) {
        if (!item.raw && item.label == label) {
            return &item;
        }
    }
    return nullptr;
}

// Words of a line part at spaces alone: any other character may be part of a label or value.
std::vector<std::string> Words(const std::string& line, size_t max) {
    return simkit::Words(line, max, " ");
}

// One cue or group line. fromFifo: the '!' is optional and a plain "L V" line means !set.
bool ApplyLine(Meter& m, std::string line, bool fromFifo) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
        line.pop_back();
    }
    if (line.empty() || line[0] == '#') {
        return true;
    }
    bool cue = line[0] == '!';
    if (cue) {
        line.erase(0, 1);
    }
    std::vector<std::string> w = Words(line, 3);
    if (w.empty()) {
        return true;  // a lone '!' or a line of spaces
    }
    const std::string& verb = w[0];
    static const char* const kVerbs[] = {"badsum", "nosep",    "stop",  "resume", "eot",
                                         "inject", "noinject", "raw",   "frame",  "silence",
                                         "set",    "del",      "clear", "quit"};
    bool known = false;
    for (const char* v : kVerbs) {
        known = known || verb == v;
    }
    if (!cue && (!fromFifo || !known)) {
        // a group of the frame: LABEL VALUE (the value may hold spaces)
        size_t space = line.find(' ');
        std::string label = line.substr(0, space);
        std::string value = space == std::string::npos ? "" : line.substr(space + 1);
        if (Item* found = FindGroup(m, label)) {
            found->value = value;
        } else {
            Item item;
            item.label = label;
            item.value = value;
            m.items.push_back(item);
        }
        return true;
    }
    if (verb == "raw") {
        std::string text = Unescape(line.size() > 4 ? line.substr(4) : "");
        if (fromFifo) {
            m.pendingRaw += text;
        } else {
            Item item;
            item.raw = true;
            item.label = text;
            m.items.push_back(item);
        }
        return true;
    }
    if (verb == "badsum" || verb == "nosep" || verb == "stop" || verb == "resume" ||
        verb == "del") {
        if (w.size() < 2) {
            fprintf(stderr, "teleinfosim: %s needs a label\n", verb.c_str());
            return false;
        }
        std::vector<std::string> rest = Words(w.size() > 2 ? w[2] : "", 2);
        Item* item = FindGroup(m, w[1]);
        if (item == nullptr) {
            fprintf(stderr, "teleinfosim: no group %s\n", w[1].c_str());
            return false;
        }
        if (verb == "badsum") {
            item->badsum.left = CueCount(rest, 0);
        } else if (verb == "nosep") {
            item->nosep.left = CueCount(rest, 0);
        } else if (verb == "stop") {
            item->stopped = true;
        } else if (verb == "resume") {
            item->stopped = false;
        } else {
            for (size_t i = 0; i < m.items.size(); ++i) {
                if (&m.items[i] == item) {
                    m.items.erase(m.items.begin() + static_cast<long>(i));
                    break;
                }
            }
        }
        return true;
    }
    if (verb == "set") {
        if (w.size() < 2) {
            return false;
        }
        return ApplyLine(m, w[1] + (w.size() > 2 ? " " + w[2] : ""), false);
    }
    if (verb == "eot") {
        std::vector<std::string> rest = Words(line, 4);
        m.eotAfter = CueCount(rest, 1);
        m.eotFrames.left = CueCount(rest, 2);
        return true;
    }
    if (verb == "inject") {
        m.inject.left = CueCount(w, 1);
        return true;
    }
    if (verb == "noinject") {
        m.inject = {};
        return true;
    }
    if (verb == "frame" || verb == "silence") {
        bool on = w.size() < 2 || w[1] == "on";
        (verb == "frame" ? m.framing : m.silent) = on;
        return true;
    }
    if (verb == "clear") {
        for (Item& item : m.items) {
            item.badsum = item.nosep = {};
            item.stopped = false;
        }
        m.eotAfter = -1;
        m.eotFrames = m.inject = {};
        m.silent = false;
        return true;
    }
    if (verb == "quit") {
        m.quit = true;
        return true;
    }
    fprintf(stderr, "teleinfosim: unknown cue %s\n", verb.c_str());
    return false;
}

char Checksum(const std::string& label, const std::string& value) {
    // Historic mode: label, the separator after it and the value, summed on 6 bits, + 0x20.
    unsigned sum = 0;
    for (unsigned char c : label) {
        sum += c;
    }
    sum += SP;
    for (unsigned char c : value) {
        sum += c;
    }
    return static_cast<char>((sum & 0x3F) + 0x20);
}

void AppendGroup(std::string& out, const std::string& label, const std::string& value, bool badsum,
                 bool nosep) {
    char sum = Checksum(label, value);
    if (badsum) {
        sum = static_cast<char>(((sum - 0x20 + 1) & 0x3F) + 0x20);
    }
    out += LF;
    out += label;
    out += SP;
    out += value;
    if (!nosep) {
        out += SP;
    }
    out += sum;
    out += CR;
}

std::string BuildFrame(Meter& m) {
    std::string out;
    if (m.framing) {
        out += STX;
    }
    int groups = 0;
    bool cut = false;
    auto eotDue = [&] { return m.eotFrames.On() && m.eotAfter >= 0 && groups == m.eotAfter; };
    if (m.inject.On()) {
        AppendGroup(out, "Appli", "INJECTION", false, false);
        ++groups;
    }
    for (Item& item : m.items) {
        if (eotDue()) {
            cut = true;
            break;
        }
        if (item.raw) {
            out += item.label;
            continue;
        }
        if (item.stopped) {
            continue;
        }
        AppendGroup(out, item.label, item.value, item.badsum.On(), item.nosep.On());
        item.badsum.Use();
        item.nosep.Use();
        ++groups;
    }
    if (cut || eotDue()) {
        out += EOT;
        m.eotFrames.Use();
    } else if (m.framing) {
        out += ETX;
    }
    m.inject.Use();
    return out;
}

using simkit::NowNs;

void ReadControl(simkit::ControlFifo& c, Meter& m) {
    c.Take([&m](const std::string& line) {
        ApplyLine(m, line, true);
        ++m.commands;
    });
}

// Waits until the deadline (monotonic ns), for the master to take bytes, or for a command.
void Wait(int fd, short events, const simkit::ControlFifo& c, long long deadline) {
    pollfd fds[2] = {{fd, events, 0}, {c.Fd(), POLLIN, 0}};
    simkit::Poll(fds, c.Fd() >= 0 ? 2 : 1, deadline);
}

// Writes to --group-times the label and the time of each group end (CR) among bytes[from, from +
// count), just written.
void NoteGroupEnds(Meter& m, const std::string& bytes, size_t from, size_t count) {
    if (m.groupTimes == nullptr) {
        return;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    long long us = now.tv_sec * 1000000LL + now.tv_nsec / 1000;
    for (size_t i = from; i < from + count; ++i) {
        if (bytes[i] != CR) {
            continue;
        }
        size_t lf = bytes.rfind(LF, i);
        size_t start = lf == std::string::npos ? 0 : lf + 1;
        size_t space = bytes.find(SP, start);
        std::string label = bytes.substr(start, (space < i ? space : i) - start);
        fprintf(m.groupTimes, "%s %lld\n", label.c_str(), us);
    }
    fflush(m.groupTimes);
}

// Sends bytes: paced (charNs > 0) one character time each, or as fast as the pty takes them.
bool Send(PtyLine& line, Meter& m, simkit::ControlFifo& c, const std::string& bytes,
          long long charNs, long long& paceStart, long long& paceSent) {
    size_t done = 0;
    while (done < bytes.size() && !simkit::StopAsked()) {
        size_t due = bytes.size() - done;
        if (charNs > 0) {
            long long now = NowNs();
            long long allowed = (now - paceStart) / charNs - paceSent;
            if (allowed <= 0) {
                Wait(line.Master(), 0, c, paceStart + (paceSent + 1) * charNs);
                ReadControl(c, m);
                continue;
            }
            if (static_cast<long long>(due) > allowed) {
                due = static_cast<size_t>(allowed);
            }
        }
        ssize_t n = write(line.Master(), bytes.data() + done, due);
        if (n > 0) {
            NoteGroupEnds(m, bytes, done, static_cast<size_t>(n));
            done += static_cast<size_t>(n);
            paceSent += n;
            m.bytes += n;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            perror("teleinfosim: write");
            return false;
        } else {
            // the reader's buffer is full: wait until it takes more (bounded, to see commands)
            Wait(line.Master(), POLLOUT, c, NowNs() + 200000000LL);
            ReadControl(c, m);
            if (charNs > 0) {
                // a stalled reader does not earn a burst afterwards
                paceStart = NowNs() - paceSent * charNs;
            }
        }
    }
    return done == bytes.size();
}

void WriteStatus(const std::string& path, const Meter& m) {
    simkit::WriteStatus(path, "frames=%ld commands=%ld bytes=%lld\n", m.frames, m.commands,
                        m.bytes);
}

}  // namespace

int main(int argc, char** argv) {
    Meter meter;
    std::string link, script, control, status, groupTimes;
    long long baud = 1200;
    bool fast = false;
    long gapMs = 0;
    long maxFrames = -1;
    std::vector<std::string> cues;  // command-line cues, applied after the script
    auto cue = [&cues](const char* name, const char* prefix) {
        return simkit::Option{
            name, true, [&cues, prefix](const std::string& v) { cues.push_back(prefix + v); }};
    };
    std::optional<int> leave = simkit::ParseArguments(
        "teleinfosim", kUsage, argc, argv,
        {simkit::Text("--link", &link),
         simkit::Text("--script", &script),
         simkit::Text("--control", &control),
         simkit::Text("--status", &status),
         simkit::Text("--group-times", &groupTimes),
         simkit::Flag("--fast", &fast),
         {"--baud", true, [&](const std::string& v) { baud = atoll(v.c_str()); }},
         {"--gap", true, [&](const std::string& v) { gapMs = atol(v.c_str()); }},
         {"--frames", true, [&](const std::string& v) { maxFrames = atol(v.c_str()); }},
         {"--group", true,
          [&](const std::string& g) {
              size_t eq = g.find('=');
              cues.push_back(eq == std::string::npos ? g
                                                     : g.substr(0, eq) + " " + g.substr(eq + 1));
          }},
         cue("--bad-checksum", "!badsum "),
         cue("--no-separator", "!nosep "),
         cue("--stop", "!stop "),
         cue("--eot-after", "!eot "),
         {"--inject", false, [&](const std::string&) { cues.push_back("!inject"); }},
         cue("--raw", "!raw ")});
    if (leave) {
        return *leave;
    }
    if (link.empty() || baud <= 0) {
        fputs(kUsage, stderr);
        return 2;
    }
    if (simkit::ApplyScript("teleinfosim", script, [&meter](const std::string& text) {
            return ApplyLine(meter, text, false);
        }) != 0) {
        return 2;
    }
    // Command-line groups come first so that cues naming them find them.
    for (const std::string& cue : cues) {
        if (cue[0] != '!' && !ApplyLine(meter, cue, false)) {
            return 2;
        }
    }
    for (const std::string& cue : cues) {
        if (cue[0] == '!' && !ApplyLine(meter, cue, false)) {
            return 2;
        }
    }

    simkit::HoldStopSignals();
    simkit::ControlFifo ctl;
    if (ctl.Open("teleinfosim", control) != 0) {
        return 2;
    }

    if (!groupTimes.empty() && (meter.groupTimes = fopen(groupTimes.c_str(), "w")) == nullptr) {
        fprintf(stderr, "teleinfosim: %s: %s\n", groupTimes.c_str(), strerror(errno));
        return 2;
    }
    // The slave side stays open here too: the line stays up while the reader opens and closes it.
    PtyLine line;
    if (line.Open(link) != 0) {
        fprintf(stderr, "teleinfosim: line %s: %s\n", link.c_str(), strerror(errno));
        return 1;
    }
    WriteStatus(status, meter);

    long long charNs = fast ? 0 : 10LL * 1000000000LL / baud;
    long long paceStart = NowNs();
    long long paceSent = 0;
    int rc = 0;
    while (!simkit::StopAsked() && !meter.quit && (maxFrames < 0 || meter.frames < maxFrames)) {
        ReadControl(ctl, meter);
        if (!meter.pendingRaw.empty()) {
            std::string raw;
            raw.swap(meter.pendingRaw);
            if (!Send(line, meter, ctl, raw, charNs, paceStart, paceSent)) {
                rc = simkit::StopAsked() ? 0 : 1;
                break;
            }
        }
        if (meter.silent || meter.quit) {
            // a silent meter: wait for a command
            Wait(line.Master(), 0, ctl, NowNs() + 50000000LL);
            paceStart = NowNs();
            paceSent = 0;
            continue;
        }
        std::string frame = BuildFrame(meter);
        if (!Send(line, meter, ctl, frame, charNs, paceStart, paceSent)) {
            rc = simkit::StopAsked() ? 0 : 1;
            break;
        }
        ++meter.frames;
        WriteStatus(status, meter);
        if (gapMs > 0) {
            long long until = NowNs() + gapMs * 1000000LL;
            while (!simkit::StopAsked() && NowNs() < until) {
                Wait(line.Master(), 0, ctl, until);
                ReadControl(ctl, meter);
            }
            paceStart = NowNs();
            paceSent = 0;
        }
    }
    // Let the reader take what is still queued on a bounded run (--frames), then leave. The pty
    // hands written bytes to the slave side asynchronously, so an empty queue counts only once
    // it has stayed empty for a moment.
    if (!simkit::StopAsked() && maxFrames >= 0) {
        long long until = NowNs() + 5000000000LL;
        long long emptySince = 0;
        int queued = 0;
        while (!simkit::StopAsked() && NowNs() < until &&
               ioctl(line.Slave(), FIONREAD, &queued) == 0) {
            if (queued > 0) {
                emptySince = 0;
            } else if (emptySince == 0) {
                emptySince = NowNs();
            } else if (NowNs() - emptySince > 200000000LL) {
                break;
            }
            Wait(line.Master(), 0, ctl, NowNs() + 10000000LL);
        }
    }
    WriteStatus(status, meter);
    line.Close();
    ctl.Close();
    if (meter.groupTimes != nullptr) {
        fclose(meter.groupTimes);
    }
    return rc;
}
