// A running driver station for a program test: the station core stand-in with the test's site,
// a device simulator on a pseudo-terminal at a station path, and the driver itself; each is
// stopped when the station goes. The four field-bus drivers' tests share it.
#pragma once

#include <csignal>
#include <string>
#include <vector>

#include "process.h"
#include "sandbox.h"
#include "stationcore_fixture.h"

struct DriverSetup {
    std::string site;           // the stand-in's site
    std::string configuration;  // written to /var/parameters/configuration.xml
    // Station files written before anything starts (path, contents), e.g. a simulator's script
    // or a driver's verbose switch.
    std::vector<std::pair<std::string, std::string>> files;
    std::string simulator;  // program name
    std::string device;     // station path of the pty the simulator makes ("/dev/ttyUSB0")
    // Arguments after "--link <device>"; an argument starting with '@' is a station path
    // ("@/sim/plc.txt").
    std::vector<std::string> simulatorArgs;
    std::string control;  // station path of the simulator's command FIFO, when it has one
    std::string driver;
    std::vector<std::string> driverArgs;
    int stopSignal = SIGTERM;  // how the driver is stopped
};

class DriverStation {
  public:
    explicit DriverStation(const DriverSetup& setup);
    virtual ~DriverStation();
    DriverStation(const DriverStation&) = delete;
    DriverStation& operator=(const DriverStation&) = delete;

    // Commands to the simulator through its FIFO.
    void Tell(const std::string& commands) const;
    // Single writes (command 3) of a channel, in order.
    std::vector<int> ChannelWrites(int channel) const;
    // Frame messages (command 10) of (com, frame).
    int FrameMessages(int com, int frame) const;
    // Occurrences of `what` in `text`.
    static int Count(const std::string& text, const std::string& what);

    Sandbox box_;
    StationCore core_;
    Process sim_;
    Process driver_;

  private:
    std::string control_;
    int stopSignal_;
};
