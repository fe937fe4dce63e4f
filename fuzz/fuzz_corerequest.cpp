// Request bodies as the core stand-in receives them: decoded, applied and journalled whatever
// the bytes. The first byte chooses the queue (chanmgr, modmgr or the communication-log
// reports); the rest is the body.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "chanimage.h"
#include "corerequest.h"
#include "journal.h"
#include "site.h"

namespace {
struct State {
    State() : heap(50) {
        std::vector<std::string> errors;
        ParseSite(
            "channel 1 ETOR a\nchannel 2 EANA b coef=0.1\nchannel 3 CPT c\n"
            "channel 4 EANA d flags=unsigned\nframe 1 1 1-4 1\n",
            "fuzz", site, errors);
        ImageFill(heap.image, site);
    }
    Site site;
    HeapImage heap;
    CoreRequest request;
    CommLogReport report;
    ItemOutcome outcomes[kCoreMaxItems];
    Journal journal;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static State* state = new State;
    if (size == 0) {
        return 0;
    }
    const uint8_t* body = data + 1;
    size_t length = size - 1;
    if (data[0] % 3 == 1) {
        if (DecodeModmgrNotice(body, length, state->request) == 0) {
            state->journal.Notice(47003, 1, length, state->request);
        } else {
            state->journal.Error(47003, 1, body, length, state->request.error);
        }
        return 0;
    }
    if (data[0] % 3 == 2) {
        if (DecodeCommLogReport(body, length, state->report) == 0) {
            state->journal.Report(22794, 1, length, state->report);
        } else {
            state->journal.Error(22794, 1, body, length, state->report.error);
        }
        return 0;
    }
    if (DecodeCoreRequest(body, length, state->request) == 0) {
        ApplyCoreRequest(state->request, state->site, state->heap.image, state->outcomes);
        state->journal.Request(22792, 1, length, state->request, state->outcomes);
    } else {
        state->journal.Error(22792, 1, body, length, state->request.error);
    }
    return 0;
}
