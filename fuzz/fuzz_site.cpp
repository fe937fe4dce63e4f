// Site descriptions: any text is read without harm, and a site read without errors fills an
// image and prints.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "chanimage.h"
#include "site.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Site site;
    std::vector<std::string> errors;
    std::string text(reinterpret_cast<const char*>(data), size);
    if (ParseSite(text, "fuzz", site, errors) == 0 &&
        SiteFitChannels(site, site.channelCount, errors) == 0) {
        HeapImage heap(site.channelCount);
        ImageFill(heap.image, site);
        static FILE* sink = std::fopen("/dev/null", "w");
        if (sink != nullptr) {
            ImagePrint(heap.image, sink);
        }
    }
    return 0;
}
