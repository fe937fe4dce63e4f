// Date texts come from outside (configuration, the core's answers, operators): any bytes. The
// input, cut at its first zero, is decoded as local time in a zone with summer time; a decoded
// value goes on through the encoder, the packed date-time and the summer-time rule.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "datetime.h"

namespace {

bool SetUp() {
    unsetenv("STATION_ROOT");  // no log copy: nothing to write beside the input
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = SetUp();
    (void)ready;
    std::string text(reinterpret_cast<const char*>(data), size);
    time_t value = DecodeDateTimeIso8601(text.c_str());
    if (value == -1) {
        return 0;
    }
    const char* encoded = EncodeDateTimeIso8601(value);
    if (std::strlen(encoded) > 18) {
        std::abort();  // the encoder's buffer holds 18 characters and the terminator
    }
    ConvertsDateTimeVelun(value);
    IsSummerTime(value);
    return 0;
}
