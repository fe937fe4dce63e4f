// stationcore: the station core stand-in. Reads a site, creates chanmgr's memories, queue and
// pid file, applies and journals what the modules send, and removes it all on SIGTERM.
#include <cstdio>
#include <string>

#include "chanimage.h"
#include "site.h"
#include "standin.h"
#include "stationlog.h"

int main(int argc, char** argv) {
    StationOpenLog("stationcore");
    StandInOptions options;
    std::string error;
    if (StandInArguments(argc, argv, options, error) != 0) {
        std::fprintf(
            stderr,
            "stationcore: %s\nusage: stationcore Site=<file> [Journal=<file>] [Cue=<cue>]... "
            "[Control=<fifo>]\n"
            "       stationcore Site=<file> Print=1   channels as the site sets them\n"
            "       stationcore Print=1               channels of the running core\n",
            error.c_str());
        return kStandInUsage;
    }
    if (options.print && options.site.empty()) {
        return StandInPrintLive(stdout);
    }
    if (options.print) {
        Site site;
        std::vector<std::string> errors;
        if (LoadSiteFile(options.site, site, errors) != 0 ||
            SiteFitChannels(site, site.channelCount, errors) != 0) {
            for (const std::string& line : errors) {
                std::fprintf(stderr, "stationcore: %s\n", line.c_str());
            }
            return kStandInFailed;
        }
        HeapImage heap(site.channelCount);
        ImageFill(heap.image, site);
        ImagePrint(heap.image, stdout);
        return 0;
    }
    return StandInRun(options);
}
