// unitelwaysim: a PLC as the master of a Uni-Telway bus, on a pseudo-terminal. It holds the master
// side, links a path (e.g. a sandbox's dev/ttyUSB0) to the slave side, and polls a list of slave
// addresses at a set period. A slave polled answers EOT or sends a frame holding an X-WAY request;
// the master acknowledges it, serves the request from its PLC memory (bits, words, double words,
// objects by segment and type) and sends the answer at the slave's next turn, which the slave
// acknowledges. What the slaves write is shown (standard output and --written).
//
// On cue (script, FIFO) it misbehaves: wrong BCC, lone DLE, DLE STX inside an answer, NAK or no
// acknowledgement of a slave's frame, negative answers, answers of 6 data bytes, polls of other
// addresses, a pause in polling, silence, bursts of random bytes on the bus. It also measures how
// long each polled slave takes to start answering (--latency).
//
// Framing, BCC and the request formats are written here from the protocol's rules, independently
// of the driver.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "kit/args.h"
#include "kit/control.h"
#include "kit/cue.h"
#include "kit/run.h"
#include "kit/words.h"
#include "pty.h"

namespace {

constexpr uint8_t DLE = 0x10, STX = 0x02, ENQ = 0x05, ACK = 0x06, NAK = 0x15, EOT = 0x04;
constexpr uint8_t kPositive = 0xFE, kNegative = 0xFD;

const char* const kUsage =
    "usage: unitelwaysim --link PATH [options]\n"
    "  --link PATH      symbolic link made to the pty's slave side (removed at the end)\n"
    "  --slaves LIST    slave addresses polled in turn, comma-separated (default 6)\n"
    "  --period MS      one round of the list every MS milliseconds (default 20)\n"
    "  --reply MS       time a slave has to start answering, and between two bytes (default 20)\n"
    "  --script FILE    PLC memory and cues, one a line (see below)\n"
    "  --control FIFO   command FIFO, read while running (created if missing)\n"
    "  --written FILE   a line per value a slave wrote: CODE ADDRESS VALUE, or 55 SEGMENT TYPE\n"
    "                   ADDRESS VALUE for objects\n"
    "  --status FILE    counters, rewritten at most every 100 ms and at the end\n"
    "  --latency FILE   at the end: time from the last byte of a poll to the first byte of\n"
    "                   the answer, over the answered polls (microseconds)\n"
    "  --rounds N       stop after N rounds\n"
    "script and FIFO lines:\n"
    "  mem CODE ADDRESS VALUE      memory read by request code CODE: 0, 1 bits; 4 to 7 words;\n"
    "                              64, 65 double words (writes 16, 17, 20, 21, 22, 70 go to\n"
    "                              0, 1, 4, 5, 6, 64)\n"
    "  obj SEGMENT TYPE ADDRESS VALUE   objects of codes 54 and 55 (types 5, 6 bits, 7 words,\n"
    "                              8 double words)\n"
    "  badbcc [N] | lonedle [N] | dlestx [N] | negative [N] | short [N]   the next N answers\n"
    "  nak [N] | noack [N]         the next N frames of the slaves\n"
    "  noise K [N]                 K random bytes on the bus before each of the next N rounds\n"
    "                              (N absent or 0: until clear)\n"
    "  slaves LIST | period MS | pause MS | silence on|off | clear | quit\n";

using simkit::Cue;
using simkit::NowNs;
using simkit::StopAsked;

struct Counters {
    long rounds = 0, polls = 0, eot = 0, requests = 0, answers = 0, acked = 0, naked = 0,
         unacked = 0, timeouts = 0, badFrames = 0, writes = 0, late = 0;
};

struct Plc {
    std::map<std::pair<int, int>, uint32_t> memory;         // (read code, address)
    std::map<std::tuple<int, int, int>, uint32_t> objects;  // (segment, type, address)
    Cue badBcc, loneDle, dleStx, negative, shortAnswer, nak, noAck, noise;
    int noiseBytes = 0;
    std::vector<int> slaves{6};
    long long periodNs = 20000000LL;
    long long replyNs = 20000000LL;
    long long pauseUntil = 0;
    bool silent = false;
    bool quit = false;
    std::map<int, std::string> pending;  // answer data waiting for the slave's next turn
    Counters n;
    std::vector<uint32_t> latencies;  // microseconds
    FILE* written = nullptr;
};

long Number(const std::string& text) {
    return strtol(text.c_str(), nullptr, 0);
}

std::vector<int> List(const std::string& text) {
    std::vector<int> values;
    for (const std::string& item : simkit::Split(text, ',')) {
        if (!item.empty()) {
            values.push_back(static_cast<int>(Number(item)));
        }
    }
    return values;
}

bool ApplyLine(Plc& p, std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
        line.pop_back();
    }
    std::vector<std::string> w = simkit::Words(line);
    if (w.empty() || w[0][0] == '#') {
        return true;
    }
    if (w[0][0] == '!') {
        w[0].erase(0, 1);
    }
    const std::string& verb = w[0];
    auto count = [&](size_t at) { return w.size() > at ? static_cast<int>(Number(w[at])) : 0; };
    if (verb == "mem" && w.size() == 4) {
        p.memory[{static_cast<int>(Number(w[1])), static_cast<int>(Number(w[2]))}] =
            static_cast<uint32_t>(Number(w[3]));
    } else if (verb == "obj" && w.size() == 5) {
        p.objects[{static_cast<int>(Number(w[1])), static_cast<int>(Number(w[2])),
                   static_cast<int>(Number(w[3]))}] = static_cast<uint32_t>(Number(w[4]));
    } else if (verb == "badbcc") {
        p.badBcc.left = count(1);
    } else if (verb == "lonedle") {
        p.loneDle.left = count(1);
    } else if (verb == "dlestx") {
        p.dleStx.left = count(1);
    } else if (verb == "negative") {
        p.negative.left = count(1);
    } else if (verb == "short") {
        p.shortAnswer.left = count(1);
    } else if (verb == "nak") {
        p.nak.left = count(1);
    } else if (verb == "noack") {
        p.noAck.left = count(1);
    } else if (verb == "noise" && w.size() >= 2) {
        p.noiseBytes = std::clamp(count(1), 1, 512);
        p.noise.left = count(2);
    } else if (verb == "slaves" && w.size() == 2) {
        p.slaves = List(w[1]);
    } else if (verb == "period" && w.size() == 2) {
        p.periodNs = Number(w[1]) * 1000000LL;
    } else if (verb == "pause" && w.size() == 2) {
        p.pauseUntil = NowNs() + Number(w[1]) * 1000000LL;
    } else if (verb == "silence") {
        p.silent = w.size() < 2 || w[1] == "on";
    } else if (verb == "clear") {
        for (Cue* cue : {&p.badBcc, &p.loneDle, &p.dleStx, &p.negative, &p.shortAnswer, &p.nak,
                         &p.noAck, &p.noise}) {
            cue->left = -1;
        }
        p.silent = false;
        p.pauseUntil = 0;
    } else if (verb == "quit") {
        p.quit = true;
    } else {
        fprintf(stderr, "unitelwaysim: cannot read \"%s\"\n", line.c_str());
        return false;
    }
    return true;
}

