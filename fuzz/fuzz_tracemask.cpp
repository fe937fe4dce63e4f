// libcurl's debug texts hold what the server sent: any bytes, of any length, cut anywhere. The
// input's first byte is the password's length (at most 39); then the password, then the text.
// What the trace gets fits its 80 bytes and holds no password.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "remoteexport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const size_t secretLength = std::min<size_t>(data[0] % 40, size - 1);
    const std::string secret(reinterpret_cast<const char*>(data + 1), secretLength);
    // A password made with the mask's own character could be read back out of a mask standing
    // next to stars of the text: no leak, but not something this check can tell apart.
    if (secret.find('\0') != std::string::npos || secret.find('*') != std::string::npos) {
        return 0;
    }
    const char* text = reinterpret_cast<const char*>(data + 1 + secretLength);
    const size_t length = size - 1 - secretLength;
    char out[remoteexport::kTraceDataMax];
    const size_t n = RemoteMaskSecret(text, length, secret.c_str(), out, sizeof out);
    if (n > sizeof out) {
        std::abort();
    }
    // A PASS command comes out as "PASS ****": the command word itself is no leak.
    const size_t from =
        length >= 5 && std::memcmp(text, "PASS ", 5) == 0 ? std::min<size_t>(5, n) : 0;
    if (secretLength >= 2 && std::string(out + from, n - from).find(secret) != std::string::npos) {
        std::abort();
    }
    return 0;
}
