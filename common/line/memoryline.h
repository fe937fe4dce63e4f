// The in-memory line: a scripted peer at the other end of a Line, for testing a protocol's state
// machine in-process. Its time is the module's clock, so with a fake clock (tests) a receive that
// waits advances the clock to the next arrival or to its deadline at once: silences, time-outs
// and a 1200-baud pace cost no real time. A receive waits and gathers as the tty backend's does
// (the profile's gather time included), so a driver wakes as often as it would on a terminal.
//
// A test scripts what arrives (bytes now, after a silence, at a time, paced per character),
// answers the peer gives to what it receives ("answer X once it has received Y"), and a hang-up;
// it reads back what the driver sent, the profile it opened with and how often it was woken.
//
//     FakeClock clock;
//     MemoryLine peer;
//     Line line;
//     MemoryLineAttach(&line, &peer);
//     LineOpen(&line, profile);
//     peer.Answer("\x10\x05\x06", "\x06");   // a poll for station 6 gets an ACK
//     peer.Arrive("\x10\x05\x06", 20);       // 20 ms from now
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "linetransport.h"

class MemoryLine {
  public:
    // Each later byte of one Arrive (or answer) comes this many microseconds after the one before
    // (0, the default: all at once). 1200 baud with 10 bits a character is 8334.
    void SetPace(long long microsecondsPerByte) { paceUs_ = microsecondsPerByte; }
    // Bytes that start arriving `afterMs` after the last scripted arrival, or after now when that
    // is later: successive calls make a stream with silences between its parts.
    void Arrive(std::string_view bytes, long long afterMs = 0);
    // Bytes that start arriving at a time of the monotonic clock (milliseconds).
    void ArriveAt(long long atMs, std::string_view bytes);
    // Once the driver has sent `request` (anywhere in what it sent since the last answered
    // request), the peer sends `answer` starting `delayMs` after that send. Rules are tried in the
    // order they were given; each answers `times` requests (0: every one).
    void Answer(std::string_view request, std::string_view answer, long long delayMs = 0,
                int times = 1);
    // The peer hangs up `afterMs` after the last scripted arrival (or now): receives then fail
    // with EIO once the bytes before it are taken, and sends with EIO.
    void HangUp(long long afterMs = 0);

    // Everything the driver sent, and the same with each send's bytes taken out.
    const std::string& Sent() const { return sent_; }
    std::string TakeSent();
    // The profile of the last open; whether the line is open; counts of flushes, of receives
    // that returned bytes, and of bytes discarded by flushes.
    const LineProfile& Profile() const { return profile_; }
    bool IsOpen() const { return open_; }
    int Flushes() const { return flushes_; }
    int Wakes() const { return wakes_; }
    int Discarded() const { return discarded_; }
    // Time (ms) of the last scripted arrival, and bytes scripted but not received yet.
    long long LastArrivalMs() const { return lastArrivalNs_ / 1000000; }
    int Pending() const { return static_cast<int>(arrivals_.size() - next_); }

    // Backend operations (kMemoryLine).
    int Open(const LineProfile& profile);
    int Send(const uint8_t* bytes, int length);
    int Receive(uint8_t* buffer, int size, long long deadlineMs, int gatherMs);
    int Flush();
    void Close() { open_ = false; }

  private:
    struct Arrival {
        long long atNs;
        uint8_t byte;
    };
    struct Rule {
        std::string request;
        std::string answer;
        long long delayNs;
        int times;
    };
    void Schedule(long long startNs, std::string_view bytes);
    // A byte is there to be received at that time.
    bool Arrived(long long atNs) const;
    // Arrivals come in time order; [next_, end) are still to be received.
    std::vector<Arrival> arrivals_;
    size_t next_ = 0;
    std::vector<Rule> rules_;
    std::string sent_;
    std::string unanswered_;  // sent since the last answered request
    long long paceUs_ = 0;
    long long lastArrivalNs_ = 0;
    long long hangUpNs_ = -1;
    LineProfile profile_;
    std::string device_;
    bool open_ = false;
    bool readAgain_ = false;
    bool streaming_ = false;
    int flushes_ = 0;
    int wakes_ = 0;
    int discarded_ = 0;
};

// The in-memory backend; its context is the MemoryLine.
extern const LineBackend kMemoryLine;

// Puts the in-memory backend with this peer behind a (closed) line.
void MemoryLineAttach(Line* line, MemoryLine* peer);
