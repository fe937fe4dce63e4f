// The command FIFO a simulator reads while it runs: one command a line.
#pragma once

#include <functional>
#include <string>

namespace simkit {

class ControlFifo {
  public:
    ControlFifo() = default;
    ~ControlFifo();
    ControlFifo(const ControlFifo&) = delete;
    ControlFifo& operator=(const ControlFifo&) = delete;

    // Opens the FIFO at path, made when missing (and then removed by Close). It is held open for
    // writing here too, so that it never reads end-of-file when a writer leaves. An empty path
    // opens nothing. 0, or -1 with errno set and the reason said on standard error after the
    // program's name.
    int Open(const char* program, const std::string& path);
    // Closes it, and removes it if Open made it.
    void Close();

    // The descriptor to poll for commands, or -1.
    int Fd() const { return fd_; }

    // Reads what came and hands each whole line (without its '\n') to apply, in order; a part
    // line waits for its end.
    void Take(const std::function<void(const std::string& line)>& apply);

  private:
    int fd_ = -1;
    int keep_ = -1;
    std::string path_;
    bool made_ = false;
    std::string pending_;
};

}  // namespace simkit