// ---- the PLC: X-WAY requests -----------------------------------------------------------------

unsigned Le16(const std::string& d, size_t at) {
    return static_cast<uint8_t>(d[at]) | (static_cast<uint8_t>(d[at + 1]) << 8);
}
uint32_t Le32(const std::string& d, size_t at) {
    return Le16(d, at) | (static_cast<uint32_t>(Le16(d, at + 2)) << 16);
}
void PutLe(std::string& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>(value >> (8 * i));
    }
}

uint32_t Get(Plc& p, int space, int address) {
    auto found = p.memory.find({space, address});
    return found == p.memory.end() ? 0 : found->second;
}

void Written(Plc& p, const std::string& text) {
    ++p.n.writes;
    printf("written %s\n", text.c_str());
    fflush(stdout);
    if (p.written != nullptr) {
        fprintf(p.written, "%s\n", text.c_str());
        fflush(p.written);
    }
}

void Put(Plc& p, int writeCode, int space, int address, uint32_t value) {
    p.memory[{space, address}] = value;
    Written(
        p, std::to_string(writeCode) + " " + std::to_string(address) + " " + std::to_string(value));
}

// Bytes of one object of a type: 0 for bits (packed 8 a byte).
int ObjectBytes(int type) {
    return type == 7 ? 2 : type == 8 ? 4 : 0;
}

