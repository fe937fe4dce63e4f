// Runs a built program as a process, the way the station starts it: arguments, the test's
// environment (STATION_ROOT included) and a bound on how long it may take. Output (stdout and
// stderr) is collected in a file so that a chatty program never blocks on a pipe.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

struct ProgramResult {
    bool exited = false;    // ended by exit(); status is valid
    int status = -1;        // exit status
    int signal = 0;         // signal that ended it, when not exited
    bool timedOut = false;  // killed because it outlived its bound
    std::string output;     // stdout and stderr
};

class Process {
  public:
    Process() = default;
    // extraEnv: "NAME=value" items added to the test's environment, each replacing the
    // variable of that name.
    Process(const std::string& program, const std::vector<std::string>& args,
            const std::vector<std::string>& extraEnv = {});
    ~Process();
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t Pid() const { return pid_; }
    bool Started() const { return pid_ > 0; }
    bool Running();
    bool Signal(int signal) const;
    // Waits for the end; after `bound` the process is killed (SIGKILL) and timedOut is set.
    ProgramResult Wait(std::chrono::milliseconds bound = std::chrono::seconds(10));
    // Output so far.
    std::string Output() const;

  private:
    void Reap(int waitStatus);

    pid_t pid_ = -1;
    bool reaped_ = false;
    int waitStatus_ = 0;
    std::string outputPath_;
};

// Starts the program and waits for its end within `bound`.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         std::chrono::milliseconds bound = std::chrono::seconds(10),
                         const std::vector<std::string>& extraEnv = {});
