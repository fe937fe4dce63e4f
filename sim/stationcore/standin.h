// The station core stand-in at run time: plays chanmgr (its seven memories, its write queue,
// its pid file) and tsd (its queue, data memory, semaphore and tables), and drains the modmgr
// and communication-log report queues, journalling every message, until SIGTERM.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "site.h"

// Exit statuses of the program.
constexpr int kStandInStopped = 0;  // stopped by SIGTERM, SIGINT or SIGHUP, all removed
constexpr int kStandInFailed = 1;   // could not start (site, INI, IPC, another core running)
constexpr int kStandInUsage = 2;    // bad arguments

constexpr const char* kStandInJournal = "/var/log/stationcore.journal";

struct StandInOptions {
    std::string site;               // Site=<file>
    std::string journal;            // Journal=<file>, default the station path of kStandInJournal
    bool print = false;             // Print=1 or --print
    std::vector<std::string> cues;  // Cue=<cue>, each in turn, after the site's
    std::string control;            // Control=<fifo>: cues read while running, one a line
};

// 0, or kStandInUsage with `error` set.
int StandInArguments(int argc, char** argv, StandInOptions& options, std::string& error);

// The channel count N that modules will read. CHANNEL_MAX_NB of "/tmp/orxapp.ini" (else of
// "/etc/orxapp.ini"), decoded as the modules decode it, wins over the site's count; a file that
// lacks the key gets the count written in its [ENV] section. `note` tells of a disagreement.
int StandInChannelCount(const Site& site, std::string& note);

// Runs the stand-in until SIGTERM, SIGINT or SIGHUP; returns the exit status.
int StandInRun(const StandInOptions& options);

// Attaches a running stand-in's memories read-only and prints its channels. The exit status.
int StandInPrintLive(FILE* out);