// The answer's data to a request's data; empty when the request is not one.
std::string Serve(Plc& p, const std::string& d) {
    if (d.size() < 8 || static_cast<uint8_t>(d[0]) != 0x20 || d[7] != 0x07) {
        return "";
    }
    int code = static_cast<uint8_t>(d[6]);
    std::string answer = d.substr(0, 6);
    std::string payload;
    uint8_t answerCode = kPositive;
    auto need = [&](size_t size) { return d.size() >= size; };
    bool known = true;
    switch (code) {
        case 0:
        case 1:
            known = need(10);
            if (known) {
                int address = static_cast<int>(Le16(d, 8));
                uint8_t bits = 0;
                for (int i = 0; i < 8; ++i) {
                    bits |= static_cast<uint8_t>((Get(p, code, address + i) & 1u) << i);
                }
                payload += static_cast<char>(bits);
                answerCode = static_cast<uint8_t>(0x30 + code);
            }
            break;
        case 4:
        case 5:
        case 6:
        case 7:
            known = need(10);
            if (known) {
                PutLe(payload, Get(p, code, static_cast<int>(Le16(d, 8))), 2);
                answerCode = static_cast<uint8_t>(0x30 + code);
            }
            break;
        case 64:
        case 65:
            known = need(10);
            if (known) {
                PutLe(payload, Get(p, code, static_cast<int>(Le16(d, 8))), 4);
                answerCode = static_cast<uint8_t>(0x30 + code);
            }
            break;
        case 16:
        case 17:
            known = need(11);
            if (known) {
                Put(p, code, code - 16, static_cast<int>(Le16(d, 8)), d[10] & 1);
            }
            break;
        case 20:
        case 21:
        case 22:
            known = need(12);
            if (known) {
                Put(p, code, code - 16, static_cast<int>(Le16(d, 8)), Le16(d, 10));
            }
            break;
        case 70:
            known = need(14);
            if (known) {
                Put(p, code, 64, static_cast<int>(Le16(d, 8)), Le32(d, 10));
            }
            break;
        case 54:
        case 55: {
            known = need(14);
            if (!known) {
                break;
            }
            int segment = static_cast<uint8_t>(d[8]);
            int type = static_cast<uint8_t>(d[9]);
            int address = static_cast<int>(Le16(d, 10));
            int count = static_cast<int>(Le16(d, 12));
            int size = ObjectBytes(type);
            size_t dataBytes = size > 0 ? static_cast<size_t>(size * count) : (count + 7) / 8;
            auto object = [&](int i) -> uint32_t& {
                return p.objects[{segment, type, address + i}];
            };
            if (code == 54) {
                payload += static_cast<char>(type);
                std::string values(dataBytes, '\0');
                for (int i = 0; i < count; ++i) {
                    if (size == 0) {
                        values[i / 8] =
                            static_cast<char>(values[i / 8] | ((object(i) & 1u) << (i % 8)));
                    } else {
                        for (int b = 0; b < size; ++b) {
                            values[i * size + b] = static_cast<char>(object(i) >> (8 * b));
                        }
                    }
                }
                payload += values;
                answerCode = 0x66;
            } else {
                known = need(14 + dataBytes);
                for (int i = 0; known && i < count; ++i) {
                    uint32_t value = size == 0
                                         ? (static_cast<uint8_t>(d[14 + i / 8]) >> (i % 8)) & 1u
                                     : size == 2 ? Le16(d, 14 + 2 * i)
                                                 : Le32(d, 14 + 4 * i);
                    object(i) = value;
                    Written(p, "55 " + std::to_string(segment) + " " + std::to_string(type) + " " +
                                   std::to_string(address + i) + " " + std::to_string(value));
                }
            }
            break;
        }
        default:
            known = false;
            break;
    }
    if (!known || p.negative.Take()) {
        answerCode = kNegative;
        payload.clear();
    }
    if (p.shortAnswer.Take()) {
        return answer;  // six data bytes: no answer code
    }
    return answer + static_cast<char>(answerCode) + payload;
}

