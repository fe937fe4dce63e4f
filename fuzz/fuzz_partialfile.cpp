// remoteexport's record of uploads that failed partway lives beside its context for as long as
// a server stays out of reach: any bytes may be found there. The input becomes
// "/var/nonvolatile/fuzz.partial" of a private station root; whatever it holds, each record
// taken is whole (a URL of one line that fits), and what is taken is saved and read back the
// same.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "remoteexport.h"

namespace {

using fuzzsupport::Check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& root = fuzzsupport::StationRoot("partialfile", "/dev/shm");
    std::filesystem::create_directories(root + "/var/nonvolatile");
    if (!fuzzsupport::WriteInput(root + "/var/nonvolatile/fuzz.partial", data, size)) {
        return 0;
    }
    std::vector<RemotePartial> first;
    Check(RemoteReadPartials("fuzz", &first) == 0);
    Check(first.size() <= static_cast<size_t>(remoteexport::kPartialMax));
    for (const RemotePartial& p : first) {
        const size_t length = strnlen(p.url, sizeof p.url);
        Check(length > 0 && length < sizeof p.url);
        Check(std::strpbrk(p.url, "\r\n") == nullptr);
        Check(p.start >= 0 && p.handed >= 0);
    }
    Check(RemoteWritePartials("fuzz", first) == 0);
    std::vector<RemotePartial> again;
    Check(RemoteReadPartials("fuzz", &again) == 0);
    Check(again.size() == first.size());
    for (size_t i = 0; i < first.size(); ++i) {
        Check(again[i].start == first[i].start && again[i].handed == first[i].handed);
        Check(again[i].first.time == first[i].first.time);
        Check(again[i].first.word == first[i].first.word);
        Check(again[i].first.value == first[i].first.value);
        Check(std::strcmp(again[i].url, first[i].url) == 0);
    }
    return 0;
}
