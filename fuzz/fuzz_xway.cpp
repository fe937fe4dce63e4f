// Fuzz target of busbridge's answer decoders: the first input byte picks a frame (a code, and for
// the object codes a type and a length), its request is built, and the rest of the input is the
// answer the PLC sent. An answer that is another request's (code or length) never reaches the
// decoder; whatever else comes, the decoder keeps to the frame's buffer and accounts for it
// (checked, short, negative), and one of the request's code and length is decoded.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "memoryline.h"
#include "refreshplc.h"
#include "xway.h"

namespace {

void Quiet(int, const char*, ...) {}

struct Shape {
    int code;
    int type;
    int lng;
};

constexpr Shape kShapes[] = {
    {0, 0, 8},  {1, 0, 8},   {4, 0, 1},   {5, 0, 1},   {6, 0, 1},   {7, 0, 1},
    {16, 0, 1}, {17, 0, 1},  {20, 0, 1},  {21, 0, 1},  {22, 0, 1},  {64, 0, 1},
    {65, 0, 1}, {70, 0, 1},  {54, 5, 8},  {54, 6, 80}, {54, 7, 1},  {54, 7, 60},
    {54, 8, 1}, {54, 8, 30}, {55, 5, 16}, {55, 7, 60}, {55, 8, 30},
};
constexpr size_t kShapeCount = sizeof kShapes / sizeof kShapes[0];

struct Bench {
    MemoryLine peer;
    BusbridgeDriver driver;
    PlcScanContext context;
    PlcFrameRuntime frames[kShapeCount];
};

Bench* Make() {
    auto* b = new Bench;
    MemoryLineAttach(&b->driver.link.line, &b->peer);
    LineProfile profile;
    profile.device = "/dev/ttyUSB0";
    LineOpen(&b->driver.link.line, profile);
    b->driver.link.log = Quiet;
    b->driver.xway.link = &b->driver.link;
    b->context.link = &b->driver;
    for (size_t i = 0; i < kShapeCount; ++i) {
        PlcFrameRuntime& f = b->frames[i];
        f.config.no = static_cast<int>(i) + 1;
        f.config.lng = kShapes[i].lng;
        BusbridgeFrame* ext = f.config.extension.As<BusbridgeFrame>();
        *ext = BusbridgeFrame{{0, 254, 0, 16, 0}, kShapes[i].code, kShapes[i].type, 104};
        if (BusbridgeFrameInit(&b->context, &f) != 0) {
            __builtin_trap();
        }
        f.data.assign(static_cast<size_t>(f.size), 0);
    }
    return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Bench* bench = Make();
    if (size < 1) {
        return 0;
    }
    PlcFrameRuntime& f = bench->frames[data[0] % kShapeCount];
    XwayContext& x = bench->driver.xway;
    x = XwayContext{};
    x.link = &bench->driver.link;
    uint8_t request[unitelway::kMaxLength];
    if (f.request(&bench->context, &f, request, sizeof request) < xway::kHeaderSize + 2) {
        __builtin_trap();
    }
    size_t before = f.data.size();
    int length = static_cast<int>(size - 1);
    const uint8_t* answer = data + 1;
    bool tellable = length > xway::kAnswerCodeIndex;
    bool negative = tellable && (answer[xway::kAnswerCodeIndex] & 0x80u) != 0 &&
                    answer[xway::kAnswerCodeIndex] != xway::kPositive;
    if (XwayAnswersRequest(&x, answer, length)) {
        int used = f.answer(&bench->context, &f, answer, length);
        if (used > length || f.data.size() != before || x.answers != 1 ||
            (used >= 0) == (x.tooShort + x.negativeAnswers > 0)) {
            __builtin_trap();
        }
        // What passes as the request's answer carries all its decoder needs.
        if (tellable && !negative && used < 0) {
            __builtin_trap();
        }
    } else if (!tellable || negative) {
        __builtin_trap();  // those are the decoder's to refuse
    }
    // The peer keeps what it was sent: a fresh one for the next input.
    LineClose(&bench->driver.link.line);
    bench->peer = MemoryLine();
    LineProfile profile;
    profile.device = "/dev/ttyUSB0";
    LineOpen(&bench->driver.link.line, profile);
    return 0;
}
