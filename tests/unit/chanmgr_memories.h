// chanmgr's seven memories and its write queue, made by a test in its own IPC namespace with
// the layouts the modules read (records of 80 bytes, texts of 21, value memories in native
// order), and removed again at the end.
#pragma once

#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/shm.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "channeldb.h"
#include "stationcore.h"

struct ChannelRecordFields {
    std::string name;
    std::string format;
    uint8_t type = 0;
    uint32_t flags = 0;
    uint8_t text0 = 0;
    uint8_t text1 = 0;
    uint16_t indexes = 0;
    float coefficient = 1.0f;
    float offset = 0.0f;
    int32_t source = 0;
    int16_t sourceNo = 0;
};

class ChanmgrMemories {
  public:
    // `records` lets a test make the information memory hold fewer records than channels.
    explicit ChanmgrMemories(int channels = 50, int records = -1) : channels_(channels) {
        if (records < 0) {
            records = channels;
        }
        info_ = Make(corekey::kChannelInfo, static_cast<size_t>(records) * kChannelRecordSize +
                                                (records == channels ? 2 : 0));
        texts_ = Make(corekey::kChannelTexts, kChannelTextCount * kChannelTextSize);
        digital_ = Make(corekey::kDigitalValues, static_cast<size_t>(channels));
        integer_ = Make(corekey::kIntegerValues, static_cast<size_t>(channels) * 2);
        floatLong_ = Make(corekey::kFloatLongValues, static_cast<size_t>(channels) * 8);
        intSet_ = Make(corekey::kIntegerSetpoints, kIntegerSetpointCount * 2);
        realSet_ = Make(corekey::kRealSetpoints, kRealSetpointCount * 4);
    }
    ~ChanmgrMemories() {
        for (Segment* s :
             {&info_, &texts_, &digital_, &integer_, &floatLong_, &intSet_, &realSet_}) {
            if (s->address != nullptr) {
                shmdt(s->address);
                shmctl(s->id, IPC_RMID, nullptr);
            }
        }
    }
    ChanmgrMemories(const ChanmgrMemories&) = delete;
    ChanmgrMemories& operator=(const ChanmgrMemories&) = delete;

    // Removes one memory (by key) before the module attaches.
    void Remove(int key) {
        for (Segment* s :
             {&info_, &texts_, &digital_, &integer_, &floatLong_, &intSet_, &realSet_}) {
            if (s->key == key && s->address != nullptr) {
                shmdt(s->address);
                shmctl(s->id, IPC_RMID, nullptr);
                s->address = nullptr;
            }
        }
    }

    void SetRecord(int channel, const ChannelRecordFields& fields) {
        unsigned char* r = info_.address + (channel - 1) * kChannelRecordSize;
        std::memset(r, 0, kChannelRecordSize);
        std::memcpy(r + kChannelNameOffset, fields.name.data(),
                    std::min<size_t>(fields.name.size(), 31));
        std::memcpy(r + kChannelFormatOffset, fields.format.data(),
                    std::min<size_t>(fields.format.size(), 21));
        r[kChannelTypeOffset] = fields.type;
        std::memcpy(r + kChannelFlagsOffset, &fields.flags, 4);
        r[kChannelText0Offset] = fields.text0;
        r[kChannelText1Offset] = fields.text1;
        std::memcpy(r + kChannelIndexOffset, &fields.indexes, 2);
        std::memcpy(r + kChannelCoefOffset, &fields.coefficient, 4);
        std::memcpy(r + kChannelShiftOffset, &fields.offset, 4);
        std::memcpy(r + kChannelSrcOffset, &fields.source, 4);
        std::memcpy(r + kChannelSrcNoOffset, &fields.sourceNo, 2);
    }
    unsigned char* Record(int channel) {
        return info_.address + (channel - 1) * kChannelRecordSize;
    }
    void SetLastChannel(uint16_t number) {
        std::memcpy(info_.address + channels_ * kChannelRecordSize, &number, 2);
    }
    // Text t (1 to 100); the 21 bytes are taken as given (a 21-character text has no end).
    void SetText(int t, const std::string& text) {
        unsigned char* p = texts_.address + (t - 1) * kChannelTextSize;
        std::memset(p, 0, kChannelTextSize);
        std::memcpy(p, text.data(), std::min<size_t>(text.size(), kChannelTextSize));
    }
    void SetBool(int channel, uint8_t v) { digital_.address[channel - 1] = v; }
    void SetShort(int channel, int16_t v) { Put(integer_, (channel - 1) * 2, v); }
    void SetFloat(int channel, float v) { Put(floatLong_, (channel - 1) * 4, v); }
    void SetLong(int channel, int32_t v) { Put(floatLong_, (channels_ + channel - 1) * 4, v); }
    void SetShortSetpoint(int n, int16_t v) { Put(intSet_, (n - 1) * 2, v); }
    void SetFloatSetpoint(int n, float v) { Put(realSet_, (n - 1) * 4, v); }

    int InfoId() const { return info_.id; }

  private:
    struct Segment {
        int key = 0;
        int id = -1;
        unsigned char* address = nullptr;
    };
    static Segment Make(int key, size_t size) {
        Segment s;
        s.key = key;
        s.id = shmget(key, size, IPC_CREAT | IPC_EXCL | 0600);
        if (s.id >= 0) {
            void* address = shmat(s.id, nullptr, 0);
            s.address = address != reinterpret_cast<void*>(-1)
                            ? static_cast<unsigned char*>(address)
                            : nullptr;
        }
        return s;
    }
    template <typename T>
    static void Put(Segment& s, size_t offset, T value) {
        std::memcpy(s.address + offset, &value, sizeof value);
    }

    int channels_;
    Segment info_, texts_, digital_, integer_, floatLong_, intSet_, realSet_;
};

// chanmgr's write queue, removed at the end.
class ChanmgrQueue {
  public:
    ChanmgrQueue() : id_(msgget(corekey::kChanmgrQueue, IPC_CREAT | IPC_EXCL | 0600)) {}
    ~ChanmgrQueue() { Remove(); }
    ChanmgrQueue(const ChanmgrQueue&) = delete;
    ChanmgrQueue& operator=(const ChanmgrQueue&) = delete;
    int Id() const { return id_; }
    void Remove() {
        if (id_ >= 0) {
            msgctl(id_, IPC_RMID, nullptr);
            id_ = -1;
        }
    }
    // Next message body (type 1) waiting on the queue, or empty when none.
    std::string Take() {
        struct {
            long type;
            char body[1024];
        } message{};
        ssize_t n = msgrcv(id_, &message, sizeof message.body, 1, IPC_NOWAIT);
        return n < 0 ? std::string() : std::string(message.body, static_cast<size_t>(n));
    }

  private:
    int id_;
};
