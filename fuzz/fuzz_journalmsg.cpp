// Timestamped-data messages on arbitrary bodies: the answers the client takes from tsd, and the
// requests as the client's codec and the stand-in's own decoder read them (they must agree).
// The first byte chooses; the rest is the received body, its length the received length.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "journal.h"
#include "timestampedutil.h"
#include "tsdcore.h"

namespace {

using fuzzsupport::Check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Journal* journal = new Journal;
    if (size == 0) {
        return 0;
    }
    const uint8_t* body = data + 1;
    const int length = static_cast<int>(size - 1);
    unsigned char buffer[timestamped::kBodySize] = {};
    std::memcpy(buffer, body, std::min<size_t>(size - 1, sizeof buffer));
    WorkingMsg msg;
    InitWorkingMsg(&msg, buffer, sizeof buffer, 20101);

    if (data[0] % 2 == 0) {
        // An answer is taken whole or leaves the previous one as it was.
        const JournalAnswer before{1, 2, 3, 4};
        JournalAnswer answer = before;
        int ok = GetJournalAnswer(&msg, length, &answer);
        Check(msg.position >= 0 && msg.position <= timestamped::kBodySize);
        if (ok == 0) {
            Check(std::memcmp(&answer, &before, sizeof answer) == 0);
        } else {
            Check(length >= timestamped::kAnswerSize && length <= timestamped::kBodySize);
        }
        return 0;
    }
    JournalRequest request{7, 7, 7, 7, 7};
    int ok = GetJournalRequest(&msg, length, &request);
    tsdsim::Request decoded;
    int standIn = tsdsim::DecodeRequest(body, size - 1, decoded);
    if (standIn == 0) {
        // What the stand-in accepts, the client's codec reads the same way.
        Check(ok == 1);
        Check(static_cast<uint32_t>(request.kind) == decoded.kind);
        Check(static_cast<uint32_t>(request.operation) == decoded.operation);
        Check(request.channel == decoded.channel);
        Check(static_cast<uint32_t>(request.firstLine) == decoded.first);
        Check(static_cast<uint32_t>(request.lineCount) == decoded.count);
        tsdsim::Outcome outcome;
        journal->Tsd(20101, 1, size - 1, decoded, outcome);
    } else {
        journal->Error(20101, 1, body, size - 1, decoded.error);
    }
    return 0;
}