// ---- the line --------------------------------------------------------------------------------

void ReadControl(simkit::ControlFifo& c, Plc& p) {
    c.Take([&p](const std::string& line) { ApplyLine(p, line); });
}

struct Bus {
    PtyLine line;
    simkit::ControlFifo control;
    uint8_t in[256];
    size_t inNext = 0, inEnd = 0;
    long long lastByteNs = 0;  // when the byte last taken became readable
};

// Waits for the line (or a command) until the deadline; true when the line has bytes.
bool WaitLine(Bus& bus, Plc& p, long long deadlineNs) {
    for (;;) {
        pollfd fds[2] = {{bus.line.Master(), POLLIN, 0}, {bus.control.Fd(), POLLIN, 0}};
        int ready = simkit::Poll(fds, bus.control.Fd() >= 0 ? 2 : 1, deadlineNs);
        if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
            ReadControl(bus.control, p);
        }
        if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
            return true;
        }
        if (StopAsked() || NowNs() >= deadlineNs) {
            return false;
        }
    }
}

// The next byte from the slaves, or -1 when none came before the deadline.
int NextByte(Bus& bus, Plc& p, long long deadlineNs) {
    while (bus.inNext >= bus.inEnd) {
        if (!WaitLine(bus, p, deadlineNs)) {
            return -1;
        }
        bus.lastByteNs = NowNs();
        ssize_t n = read(bus.line.Master(), bus.in, sizeof bus.in);
        if (n > 0) {
            bus.inNext = 0;
            bus.inEnd = static_cast<size_t>(n);
        }
    }
    return bus.in[bus.inNext++];
}

// Discards what the slaves sent out of turn.
void Drain(Bus& bus, Plc& p) {
    p.n.late += static_cast<long>(bus.inEnd - bus.inNext) + static_cast<long>(bus.line.Discard());
    bus.inNext = bus.inEnd = 0;
}

void Send(Bus& bus, const std::string& bytes) {
    bus.line.Write(bytes, 1000);
}

std::string Framed(int address, const std::string& data, bool badBcc) {
    std::string out{static_cast<char>(DLE), static_cast<char>(STX), static_cast<char>(address)};
    auto put = [&out](char c) {
        out += c;
        if (static_cast<uint8_t>(c) == DLE) {
            out += c;
        }
    };
    put(static_cast<char>(data.size()));
    for (char c : data) {
        put(c);
    }
    uint8_t sum = 0;
    for (char c : out) {
        sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
    }
    out += static_cast<char>(badBcc ? sum + 1 : sum);
    return out;
}

