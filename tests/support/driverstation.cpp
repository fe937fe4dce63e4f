#include "driverstation.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace std::chrono_literals;

DriverStation::DriverStation(const DriverSetup& setup)
    : core_(box_, setup.site), control_(setup.control), stopSignal_(setup.stopSignal) {
    box_.WriteFile("/var/parameters/configuration.xml", setup.configuration);
    for (const auto& [path, contents] : setup.files) {
        box_.WriteFile(path, contents);
    }
    std::vector<std::string> args{"--link", box_.Path(setup.device)};
    for (const std::string& arg : setup.simulatorArgs) {
        args.push_back(!arg.empty() && arg[0] == '@' ? box_.Path(arg.substr(1)) : arg);
    }
    sim_ = Process(ProgramPath(setup.simulator), args);
    EXPECT_TRUE(WaitUntil([&] { return box_.Exists(setup.device) || !sim_.Running(); }, 5s))
        << sim_.Output();
    driver_ = Process(ProgramPath(setup.driver), setup.driverArgs);
}

DriverStation::~DriverStation() {
    if (driver_.Running()) {
        driver_.Signal(stopSignal_);
        driver_.Wait(5s);
    }
    sim_.Signal(SIGTERM);
    sim_.Wait(5s);
}

void DriverStation::Tell(const std::string& commands) const {
    std::string fifo = box_.Path(control_);
    int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0) << fifo;
    EXPECT_EQ(write(fd, commands.data(), commands.size()), static_cast<ssize_t>(commands.size()));
    close(fd);
}

std::vector<int> DriverStation::ChannelWrites(int channel) const {
    std::vector<int> values;
    for (const JournalEntry& e : core_.Journal()) {
        if (e.kind == "request" && e.command == 3) {
            for (const JournalItem& item : e.items) {
                if (item.number == channel) {
                    values.push_back(static_cast<int>(item.value));
                }
            }
        }
    }
    return values;
}

int DriverStation::FrameMessages(int com, int frame) const {
    return core_.Count(
        [&](const JournalEntry& e) { return e.command == 10 && e.com == com && e.frame == frame; });
}

int DriverStation::Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}
