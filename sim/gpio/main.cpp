// gpiosim: the kernel's side of sysfs GPIO under a station root, for the demo and for trying a
// module by hand. Prints each value written as "<time> gpio<line>=<value>" until SIGINT or
// SIGTERM.
//
//   gpiosim [--root DIR] [--set LINE=LEVEL]...
//
// The root defaults to $STATION_ROOT; --set gives an input its level (switch 2 is line 40).
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "gpiosim.h"

namespace {

int Usage() {
    std::fprintf(stderr, "usage: gpiosim [--root DIR] [--set LINE=LEVEL]...\n");
    return 2;
}

void Print(const gpiosim::Change& change) {
    tm local{};
    localtime_r(&change.time.tv_sec, &local);
    char clock[16];
    std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
    std::printf("%s.%03ld gpio%d=%d\n", clock, change.time.tv_nsec / 1000000L, change.line,
                change.value);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const char* fromEnvironment = std::getenv("STATION_ROOT");
    std::string root = fromEnvironment != nullptr ? fromEnvironment : "";
    std::vector<std::pair<int, int>> inputs;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--root") == 0 && i + 1 < argc) {
            root = argv[++i];
        } else if (std::strcmp(argv[i], "--set") == 0 && i + 1 < argc) {
            int line = 0;
            int level = 0;
            if (std::sscanf(argv[++i], "%d=%d", &line, &level) != 2) {
                return Usage();
            }
            inputs.emplace_back(line, level);
        } else {
            return Usage();
        }
    }
    if (root.empty()) {
        return Usage();
    }

    // The signals are taken by sigwait below, not by a handler.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    gpiosim::GpioSim sim;
    for (auto [line, level] : inputs) {
        sim.SetInput(line, level);
    }
    sim.SetListener(Print);
    if (sim.Start(root) != 0) {
        std::fprintf(stderr, "gpiosim: cannot watch %s/sys/class/gpio: %s\n", root.c_str(),
                     std::strerror(errno));
        return 1;
    }
    int signal = 0;
    sigwait(&stop, &signal);
    sim.Stop();
    return 0;
}
