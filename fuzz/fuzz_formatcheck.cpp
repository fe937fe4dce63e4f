// printf formats from the communication-log text file and the channel information: any bytes
// may be found there. The first input byte chooses the kinds of up to four arguments (two bits
// each: int, double, text, int), the second the size of a small output buffer, the rest is the
// format. A format accepted formats without reading past its arguments (the sanitizers watch),
// and the text cut to a small buffer is the start of the whole text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "formatcheck.h"
#include "fuzz_support.h"

namespace {

using fuzzsupport::Check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    FormatArg args[4];
    for (int i = 0; i < 4; ++i) {
        switch ((data[0] >> (2 * i)) & 3) {
            case 1:
                args[i] = DoubleArg(-1234.5678e-3 * (i + 1));
                break;
            case 2:
                args[i] = TextArg(i == 3 ? nullptr : "texte");
                break;
            default:
                args[i] = IntArg(static_cast<int>(0x80000000u >> i));
                break;
        }
    }
    const size_t small = data[1] % 40;
    std::string format(reinterpret_cast<const char*>(data + 2), size - 2);
    format = format.c_str();  // up to the first zero byte, as a text read from a file

    const int count = data[1] / 40 % 5;  // 0 to 4 arguments given
    const char* why = nullptr;
    const bool fits = CheckFormat(format.c_str(), args, count, &why) == 0;
    Check(fits || why != nullptr);

    char whole[4096];
    int n = FormatChecked(whole, sizeof whole, format.c_str(), args, count);
    Check(fits ? n >= 0 : n == -1);
    // The bytes placed, a zero byte of a %c of 0 among them, and the terminator after them.
    Check(n < 0 || (static_cast<size_t>(n) < sizeof whole && whole[n] == 0 &&
                    std::strlen(whole) <= static_cast<size_t>(n)));

    char cut[40];
    int m = FormatChecked(cut, small, format.c_str(), args, count);
    if (fits && small > 0) {
        Check(m >= 0 && static_cast<size_t>(m) < small);
        Check(std::memcmp(cut, whole, static_cast<size_t>(m)) == 0);
        Check(m == n || static_cast<size_t>(m) == small - 1);
    }
    return 0;
}
