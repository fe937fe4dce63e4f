// The contract with the station core: the fixed System V keys of chanmgr, tsd and modmgr, the
// queue envelope and the pid-file convention. Every unit that meets the core takes its numbers
// from here.
#pragma once

#include <cstdint>

namespace corekey {
// chanmgr
constexpr int kChannelInfo = 22796;       // 0x590C information records, then last channel number
constexpr int kChannelTexts = 22799;      // 0x590F 100 texts of 21 bytes
constexpr int kDigitalValues = 22787;     // 0x5903 1 byte per channel
constexpr int kIntegerValues = 22788;     // 0x5904 16 bits per channel
constexpr int kFloatLongValues = 22789;   // 0x5905 floats, then longs, 32 bits each
constexpr int kIntegerSetpoints = 22790;  // 0x5906 128 x 16 bits
constexpr int kRealSetpoints = 22791;     // 0x5907 64 x float
constexpr int kChanmgrQueue = 22792;      // 0x5908 write requests
// tsd
constexpr int kTsdQueue = 20101;  // 0x4E85 requests and answers
constexpr int kTsdData = 47001;   // 0xB799 memory and semaphore set of 1
// outside the system
constexpr int kCommLogQueue = 22794;  // 0x590A communication-log reports
constexpr int kModmgrQueue = 47003;   // 0xB79B degraded-configuration notices
// per-port debug trace: 22700 + slot (0..15 ports, 16 for port -1)
constexpr int kSerialDebugBase = 22700;
}  // namespace corekey

// Requests to either manager carry this message type; tsd answers with the requester's pid.
constexpr long kRequestMsgType = 1;

// Marker that opens the 16-byte big-endian header of every station message.
constexpr uint32_t kMsgMarker = 0xA55A5904u;

// chanmgr announces itself with "/var/run/chanmgr.pid".
constexpr const char* kChanmgrName = "chanmgr";
