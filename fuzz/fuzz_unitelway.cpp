// Fuzz target of the Uni-Telway slave link's receive state machine: any bytes go through it, and
// whatever it reports must hold together (a frame event has a length of 6 or more, the state and
// counts stay in bounds). Then the input as a payload goes out through the link's encoder and
// back through a second link's state machine, which must give it back unchanged as one frame.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "memoryline.h"
#include "unitelway.h"

namespace {

void Quiet(int, const char*, ...) {}

using unitelway::Event;

SlaveLink* Receiver() {
    static std::unique_ptr<SlaveLink> link = [] {
        auto made = std::make_unique<SlaveLink>();
        made->log = Quiet;
        return made;
    }();
    return link.get();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SlaveLink* link = Receiver();
    SlaveLinkResetReceiver(link);
    link->counters = {};
    link->address = size > 0 ? data[0] : 6;
    int events = 0;
    for (size_t i = 0; i < size; ++i) {
        Event event = SlaveLinkFeed(link, data[i]);
        const SlaveLinkReceiver& rx = link->rx;
        if (rx.rawLength < 0 || rx.rawLength > unitelway::kRawMax || rx.remaining < 0 ||
            rx.remaining > unitelway::kMaxLength) {
            __builtin_trap();
        }
        switch (event) {
            case Event::kFrame:
                if (link->received[0] < unitelway::kMinLength) {
                    __builtin_trap();
                }
                ++events;
                break;
            case Event::kPolled:
            case Event::kAck:
            case Event::kNak:
                ++events;
                break;
            case Event::kNone:
                break;
            default:
                __builtin_trap();  // the state machine alone never reports the line's events
        }
    }
    const SlaveLinkCounters& n = link->counters;
    if (n.polls + n.framesReceived > events) {
        __builtin_trap();
    }

    // The encoder and the state machine agree on any payload of a valid length.
    if (size < unitelway::kMinLength || size > unitelway::kMaxLength) {
        return 0;
    }
    // A line of its own each time: the peer keeps what it was sent.
    MemoryLine peer;
    static SlaveLink sender;
    MemoryLineAttach(&sender.line, &peer);
    LineProfile profile;
    profile.device = "/dev/ttyUSB0";
    LineOpen(&sender.line, profile);
    sender.log = Quiet;
    sender.address = data[0];
    sender.ackAttempts = 0;  // nobody acknowledges: no wait
    SlaveLinkSendFrame(&sender, data, static_cast<int>(size));
    LineClose(&sender.line);
    std::string bytes = peer.TakeSent();
    SlaveLinkResetReceiver(link);
    int frames = 0;
    for (char c : bytes) {
        frames += SlaveLinkFeed(link, static_cast<uint8_t>(c)) == Event::kFrame;
    }
    if (frames != 1 || link->received[0] != size ||
        std::memcmp(link->received + 1, data, size) != 0) {
        __builtin_trap();
    }
    return 0;
}
