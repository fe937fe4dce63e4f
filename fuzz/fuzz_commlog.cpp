// A communication-log line comes from the station's log and the text file from the station's
// storage: any event word, parameter word and text file may be met. The input's first six bytes
// are the event word and the parameter word, the seventh chooses the variant (bit 0) and the
// size of the sentence's buffer; the rest, for the text-file variant, is the text file. Whatever
// they hold, the sentence is terminated within its buffer and its length is its text's.
#include <syslog.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "channeldb.h"
#include "commlog.h"
#include "fuzz_support.h"

namespace {

using fuzzsupport::Check;

// Channel information of 50 channels in memory: channel 3 with a name, channel 5 without.
ChannelInfo& Information() {
    static std::vector<unsigned char> records(50 * kChannelRecordSize + 2);
    static std::vector<unsigned char> texts(kChannelTextCount * kChannelTextSize);
    static ChannelInfo info;
    if (info.info == nullptr) {
        std::memcpy(&records[2 * kChannelRecordSize], "Niveau %s %n", 12);
        records[2 * kChannelRecordSize + kChannelTypeOffset] = 2;
        records[4 * kChannelRecordSize + kChannelTypeOffset] = 5;
        uint16_t last = 50;
        std::memcpy(&records[50 * kChannelRecordSize], &last, 2);
        info.info = records.data();
        info.infoSize = records.size();
        info.texts = texts.data();
        info.textsSize = texts.size();
        info.lastChannel = reinterpret_cast<const uint16_t*>(&records[50 * kChannelRecordSize]);
    }
    return info;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    setlogmask(LOG_UPTO(LOG_EMERG));
    if (size < 7) {
        return 0;
    }
    const std::string& root = fuzzsupport::StationRoot("commlog");
    static bool operators = false;
    if (!operators) {
        fuzzsupport::WriteInput(root + "/tmp/utilvelun.txt",
                                reinterpret_cast<const uint8_t*>("#\nop;Op;0003;x\n"), 15);
        operators = true;
    }
    const uint16_t word = static_cast<uint16_t>(data[0] << 8 | data[1]);
    const uint32_t parameter = static_cast<uint32_t>(data[2]) << 24 |
                               static_cast<uint32_t>(data[3]) << 16 |
                               static_cast<uint32_t>(data[4]) << 8 | data[5];
    const CommLogTexts texts = (data[6] & 1) != 0 ? CommLogTexts::FILE : CommLogTexts::BUILTIN;
    const int bufferSize = 1 + data[6] / 2;
    if (texts == CommLogTexts::FILE &&
        !fuzzsupport::WriteInput(root + commlog::kTextFile, data + 7, size - 7)) {
        return 0;
    }
    std::vector<char> sentence(static_cast<size_t>(bufferSize) + 1, 'Z');
    const int n =
        BuildCommSentence(texts, &Information(), word, parameter, sentence.data(), bufferSize);
    Check(n >= 0 && n < bufferSize);
    Check(sentence[static_cast<size_t>(n)] == 0);
    Check(std::strlen(sentence.data()) == static_cast<size_t>(n));
    Check(sentence[static_cast<size_t>(bufferSize)] == 'Z');
    return 0;
}
