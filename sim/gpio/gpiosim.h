// The kernel's side of sysfs GPIO under a sandbox root, for tests and the demo. A number written
// to "<root>/sys/class/gpio/export" makes the line's folder with its "direction" ("in") and
// "value" ("0" and a line end, or the level given to an input); every value the program under
// test then writes is recorded with its time. It watches the files with inotify on a thread of
// its own, so a program in another process is seen as well as the test's own process.
//
// Unlike the kernel's files, a sandbox value file is a plain file: the program appends its
// digit, and what follows the first two bytes is the history of writes (a read still gives the
// first digit, as the program reads it). The simulator writes the levels of inputs whole.
#pragma once

#include <time.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace gpiosim {

struct Change {
    int line;
    int value;  // 0 or 1
    // When it was written: the value file's modification time (CLOCK_REALTIME, in the file
    // system's clock ticks). Writes to one line faster than the simulator takes them share the
    // time of the last.
    timespec time;
};

class GpioSim {
  public:
    GpioSim() = default;
    ~GpioSim() { Stop(); }
    GpioSim(const GpioSim&) = delete;
    GpioSim& operator=(const GpioSim&) = delete;

    // Makes "<root>/sys/class/gpio" with an empty "export" and starts watching. 0, or -1 with
    // errno (EBUSY when started already; those of mkdir, open, inotify_init1, pipe).
    int Start(const std::string& root);
    // Stops watching; the files stay.
    void Stop();

    // Every value written to an exported line, in the order written.
    std::vector<Change> Changes() const;
    // The values written to one line, in order.
    std::vector<int> ValuesOf(int line) const;
    // Lines exported, in the order of export.
    std::vector<int> Exported() const;
    // The line's direction as last written ("" when not exported).
    std::string Direction(int line) const;
    // Gives an input its level (before or after its export), as the switch on the board would.
    // 0, or -1 with errno of the write.
    int SetInput(int line, int value);
    // Waits until at least `count` values were written; false at the deadline.
    bool WaitForChanges(size_t count, std::chrono::milliseconds deadline) const;
    // Called on the simulator's thread for each value written (before waiters are woken).
    void SetListener(std::function<void(const Change&)> listener);

  private:
    struct Line {
        std::string direction;
        off_t consumed = 0;  // bytes of the value file already taken
        int ownWrites = 0;   // closes of the value file still to come from the simulator
    };

    void Run();
    void TakeExports();
    void ExportLine(int line);
    // Takes the value of one write: false when there was none to take.
    bool TakeValue(int line);
    void TakeDirection(int line);
    std::string LinePath(int line, const char* file) const;

    std::string gpio_;  // <root>/sys/class/gpio
    int inotify_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;

    mutable std::mutex mutex_;
    mutable std::condition_variable written_;
    off_t exportConsumed_ = 0;
    std::map<int, Line> lines_;   // exported lines
    std::map<int, int> inputs_;   // levels given to inputs
    std::map<int, int> watches_;  // watch descriptor -> line (-1: the gpio folder)
    std::vector<int> exportOrder_;
    std::vector<Change> changes_;
    std::function<void(const Change&)> listener_;
};

}  // namespace gpiosim
