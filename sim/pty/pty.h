// A pseudo-terminal standing for a serial line on a development machine. The holder (a test or a
// field-device simulator) keeps the master side; the program under test opens the slave side
// through a symbolic link at the station's device path (for example $STATION_ROOT/dev/ttyUSB0).
//
// What a pty does not do: it keeps 8N1 whatever is asked (character size, parity and stop bits
// cannot be checked; the speed can, through Baud()), and it refuses modem-line, RS485 and
// line-status requests with ENOTTY.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <string>

class PtyLine {
  public:
    PtyLine() = default;
    ~PtyLine();
    PtyLine(PtyLine&& other) noexcept;
    PtyLine& operator=(PtyLine&& other) noexcept;
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    // Opens a pair with the slave in raw mode and the master non-blocking. When linkPath is not
    // empty, a symbolic link to the slave is made there (replacing what was there, creating the
    // directories). The slave side stays open here too, so that the master never sees a hang-up
    // while the program under test opens and closes its line. 0, or -1 with errno set.
    int Open(const std::string& linkPath = "");
    // Closes both sides and removes the link.
    void Close();

    bool IsOpen() const { return master_ != -1; }
    int Master() const { return master_; }
    // The slave side held here (for example to see what the reader has not taken yet).
    int Slave() const { return slave_; }
    const std::string& SlavePath() const { return slavePath_; }
    const std::string& LinkPath() const { return linkPath_; }

    // The line's attributes as last set by either side; false on failure.
    bool Attributes(termios* attributes) const;
    // Output speed of the line in bits per second, or -1.
    int Baud() const;

    // Writes every byte towards the program, waiting at most timeoutMs for room. false when the
    // bytes could not all be written.
    bool Write(const void* bytes, size_t count, int timeoutMs = 2000);
    bool Write(const std::string& bytes, int timeoutMs = 2000) {
        return Write(bytes.data(), bytes.size(), timeoutMs);
    }
    // Waits at most timeoutMs for the program's bytes, then takes what is there (up to max):
    // the count, 0 when nothing came in time, -1 on error.
    ssize_t ReadSome(void* buffer, size_t max, int timeoutMs);
    // Reads until `count` bytes came or timeoutMs passed; what was read.
    std::string Read(size_t count, int timeoutMs);
    // Reads until the terminator byte (kept) came, `max` bytes were read or timeoutMs passed.
    std::string ReadUntil(char terminator, size_t max, int timeoutMs);
    // Discards what the program wrote and nobody read yet; the count discarded.
    size_t Discard();

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
    std::string linkPath_;
};
