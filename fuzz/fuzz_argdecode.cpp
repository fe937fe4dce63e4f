// Argument files are outside text: any bytes, any line lengths. The input is written as an
// argument file and searched for a few keys with short and long value buffers; it is also
// matched as a command-line item.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "argdecode.h"
#include "fuzz_support.h"

namespace {

std::string path;

void RemoveArgumentFile() {
    unlink(path.c_str());
}

std::string ArgumentFile() {
    if (path.empty()) {
        unsetenv("STATION_ROOT");  // the file is a plain temporary file of this machine
        char name[] = "/tmp/fuzz-argdecode-XXXXXX";
        int fd = mkstemp(name);
        if (fd < 0) {
            std::abort();
        }
        close(fd);
        path = name;
        std::atexit(RemoveArgumentFile);
    }
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = ArgumentFile();
    if (!fuzzsupport::WriteInput(path, data, size)) {
        return 0;
    }

    std::string fileItem = "@" + path;
    std::string item(reinterpret_cast<const char*>(data), size);  // cut at the first zero
    std::vector<char*> argv{const_cast<char*>("fuzz"), fileItem.data(), item.data(), nullptr};
    char small[4];
    char large[300];
    for (const char* key : {"Port", "", "To", "A=B"}) {
        GetArgumentStr(3, argv.data(), key, small, sizeof small - 1);
        GetArgumentStr(3, argv.data(), key, large, sizeof large - 1);
        ValueArgumentDecode(3, argv.data(), key);
        CharArgumentDecode(3, argv.data(), key);
    }
    FreeArgDecode();
    return 0;
}
