// The stand-in's journal: every message it received, one JSON object a line, so that tests and
// the demo can see exactly what the modules sent. Lines are built in a fixed buffer and
// written with a single append, so a reader never sees half a line.
#pragma once

#include <cstddef>
#include <cstdint>

#include "corerequest.h"

namespace tsdsim {
struct Request;
struct Outcome;
}  // namespace tsdsim

class Journal {
  public:
    Journal() = default;
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Creates (or empties) the journal file. 0, or -1 with errno.
    int Open(const char* path);
    void Close();

    // A request decoded and applied (`outcomes` may be null for a request with no items).
    void Request(int queue, long type, size_t size, const CoreRequest& request,
                 const ItemOutcome* outcomes);
    // A modmgr notice.
    void Notice(int queue, long type, size_t size, const CoreRequest& notice);
    // A communication-log report.
    void Report(int queue, long type, size_t size, const CommLogReport& report);
    // A request to tsd and what became of it.
    void Tsd(int queue, long type, size_t size, const tsdsim::Request& request,
             const tsdsim::Outcome& outcome);
    // A message refused: why, and its bytes in hexadecimal (the first 1024).
    void Error(int queue, long type, const uint8_t* body, size_t size, const char* why);

    // The line last written, without its end (tests).
    const char* Last() const { return line_; }

  private:
    void Begin(int queue, long type, size_t size, const char* kind);
    void Add(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void AddHeader(const CoreRequest& request);
    void AddItem(const CoreRequest& request, int index, const ItemOutcome* outcome);
    void End();

    int fd_ = -1;
    unsigned long sequence_ = 0;
    size_t length_ = 0;
    bool truncated_ = false;
    bool writeFailed_ = false;
    // Worst case: 256 items of about 150 bytes, or 1024 body bytes in hexadecimal.
    char line_[65536] = {};
};

// Renders a float as JSON: shortest "%.9g" text, or the strings "nan", "inf", "-inf".
void JournalFloat(char* out, size_t size, double value);
