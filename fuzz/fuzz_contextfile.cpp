// A context file is the exporter's own, but it lives on the board's storage for years: any
// bytes may be found there. The input becomes "/var/nonvolatile/fuzz.context" of a private
// station root and is read into a reader of four sources; whatever it holds, the sources stay
// the configuration's, and what is read is saved and read back the same.
#include <syslog.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "fuzz_support.h"
#include "timestampedchannel.h"

namespace {

const uint16_t kIds[] = {0x1602, 0x3008, 3, 1};

using fuzzsupport::Check;

void Fresh(TimeStampedReader& reader) {
    for (LinkedListNode* n = reader.sources->first; n != nullptr; n = n->next) {
        auto* s = static_cast<TimeStampedSource*>(n->data);
        uint16_t id = s->identifier;
        std::memset(s, 0, sizeof *s);
        s->identifier = id;
    }
    reader.sequence = 0;
    reader.configurationDate = 0;
}

TimeStampedReader& Reader() {
    static TimeStampedReader reader{};
    if (reader.sources == nullptr) {
        reader.sources = CreateNewLinkedList();
        for (uint16_t id : kIds) {
            auto* s = static_cast<TimeStampedSource*>(std::calloc(1, sizeof(TimeStampedSource)));
            s->identifier = id;
            CreateLinkedListTail(reader.sources, s);
        }
    }
    return reader;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    setlogmask(LOG_UPTO(LOG_EMERG));  // the reader logs every line it takes
    const std::string& root = fuzzsupport::StationRoot("contextfile");
    std::filesystem::create_directories(root + "/var/nonvolatile");
    if (!fuzzsupport::WriteInput(root + "/var/nonvolatile/fuzz.context", data, size)) {
        return 0;
    }
    TimeStampedReader& reader = Reader();
    Fresh(reader);
    ReadTimestampedChannelContextFile(&reader, "fuzz");
    Check(reader.sources->count == 4);
    TimeStampedSource first[4];
    int i = 0;
    for (LinkedListNode* n = reader.sources->first; n != nullptr; n = n->next, ++i) {
        first[i] = *static_cast<TimeStampedSource*>(n->data);
        Check(first[i].identifier == kIds[i]);
        Check(first[i].lastPosition >= 0);
    }
    const int sequence = reader.sequence;
    Check(sequence >= 0);

    // What was taken survives a save and a read.
    WriteTimestampedChannelContextFile(&reader, "fuzz");
    Fresh(reader);
    Check(ReadTimestampedChannelContextFile(&reader, "fuzz") == 1);
    Check(reader.sequence == sequence);
    i = 0;
    for (LinkedListNode* n = reader.sources->first; n != nullptr; n = n->next, ++i) {
        const auto* s = static_cast<const TimeStampedSource*>(n->data);
        Check(s->lastPosition == first[i].lastPosition);
        Check(s->lastLine.time == first[i].lastLine.time);
        Check(s->lastLine.word == first[i].lastLine.word);
        Check(s->lastLine.value == first[i].lastLine.value);
    }
    return 0;
}