// One frame from a slave after its DLE STX: its address and data, or false when broken.
bool ReadFrame(Bus& bus, Plc& p, int* address, std::string* data) {
    uint8_t sum = DLE + STX;
    auto next = [&](bool unstuff, int* value) {
        int b = NextByte(bus, p, NowNs() + p.replyNs);
        if (b < 0) {
            return false;
        }
        sum = static_cast<uint8_t>(sum + b);
        if (unstuff && b == DLE) {
            int again = NextByte(bus, p, NowNs() + p.replyNs);
            if (again != DLE) {
                return false;
            }
            sum = static_cast<uint8_t>(sum + again);
        }
        *value = b;
        return true;
    };
    int length = 0;
    if (!next(false, address) || !next(true, &length)) {
        return false;
    }
    data->clear();
    for (int i = 0; i < length; ++i) {
        int b = 0;
        if (!next(true, &b)) {
            return false;
        }
        *data += static_cast<char>(b);
    }
    uint8_t expected = sum;
    int bcc = NextByte(bus, p, NowNs() + p.replyNs);
    return bcc == expected;
}

// The slave's acknowledgement of what the master sent: ACK, NAK or -1.
int Acknowledgement(Bus& bus, Plc& p) {
    long long deadline = NowNs() + p.replyNs;
    for (int b; (b = NextByte(bus, p, deadline)) >= 0;) {
        if (b == ACK || b == NAK) {
            return b;
        }
    }
    return -1;
}

void SendAnswer(Bus& bus, Plc& p, int address, const std::string& data) {
    bool badBcc = p.badBcc.Take();
    std::string frame = Framed(address, data, badBcc);
    if (p.loneDle.Take() && data.size() > 6) {
        // A DLE alone before the answer code (never a DLE, ENQ or STX itself).
        size_t at = frame.find(static_cast<char>(data[6]), 4);
        frame.insert(at, 1, static_cast<char>(DLE));
    } else if (p.dleStx.Take()) {
        // The frame starts over in its own data, after the length and the first data byte.
        size_t cut = static_cast<uint8_t>(data.size()) == DLE ? 5 : 4;
        frame = frame.substr(0, cut) + data[0] + frame;
    }
    ++p.n.answers;
    Send(bus, frame);
    int ack = Acknowledgement(bus, p);
    ++(ack == ACK ? p.n.acked : ack == NAK ? p.n.naked : p.n.unacked);
}

// One poll: what the slave answers, and the time it took to start answering.
void PollSlave(Bus& bus, Plc& p, int address) {
    Drain(bus, p);
    std::string poll{static_cast<char>(DLE), static_cast<char>(ENQ), static_cast<char>(address)};
    Send(bus, poll);
    long long sentNs = NowNs();
    ++p.n.polls;
    int first = NextByte(bus, p, sentNs + p.replyNs);
    if (first < 0) {
        ++p.n.timeouts;
        return;
    }
    if (p.latencies.size() < 10000000) {
        p.latencies.push_back(static_cast<uint32_t>((bus.lastByteNs - sentNs) / 1000));
    }
    if (first == EOT) {
        ++p.n.eot;
        return;
    }
    int slave = -1;
    std::string data;
    if (first != DLE || NextByte(bus, p, NowNs() + p.replyNs) != STX ||
        !ReadFrame(bus, p, &slave, &data) || slave != address) {
        ++p.n.badFrames;
        Drain(bus, p);
        Send(bus, std::string(1, static_cast<char>(NAK)));
        return;
    }
    ++p.n.requests;
    if (p.noAck.Take()) {
        return;
    }
    if (p.nak.Take()) {
        Send(bus, std::string(1, static_cast<char>(NAK)));
        return;
    }
    Send(bus, std::string(1, static_cast<char>(ACK)));
    std::string answer = Serve(p, data);
    if (!answer.empty()) {
        p.pending[address] = answer;
    }
}

void WriteStatus(const std::string& path, const Plc& p) {
    const Counters& n = p.n;
    simkit::WriteStatus(path,
                        "rounds=%ld polls=%ld eot=%ld requests=%ld answers=%ld acked=%ld "
                        "naked=%ld unacked=%ld timeouts=%ld badframes=%ld writes=%ld late=%ld\n",
                        n.rounds, n.polls, n.eot, n.requests, n.answers, n.acked, n.naked,
                        n.unacked, n.timeouts, n.badFrames, n.writes, n.late);
}

