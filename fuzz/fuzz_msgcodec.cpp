// Decoders of the message codec on arbitrary bodies: header, numbered items, compact runs and
// the fixed payloads. The first byte chooses the decoder, the rest is the received body.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "msgcodec.h"

namespace {

constexpr int kCapacity = 512;

using fuzzsupport::Check;

void CheckBounds(const WorkingReq& req) {
    Check(req.position >= 0 && req.position <= req.receiveSize);
    Check(req.error >= kMsgNoError && req.error <= kMsgSizeError);
    Check(std::strlen(req.string) <= static_cast<size_t>(kMsgStringMax));
}

// Reads items until the end of the list, re-encoding the word values to check they come back
// as the same bytes.
void Items(WorkingReq* req) {
    int number = 0;
    int kind = 0;
    for (int guard = 0; guard < kCapacity; ++guard) {
        GetReplyNumberAndType(req, &number, &kind);
        if (number == 0) {
            Check(kind == 0);
            break;
        }
        int start = req->position;
        unsigned char out[16];
        WorkingReq copy;
        InitWorkingReq(&copy, out, sizeof out, 0);
        switch (kind) {
            case kItemBool:
                NumberBoolRead(req);
                break;
            case kItemShort: {
                int value = NumberShortRead(req);
                Check(value >= 0 && value <= 0xFFFF);
                if (req->error == kMsgNoError) {
                    MsgShortWrite(&copy, value);
                    Check(std::memcmp(out, req->buffer + start, 2) == 0);
                }
                break;
            }
            case kItemLong: {
                int32_t value = NumberLongRead(req);
                if (req->error == kMsgNoError) {
                    MsgLongWrite(&copy, value);
                    Check(std::memcmp(out, req->buffer + start, 4) == 0);
                }
                break;
            }
            case kItemIEEE:
                NumberIEEERead(req);
                break;
            case kItemDouble:
                NumberDoubleRead(req);
                break;
            case kItemString: {
                const char* text = NumberStringRead(req);
                Check(text != nullptr && std::strlen(text) <= kMsgStringMax);
                break;
            }
            default:
                // Unknown kind: nothing can be read past it.
                Check(NumberShortRead(req) == 0 && req->position == start);
                return;
        }
        CheckBounds(*req);
        if (req->error != kMsgNoError) {
            return;
        }
    }
}

void Compact(WorkingReq* req, bool velun) {
    int first = 0;
    int second = 0;
    int count = 0;
    int kind = 0;
    int ok = velun ? GetVelunTransfert(req, &first, &second, &count, &kind)
                   : GetCompactTransfert(req, &first, &count, &kind);
    if (!ok) {
        return;
    }
    Check(count >= 0 && count <= 0xFFFF);
    for (int i = 0; i < count && req->error == kMsgNoError; ++i) {
        switch (kind) {
            case kItemBool: {
                int bit = BoolCompactRead(req);
                Check(bit == 0 || bit == 1);
                break;
            }
            case kItemShort:
                ShortCompactRead(req);
                break;
            case kItemLong:
                LongCompactRead(req);
                break;
            case kItemIEEE:
                IEEECompactRead(req);
                break;
            default:
                return;
        }
        CheckBounds(*req);
    }
    if (kind == kItemBool) {
        Check(BoolCompactRead(req) == 0 || req->expected > 0);
    }
}

// Maximum string length for the payload decoder, taken from the body so the fuzzer explores it
// (also above 255).
int StringMaximum(WorkingReq* req) {
    return req->receiveSize > 0 ? req->buffer[0] + 40 : 0;
}

void Payloads(WorkingReq* req) {
    int a = 0, b = 0, c = 0, d = 0;
    int32_t l1 = 0, l2 = 0, l3 = 0;
    float f1 = 0, f2 = 0, f3 = 0;
    unsigned char bytes[8];
    GetPlcWrite(req, &a, &b);
    GetIOWrite(req, &a, &b, &c);
    GetIOPerformanceCounterRead(req, &f1, &f2, &f3);
    GetIODiagCounterRead(req, &a, &l1, &l2, &l3);
    int taken = GetIOSlotAsynchExchange(req, &a, &b, bytes, sizeof bytes);
    Check(taken >= 0 && taken <= static_cast<int>(sizeof bytes));
    GetIOSlotStatusAnswer(req, &a, &b, &c);
    GetIOSlotStatusQuestion(req, &a);
    GetAlarmInhibitData(req, &a, &b, &l1, &d);
    int16_t s = static_cast<int16_t>(ReqShortRead(req));
    (void)s;
    ReqCharRead(req);
    const char* text = MsgStringRead(req, StringMaximum(req));
    Check(text == nullptr || std::strlen(text) <= kMsgStringMax);
    MsgDoubleRead(req);
    GetFrameTime(req);
    CheckBounds(*req);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    int mode = data[0] % 5;
    ++data;
    --size;
    unsigned char buffer[kCapacity];
    int length = size < kCapacity ? static_cast<int>(size) : kCapacity;
    std::memcpy(buffer, data, static_cast<size_t>(length));
    WorkingReq req;
    InitWorkingReq(&req, buffer, kCapacity, 22792);

    int header = GetHeaderReq(&req, length);
    Check(header == 0 || req.position == kMsgHeaderSize + 1);
    CheckBounds(req);
    if (!header) {
        // Decoders must stay in bounds also on a body whose header was refused.
        req.error = kMsgNoError;
    }
    switch (mode) {
        case 0:
            Items(&req);
            break;
        case 1:
            if (GetCommandCode(&req) == 10) {
                GetPlcWrite(&req, nullptr, nullptr);
            }
            Items(&req);
            break;
        case 2:
            Compact(&req, false);
            break;
        case 3:
            Compact(&req, true);
            break;
        default:
            Payloads(&req);
            break;
    }
    CheckBounds(req);
    return 0;
}
