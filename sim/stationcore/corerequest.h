// Requests that reach the core stand-in: the bodies sent on chanmgr's queue (channel values,
// set-points, frame values, time setting) and the modmgr notices. Decoded here byte by byte,
// independently of the modules' own codec, so that a fault in either shows as a difference.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chanimage.h"
#include "site.h"

constexpr size_t kCoreHeaderSize = 16;
constexpr size_t kCoreMaxBody = 512;  // chanmgr's request bodies
constexpr int kCoreMaxItems = 256;

enum CoreCommand : uint8_t {
    kCmdWriteChannels = 3,
    kCmdFrameValues = 10,
    kCmdWriteSetpoints = 12,
    kCmdSetTime = 54,
};

enum CoreItemKind : uint8_t {
    kKindBool = 1,
    kKindShort = 2,
    kKindLong = 3,
    kKindFloat = 4,
    kKindString = 5,
    kKindDouble = 6,
};

struct CoreItem {
    uint16_t number = 0;
    uint8_t kind = 0;
    uint32_t raw = 0;         // bool (0/1), short (sign-extended), long, float bits
    double real = 0.0;        // double items
    uint16_t textOffset = 0;  // string items: where the characters are in the body
    uint16_t textLength = 0;
};

struct CoreHeader {
    uint32_t marker = 0;
    uint16_t number = 0;
    uint16_t pid = 0;
    uint32_t seconds = 0;
    uint32_t microseconds = 0;
};

struct CoreRequest {
    CoreHeader header;
    uint8_t command = 0;
    uint16_t com = 0;    // command 10
    uint16_t frame = 0;  // command 10
    uint32_t time = 0;   // command 54
    int itemCount = 0;
    CoreItem items[kCoreMaxItems];
    char error[160] = {};  // why the body was refused
};

// Decodes a request body for chanmgr. 0 when the body is well formed: known command, every
// item complete, the terminator item 00 00 01 00 last, nothing after it, at most 512 bytes.
// Otherwise -1 with `error` set; nothing of such a body may be applied.
int DecodeCoreRequest(const uint8_t* body, size_t size, CoreRequest& request);

// Decodes a modmgr notice: a header then a command byte (40 for a degraded configuration);
// what follows (the sender's zero fill) is not read. 0, or -1 with `error` set.
int DecodeModmgrNotice(const uint8_t* body, size_t size, CoreRequest& notice);

// A communication-log report (queue 22794): a header, then the report kind (char), the event
// code x 256 + data byte 1 (short) and data bytes 2-5 (long, the first the most significant).
struct CommLogReport {
    CoreHeader header;
    uint8_t kind = 0;
    uint16_t event = 0;
    uint32_t data = 0;
    char error[160] = {};
};

// 0, or -1 with `error` set. What follows the fields (the sender's zero fill) is not read.
int DecodeCommLogReport(const uint8_t* body, size_t size, CommLogReport& report);

// What became of one item.
struct ItemOutcome {
    int target = 0;              // channel or set-point number; 0 when the item has none
    const char* note = nullptr;  // null: applied; else why not
};

// Told of each channel value a request wrote, item by item, right after the write (the
// timestamped-data half logs what changed).
class ChannelWriteObserver {
  public:
    virtual ~ChannelWriteObserver() = default;
    virtual void Written(int channel) = 0;
};

// Applies a decoded request to the memories; one outcome per item. Command 10 items go to
// the channels of the frame map; items that cannot be applied are skipped and noted.
// Returns the number of items applied.
int ApplyCoreRequest(const CoreRequest& request, const Site& site, ChannelImage& image,
                     ItemOutcome* outcomes, ChannelWriteObserver* observer = nullptr);

const char* CoreKindName(uint8_t kind);