void WriteLatency(const std::string& path, std::vector<uint32_t> samples) {
    if (path.empty()) {
        return;
    }
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr) {
        return;
    }
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        return samples.empty() ? 0u : samples[static_cast<size_t>(q * (samples.size() - 1))];
    };
    fprintf(f, "count=%zu p50=%u p90=%u p99=%u p999=%u max=%u (us)\n", samples.size(), at(0.5),
            at(0.9), at(0.99), at(0.999), samples.empty() ? 0u : samples.back());
    fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
    Plc plc;
    std::string link, script, control, written, status, latency;
    long maxRounds = -1;
    auto ms = [](long long* into) {
        return [into](const std::string& v) { *into = Number(v) * 1000000LL; };
    };
    std::optional<int> leave = simkit::ParseArguments(
        "unitelwaysim", kUsage, argc, argv,
        {simkit::Text("--link", &link),
         {"--slaves", true, [&plc](const std::string& v) { plc.slaves = List(v); }},
         {"--period", true, ms(&plc.periodNs)},
         {"--reply", true, ms(&plc.replyNs)},
         simkit::Text("--script", &script),
         simkit::Text("--control", &control),
         simkit::Text("--written", &written),
         simkit::Text("--status", &status),
         simkit::Text("--latency", &latency),
         {"--rounds", true, [&maxRounds](const std::string& v) { maxRounds = Number(v); }}});
    if (leave) {
        return *leave;
    }
    if (link.empty() || plc.periodNs <= 0 || plc.replyNs <= 0) {
        fputs(kUsage, stderr);
        return 2;
    }
    if (simkit::ApplyScript("unitelwaysim", script, [&plc](const std::string& text) {
            return ApplyLine(plc, text);
        }) != 0) {
        return 2;
    }
    if (!written.empty() && (plc.written = fopen(written.c_str(), "w")) == nullptr) {
        fprintf(stderr, "unitelwaysim: %s: %s\n", written.c_str(), strerror(errno));
        return 2;
    }

    simkit::HoldStopSignals();
    Bus bus;
    if (bus.control.Open("unitelwaysim", control) != 0) {
        return 2;
    }
    if (bus.line.Open(link) != 0) {
        fprintf(stderr, "unitelwaysim: line %s: %s\n", link.c_str(), strerror(errno));
        return 1;
    }
    WriteStatus(status, plc);

    long long nextRound = NowNs();
    long long nextStatus = 0;
    while (!StopAsked() && !plc.quit && (maxRounds < 0 || plc.n.rounds < maxRounds)) {
        // Between rounds the bus is quiet: what comes then came out of turn.
        while (!StopAsked() && NowNs() < nextRound) {
            WaitLine(bus, plc, nextRound);
            Drain(bus, plc);
        }
        ReadControl(bus.control, plc);
        long long now = NowNs();
        nextRound = std::max(nextRound + plc.periodNs, now);
        if (now >= nextStatus) {
            WriteStatus(status, plc);
            nextStatus = now + 100000000LL;
        }
        if (plc.silent || now < plc.pauseUntil) {
            continue;
        }
        if (plc.noise.Take()) {
            // Interference on the bus: any byte, a poll's DLE ENQ and its address too.
            Send(bus, simkit::RandomBytes(static_cast<size_t>(plc.noiseBytes)));
        }
        for (int address : plc.slaves) {
            auto answer = plc.pending.find(address);
            if (answer != plc.pending.end()) {
                std::string data = answer->second;
                plc.pending.erase(answer);
                Drain(bus, plc);
                SendAnswer(bus, plc, address, data);
            }
            PollSlave(bus, plc, address);
            if (StopAsked()) {
                break;
            }
        }
        ++plc.n.rounds;
    }
    WriteStatus(status, plc);
    WriteLatency(latency, plc.latencies);
    bus.line.Close();
    bus.control.Close();
    if (plc.written != nullptr) {
        fclose(plc.written);
    }
    return 0;
}
