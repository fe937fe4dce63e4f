// The station core stand-in for a test: starts the built `stationcore` in the test's sandbox
// with a site of the test's choosing, waits until its pid file says it is up, reads back its
// journal (every request it received) and its channel memories, and stops it with SIGTERM.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "process.h"
#include "sandbox.h"

// One item of a journalled request.
struct JournalItem {
    int number = 0;
    std::string kind;  // "bool", "short", "long", "float", "string", "double"
    double value = 0;  // bools as 1/0; "nan"/"inf" as such
    std::string bits;  // float items: the IEEE bits in hexadecimal ("3FC00000")
    int target = 0;    // channel (commands 3, 10) or set-point (12); 0 when none
    bool applied = false;
    std::string note;  // why not applied
};

// One journal line.
struct JournalEntry {
    std::string kind;  // "request", "modmgr", "commlog", "tsd" or "error"
    int queue = 0;
    long type = 0;
    long size = 0;
    int command = -1;
    int msgno = 0;
    int pid = 0;  // the header's pid field (low 16 bits of the sender's pid)
    long long sec = 0;
    long long usec = 0;
    int com = -1;  // command 10
    int frame = -1;
    long long time = 0;  // command 54
    int report = -1;     // kind "commlog": report kind, event code, data byte 1, data bytes 2-5
    int event = -1;
    int data1 = -1;
    long long data = 0;
    std::vector<JournalItem> items;
    int journal = -1;    // kind "tsd": journal kind, operation and channel of the request,
    int operation = -1;  // then the answer: to whom (0: none sent), its words, the tables
    int channel = -1;    // an erase emptied, the misbehaviour on cue
    long long to = 0;
    long long tab = -1;
    long long current = -1;
    long long valid = -1;
    int erased = -1;
    std::string cue;
    std::string error;  // kind "error": why the message was refused
    std::string bytes;  // kind "error": the body in hexadecimal
    std::string line;   // the raw line

    // The first item with this number (and value, when given), or null.
    const JournalItem* Item(int number) const;
};

// Parses one journal line; false when it is not a journal object.
bool ParseJournalLine(const std::string& line, JournalEntry& entry);

class StationCore {
  public:
    // A few channels of each kind and a frame map (see the .cpp); N = 50.
    static const char* BasicSite();

    // Writes `site` into the sandbox, starts the stand-in and waits up to 5 s for its pid file.
    explicit StationCore(const Sandbox& sandbox, const std::string& site = BasicSite(),
                         const std::vector<std::string>& extraArgs = {});
    ~StationCore();
    StationCore(const StationCore&) = delete;
    StationCore& operator=(const StationCore&) = delete;

    bool Ready() const { return ready_; }
    pid_t Pid() const { return process_.Pid(); }
    std::string SitePath() const { return sitePath_; }
    std::string JournalPath() const;
    // What the stand-in printed (stdout and stderr) so far.
    std::string Output() const { return process_.Output(); }

    std::vector<JournalEntry> Journal() const;
    // Waits until some journal entry satisfies `match`; the entry, or an empty one (kind "")
    // after the deadline.
    JournalEntry WaitFor(const std::function<bool(const JournalEntry&)>& match,
                         std::chrono::milliseconds deadline = std::chrono::seconds(5)) const;
    // Waits for a request of `command` with an item of `number`, whose value equals `value`
    // (floats compared as floats).
    JournalEntry WaitForItem(int command, int number, double value,
                             std::chrono::milliseconds deadline = std::chrono::seconds(5)) const;
    int Count(const std::function<bool(const JournalEntry&)>& match) const;

    // Channel memories, read directly (channel 1..N, set-points 1..128 / 1..64).
    int ChannelCount();
    bool ReadBool(int channel);
    int16_t ReadShort(int channel);
    int32_t ReadLong(int channel);
    float ReadFloat(int channel);
    int16_t ReadIntSetpoint(int number);
    float ReadRealSetpoint(int number);

    // SIGTERM, then waits up to 5 s. Called by the destructor when still running.
    ProgramResult Stop();

  private:
    const uint8_t* Area(int key);
    bool ChannelInRange(int channel);

    const Sandbox& sandbox_;
    std::string sitePath_;
    Process process_;
    bool ready_ = false;
    bool stopped_ = false;
    ProgramResult result_;
    struct Attachment {
        int key;
        const uint8_t* at;
        size_t size;
    };
    std::vector<Attachment> attached_;
};
