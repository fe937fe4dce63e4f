// Between the site and the stand-in's timestamped-data tables: the station settings that size
// them (read as the modules read them), the memo-size file, the Modbus address and raw value a
// log line carries, the lines a site preloads, and the lines that channel writes add.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "chanimage.h"
#include "corerequest.h"
#include "site.h"
#include "tsdcore.h"

namespace tsdsim {

constexpr const char* kMemoSizeFile = "/tmp/memo.size";

// Sizing keys of section [ENV] of "/tmp/orxapp.ini" (else "/etc/orxapp.ini"), each decoded as
// the modules decode it: missing or out of bounds gives the lower bound.
struct Settings {
    uint32_t stationLog = 200;      // STATION_LOG_MAX, 200..4000
    uint32_t commLog = 200;         // COMM_LOG_MAX, 200..4000
    uint32_t memoByChannel = 3600;  // MEMO_MAX_BY_CHANNEL, 3600..27000
    bool m350z = false;             // M350Z, 0..1
};
Settings ReadSettings();

// Modbus address of a channel by its type, as the station numbers its registers: 1, 3 digital;
// 2, 4, 7 integer; 5, 6 counter; 8, 9 real. 0 for type 0 or a channel outside 1..1500.
uint16_t ModbusAddress(int type, int channel, bool m350z);
// The channel's value as a log line holds it: the digital byte, the 16-bit integer widened with
// its sign, the long, or for types 8 and 9 the float rounded.
uint32_t RawValue(const ChannelImage& image, int channel);

// The tables to keep. The memos come from the memo-size file when it exists; otherwise from
// the site (each time-stamped channel of type 1 to 7 whose `memo` is not 0, with
// memoByChannel lines unless it says how many), and the file is written so that the modules
// see the same sizes (`wrote` set; the stand-in removes it at the end). 0, or -1 with `error`.
int MakeLayout(const Site& site, const Settings& settings, Layout& layout, bool& wrote,
               std::string& error);

// Adds the site's `line` statements to the tables. The number of faulty ones (a memo line for a
// channel without memo, a channel without an address), each described in `errors`.
int PreloadLines(const Site& site, const std::string& origin, const ChannelImage& image,
                 const Settings& settings, Server& server, std::vector<std::string>& errors);

// Logs the channel writes the core applies: a time-stamped channel whose value changed gets a
// station-log line, and any write to it a line in its memo (when it has one). Lines carry the
// request's send time.
class WriteLogger final : public ChannelWriteObserver {
  public:
    WriteLogger(const ChannelImage& image, const Settings& settings, Server& server);
    void SetTime(uint32_t seconds) { time_ = seconds; }
    void Written(int channel) override;

  private:
    const ChannelImage& image_;
    bool m350z_;
    Server& server_;
    uint32_t time_ = 0;
    std::vector<uint32_t> logged_;  // last value the station log holds, per channel
};

}  // namespace tsdsim
