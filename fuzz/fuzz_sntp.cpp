// Fuzz target of clocksync's answer check: any datagram the time server (or anyone) sends. An
// accepted answer must be long enough, a server answer with a transmit time, and its Unix time
// the transmit seconds moved to 1970; its legal time is then worked out with an offset taken from
// the input, as the program would.
#include <cstddef>
#include <cstdint>

#include "clocksync.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint32_t unixTime = 0;
    clocksync::SntpVerdict verdict = clocksync::CheckSntpAnswer(data, size, &unixTime);
    if (verdict != clocksync::SntpVerdict::kAccepted) {
        return 0;
    }
    uint32_t seconds = (static_cast<uint32_t>(data[40]) << 24) |
                       (static_cast<uint32_t>(data[41]) << 16) |
                       (static_cast<uint32_t>(data[42]) << 8) | data[43];
    if (size < 44 || (data[0] & 7) != 4 || seconds == 0 ||
        unixTime != static_cast<uint32_t>(seconds - 2208988800u)) {
        __builtin_trap();
    }
    int offset = 0;
    int to = static_cast<int8_t>(data[1]);
    time_t legal = clocksync::LegalTime(unixTime, to, nullptr, &offset);
    if (legal != static_cast<time_t>(unixTime) + static_cast<time_t>(offset) * 3600 ||
        (to == 1 && offset != 1 && offset != 2) || (to != 1 && offset != to)) {
        __builtin_trap();
    }
    return 0;
}
