// gaugereader's engine in-process, on the in-memory line and the fake clock: presence tests and
// state channels, REQ_UD2 exchanges with good and bad answers, and the scaling of each record
// into the channel message its data item asks for.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "fakeclock.h"
#include "gaugereader.h"
#include "memoryline.h"

namespace {

// Frame messages as "f<frame> S|L|F<index>=<value>", single writes as "ch<n>=<v>".
class Recorder : public GaugeOutput {
  public:
    void Begin(int com, int frame) override;
    void WriteShort(int index, int value) override {
        open += " S" + std::to_string(index) + "=" + std::to_string(value);
    }
    void WriteLong(int index, int32_t value) override {
        open += " L" + std::to_string(index) + "=" + std::to_string(value);
    }
    void WriteFloat(int index, float value) override {
        char text[64];
        snprintf(text, sizeof text, " F%d=%.6g", index, static_cast<double>(value));
        open += text;
    }
    void Terminate() override { writes.push_back(open); }
    void WriteChannelBool(int channel, int value) override {
        writes.push_back("ch" + std::to_string(channel) + "=" + std::to_string(value));
    }
    int ReadChannelBool(int channel) override { return channels[channel]; }
    void Trace(const char* text, int length) override { trace.append(text, length); }
    void TraceFrame(const char* label, const unsigned char* bytes, int count) override {
        trace += std::string(label) + "(" + std::to_string(count) + ")\n";
        (void)bytes;
    }
    void Log(int priority, const char* text) override {
        logs.push_back(std::to_string(priority) + " " + text);
    }
    int OpenTrace(int) override { return 0; }

    int comSeen = -1;
    std::string open;
    std::vector<std::string> writes;
    std::map<int, int> channels;
    std::vector<std::string> logs;
    std::string trace;
};

// Built with append: GCC 12 at -O3 takes "literal" + std::string for an overlapping copy (a
// false positive of its -Wrestrict) and the build treats warnings as errors.
void Recorder::Begin(int com, int frame) {
    comSeen = com;
    open = std::string("f").append(std::to_string(frame));
}

std::string Bytes(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 3) {
        bytes += static_cast<char>(strtol(hex.substr(i, 2).c_str(), nullptr, 16));
    }
    return bytes;
}

// RSP_UD of an address around records (hex), checksum worked out here.
std::string Answer(int address, const std::string& records, int ci = 0x72) {
    std::string body = std::string("\x08") + static_cast<char>(address) + static_cast<char>(ci) +
                       Bytes("44 33 22 11 96 15 01 07 2A 00 00 00 " + records);
    unsigned char sum = 0;
    for (char c : body) {
        sum = static_cast<unsigned char>(sum + static_cast<unsigned char>(c));
    }
    auto l = static_cast<char>(body.size());
    return std::string("\x68") + l + l + "\x68" + body + static_cast<char>(sum) + "\x16";
}

const std::string kNke5 = Bytes("10 40 05 45 16");
const std::string kUd2_5 = Bytes("10 7B 05 80 16");

struct Bench {
    FakeClock clock;
    MemoryLine peer;
    Recorder out;
    Gaugereader g;

    Bench() {
        GaugeInit(&g, 6, &out);
        g.com = 4;
        g.baud = 2400;
        g.timeOutAck = 1000;
        g.silence = 350;
        g.pause = 500;
        g.nbIter = 2;
        MemoryLineAttach(&g.line, &peer);
        LineProfile profile;
        profile.device = "/dev/ttyUSB0";
        EXPECT_EQ(LineOpen(&g.line, profile), 0);
    }
    ~Bench() { LineClose(&g.line); }

    GaugeSensor& Sensor(int address, int etat, int nbDef, bool present) {
        GaugeSensor s;
        s.address = address;
        s.etat = etat;
        s.nbDef = nbDef;
        s.present = present;
        g.sensors.insert(g.sensors.begin(), s);
        return g.sensors.front();
    }
    GaugeFrame& Frame(GaugeSensor& s, int no, int etat, std::vector<GaugeData> data) {
        GaugeFrame f;
        f.no = no;
        f.etat = etat;
        f.data = std::move(data);
        s.frames.insert(s.frames.begin(), f);
        return s.frames.front();
    }
};

GaugeData Item(int no, int quantity, gauge::Kind kind = gauge::Kind::BySize, int div = 1,
               int mult = 1, double coef = 1.0, int storage = 0, int function = mbus::kInst) {
    GaugeData d;
    d.no = no;
    d.quantity = quantity;
    d.kind = kind;
    d.div = div;
    d.mult = mult;
    d.coef = coef;
    d.storage = storage;
    d.function = function;
    return d;
}

TEST(GaugeReader, SilentSensorDropsItsStateAtTheNthUnansweredTestAndAtEachLaterOne) {
    Bench b;
    b.Sensor(5, 7, 3, false);
    std::vector<long long> passMs;
    for (int pass = 0; pass < 5; ++pass) {
        long long before = b.clock.ElapsedMs();
        GaugePollPass(&b.g);
        passMs.push_back(b.clock.ElapsedMs() - before);
    }
    EXPECT_EQ(b.out.writes, std::vector<std::string>({"ch7=0", "ch7=0", "ch7=0"}));
    std::string sent;
    for (int i = 0; i < 5; ++i) {
        sent += kNke5;
    }
    EXPECT_EQ(b.peer.Sent(), sent);
    // each pass: the 10 ms after the short frame and the acknowledge time-out, nothing more
    EXPECT_EQ(passMs, std::vector<long long>(5, 1010));

    // it answers at last: present, state 1, failures forgotten
    b.peer.Answer(kNke5, "\xE5");
    GaugePollPass(&b.g);
    EXPECT_EQ(b.out.writes.back(), "ch7=1");
    EXPECT_TRUE(b.g.sensors[0].present);
    EXPECT_EQ(b.g.sensors[0].failures, 0);
}

TEST(GaugeReader, AcknowledgeOtherThanE5IsRefusedAndTraced) {
    Bench b;
    b.Sensor(5, 7, 1, false);
    b.peer.Answer(kNke5, "\xA5");
    GaugePollPass(&b.g);
    EXPECT_FALSE(b.g.sensors[0].present);
    EXPECT_NE(b.out.trace.find("caractere $A5 recu au lieu de $E5\n"), std::string::npos)
        << b.out.trace;
    EXPECT_EQ(b.out.writes, std::vector<std::string>({"ch7=0"}));
}

TEST(GaugeReader, RecordsAreScaledAsTheirItemsAsk) {
    using gauge::Kind;
    struct Case {
        const char* what;
        GaugeData item;
        MbusRecord record;
        const char* message;  // "" when nothing is written
        const char* trace;
    };
    auto record = [](int quantity, int bits, int64_t value, double multiplier = 1.0) {
        MbusRecord r;
        r.quantity = quantity;
        r.bits = bits;
        r.value = value;
        r.multiplier = multiplier;
        return r;
    };
    MbusRecord real = record(mbus::kFlowTemperature, 32, 0);
    real.coding = mbus::Coding::Real;
    real.real = 31.25f;
    MbusRecord storage1 = record(mbus::kVolume, 32, 77);
    storage1.storage = 1;
    MbusRecord tariff1 = record(mbus::kVolume, 32, 77);
    tariff1.tariff = 1;
    Case cases[] = {
        {"counter", Item(1, mbus::kVolume, Kind::Cpt, 10, 2), record(mbus::kVolume, 32, 123456),
         "f3 L1=24690", "  Com(4) Trame(3) Donnee(1) Cpt=24690\n"},
        {"real with coefficient", Item(2, mbus::kVolume, Kind::Ieee, 10, 2, 0.5),
         record(mbus::kVolume, 32, 123456, 0.01), "f3 F2=123.45",
         "  Com(4) Trame(3) Donnee(2) Reel=123.449997\n"},
        {"analogue of a long record", Item(3, mbus::kVolume, Kind::Ana),
         record(mbus::kVolume, 32, 70000), "f3 S3=4464", "  Com(4) Trame(3) Donnee(3) Ana=4464\n"},
        {"16 bits by size", Item(4, mbus::kPower), record(mbus::kPower, 16, -2), "f3 S4=65534",
         "  Com(4) Trame(3) Donnee(4) Ana=65534\n"},
        {"16 bits as counter", Item(5, mbus::kPower, Kind::Cpt), record(mbus::kPower, 16, 500),
         "f3 L5=500", "  Com(4) Trame(3) Donnee(5) Cpt=500\n"},
        {"48 bits by size", Item(6, mbus::kEnergy), record(mbus::kEnergy, 48, 5000000000LL),
         "f3 L6=705032704", "  Com(4) Trame(3) Donnee(6) Cpt=705032704\n"},
        {"real as received", Item(7, mbus::kFlowTemperature, Kind::Cpt, 10, 3, 9.0), real,
         "f3 F7=31.25", "  Com(4) Trame(3) Donnee(7) Reel=31.250000\n"},
        {"date as seconds", Item(8, mbus::kDatePoint, Kind::Cpt),
         record(mbus::kDatePoint, 16, 1419984000), "f3 L8=1419984000",
         "  Com(4) Trame(3) Donnee(8) Cpt=1419984000\n"},
        {"divisor -1 of the smallest value", Item(9, mbus::kEnergy, Kind::Cpt, -1),
         record(mbus::kEnergy, 64, INT64_MIN), "f3 L9=0", "  Com(4) Trame(3) Donnee(9) Cpt=0\n"},
        {"Min never matches", Item(1, mbus::kVolume, Kind::Cpt, 1, 1, 1.0, 0, mbus::kMin),
         record(mbus::kVolume, 32, 1), "", ""},
        {"storage 1 only for Rng 1", Item(1, mbus::kVolume, Kind::Cpt), storage1, "", ""},
        {"Rng 1", Item(1, mbus::kVolume, Kind::Cpt, 1, 1, 1.0, 1), storage1, "f3 L1=77",
         "  Com(4) Trame(3) Donnee(1) Cpt=77\n"},
        {"tariffs are not items", Item(1, mbus::kVolume, Kind::Cpt), tariff1, "", ""},
    };
    for (const Case& c : cases) {
        Bench b;
        GaugeSensor& s = b.Sensor(5, 0, 1, true);
        GaugeFrame& f = b.Frame(s, 3, 0, {c.item});
        b.g.frame = &f;
        GaugeDeliverRecord(&b.g, c.record);
        if (c.message[0] == '\0') {
            EXPECT_TRUE(b.out.writes.empty()) << c.what;
        } else {
            EXPECT_EQ(b.out.writes, std::vector<std::string>({c.message})) << c.what;
            EXPECT_EQ(b.out.comSeen, 4) << c.what;
        }
        EXPECT_EQ(b.out.trace, c.trace) << c.what;
    }
}

TEST(GaugeReader, TheLastConfiguredOfTwoIdenticalItemsTakesTheRecord) {
    Bench b;
    GaugeSensor& s = b.Sensor(5, 0, 1, true);
    // configured 1 then 2: 2 is first in the list
    GaugeFrame& f = b.Frame(s, 3, 0, {Item(2, mbus::kVolume), Item(1, mbus::kVolume)});
    b.g.frame = &f;
    MbusRecord r;
    r.quantity = mbus::kVolume;
    r.bits = 32;
    r.value = 5;
    GaugeDeliverRecord(&b.g, r);
    EXPECT_EQ(b.out.writes, std::vector<std::string>({"f3 L2=5"}));
}

TEST(GaugeReader, AGoodAnswerAfterNoiseIsDeliveredWithItsPauses) {
    Bench b;
    GaugeSensor& s = b.Sensor(5, 7, 1, true);
    b.Frame(s, 3, 8, {Item(1, mbus::kVolume, gauge::Kind::Cpt), Item(2, mbus::kEnergy)});
    b.peer.Answer(kUd2_5, Bytes("00 FF 10 ") + Answer(5, "04 13 10 27 00 00 0C 06 78 56 34 12"));
    GaugePollPass(&b.g);
    EXPECT_EQ(b.out.writes, std::vector<std::string>({"f3 L1=10000", "f3 L2=12345678", "ch8=1"}));
    EXPECT_EQ(b.peer.Sent(), kUd2_5);
    EXPECT_TRUE(b.g.sensors[0].present);
    EXPECT_NE(b.out.trace.find("Identification=11223344 Fabriquant=5526 Version=$01 Acces=$2A "
                               "Status=$00 Signature=0\n"),
              std::string::npos)
        << b.out.trace;
    // 10 ms after the request, the silence that ends the answer, 100 ms after each record
    EXPECT_EQ(b.clock.ElapsedMs(), 10 + 350 + 200);
}

TEST(GaugeReader, TheLargestFrameIsReadWholeAfterNoise) {
    Bench b;
    GaugeSensor& s = b.Sensor(5, 0, 1, true);
    b.Frame(s, 3, 8, {Item(1, mbus::kVolume, gauge::Kind::Cpt)});
    std::string records;
    for (int i = 0; i < 40; ++i) {
        records += "04 13 10 27 00 00 ";
    }
    std::string answer = Answer(5, records);
    ASSERT_EQ(answer.size(), 261u);
    b.peer.SetPace(4583);  // 2400 baud, 11 bits a character
    b.peer.Answer(kUd2_5, std::string(mbus::kNoiseMax, '\xAA') + answer, 20);
    GaugePollPass(&b.g);
    EXPECT_EQ(b.out.writes.size(), 41u);
    EXPECT_EQ(b.out.writes.back(), "ch8=1");
    EXPECT_EQ(b.peer.Sent(), kUd2_5);
}

TEST(GaugeReader, BadAnswersAreRetriedThenTheSensorIsTestedAgain) {
    struct Case {
        const char* what;
        std::string answer;
        const char* trace;
        const char* log;
    } cases[] = {
        {"L fields differ", Bytes("68 1F 20 68 08 05 72"), "Longueur recue discordante 1F!=20\n",
         ""},
        {"another address", Answer(6, "04 13 10 27 00 00"), "adresse $06 recue au lieu de $05\n",
         ""},
        {"another structure", Answer(5, "04 13 10 27 00 00", 0x78), "CI $78 non gere\n", ""},
        {"no header", Bytes("68 05 05 68 08 05 72 01 02 82 16"), "",
         "3 Lng data(2) < taille header"},
        {"silence", "", "caractere de debut de trame non recu\n", ""},
    };
    for (const Case& c : cases) {
        Bench b;
        GaugeSensor& s = b.Sensor(5, 7, 1, true);
        b.Frame(s, 3, 8, {Item(1, mbus::kVolume)});
        if (!c.answer.empty()) {
            b.peer.Answer(kUd2_5, c.answer, 0, 0);
        }
        GaugePollPass(&b.g);
        EXPECT_EQ(b.out.writes, std::vector<std::string>({"ch8=0"})) << c.what;
        EXPECT_FALSE(b.g.sensors[0].present) << c.what;
        EXPECT_EQ(b.peer.TakeSent(), kUd2_5 + kUd2_5) << c.what;  // NbIter 2
        EXPECT_NE(b.out.trace.find(c.trace), std::string::npos) << c.what << "\n" << b.out.trace;
        if (c.log[0] != '\0') {
            ASSERT_FALSE(b.out.logs.empty()) << c.what;
            EXPECT_EQ(b.out.logs[0], c.log) << c.what;
        }
        // next pass: SND_NKE again
        GaugePollPass(&b.g);
        EXPECT_EQ(b.peer.TakeSent(), kNke5) << c.what;
    }
}

// A Suite frame asks again with the same frame count bit after a request that got no good
// answer, and reads 8 telegrams at most.
TEST(GaugeReader, SuiteFramesReadTheTelegramsThatFollow) {
    const std::string k5B = Bytes("10 5B 05 60 16"), pair = kUd2_5 + k5B, twice = pair + k5B;
    struct Case {
        std::vector<std::string> answers5B;  // in turn, the last one for good ("" none)
        std::string sent;
        size_t writes;      // frame messages, then the frame's state
        const char* state;  // the last write
        const char* trace;
        std::string next;  // what the next reading starts with
    } cases[] = {
        {{Answer(5, "0C 06 78 56 34 12 1F")},
         pair + pair + pair + pair,
         9,
         "ch8=1",
         "8 telegrammes lus : fin de lecture\n",
         Bytes("10 40 05 45 16")},  // cut short: the meter's sequence starts again
        {{Bytes("68 1F 20 68 08 05 72"), Answer(5, "0C 06 78 56 34 12")},
         twice,
         3,
         "ch8=1",
         "",
         kUd2_5},
        {{""}, twice, 2, "ch8=0", "", Bytes("10 40 05 45 16")},
    };
    for (const Case& c : cases) {
        Bench b;
        GaugeSensor& s = b.Sensor(5, 7, 1, true);
        b.Frame(s, 3, 8, {Item(1, mbus::kVolume), Item(2, mbus::kEnergy)}).suite = true;
        b.peer.Answer(kUd2_5, Answer(5, "04 13 10 27 00 00 1F"), 0, 0);
        for (size_t i = 0; i < c.answers5B.size() && !c.answers5B[i].empty(); ++i) {
            b.peer.Answer(k5B, c.answers5B[i], 0, i + 1 < c.answers5B.size() ? 1 : 0);
        }
        GaugePollPass(&b.g);
        EXPECT_EQ(b.peer.Sent(), c.sent) << c.writes;
        EXPECT_EQ(b.out.writes.size(), c.writes);
        EXPECT_EQ(b.out.writes.back(), c.state) << c.writes;
        EXPECT_NE(b.out.trace.find(c.trace), std::string::npos) << c.writes;
        GaugePollPass(&b.g);
        EXPECT_EQ(b.peer.Sent().substr(c.sent.size(), c.next.size()), c.next) << c.writes;
    }
}

TEST(GaugeReader, ASensorBySecondaryAddressIsSelectedThenReadAtFD) {
    const std::string ud2 = Bytes("10 7B FD 78 16");
    struct Case {
        const char* what;
        const char* id;
        std::string select;  // the selection's SND_UD
        bool acknowledged;   // the selection; the answer (at 0xFD) is always meter 11223344's
        std::vector<std::string> writes;
        const char* trace;
    } cases[] = {
        {"its header matches, whatever its primary address",
         "11223344",
         Bytes("68 0B 0B 68 53 FD 52 44 33 22 11 FF FF FF FF 48 16"),
         true,
         {"ch7=1", "f3 L1=10000", "ch8=1"},
         "Identification=11223344"},
        {"another meter's header",
         "1122335F",
         Bytes("68 0B 0B 68 53 FD 52 5F 33 22 11 FF FF FF FF 63 16"),
         true,
         {"ch7=1", "ch8=0"},
         "adresse secondaire 11223344 recue hors selection\n"},
        {"no acknowledge",
         "11223344",
         Bytes("68 0B 0B 68 53 FD 52 44 33 22 11 FF FF FF FF 48 16"),
         false,
         {"ch7=0", "ch7=0"},
         "selection de 11223344 non acquittee\n"},
    };
    for (const Case& c : cases) {
        Bench b;
        GaugeSensor& s = b.Sensor(mbus::kSecondaryAddress, 7, 1, false);
        s.secondary = true;
        ASSERT_EQ(MbusParseIdentification(c.id, &s.selection), 0);
        b.Frame(s, 3, 8, {Item(1, mbus::kVolume, gauge::Kind::Cpt)});
        if (c.acknowledged) {
            b.peer.Answer(c.select, "\xE5", 0, 0);
            b.peer.Answer(ud2, Answer(0, "04 13 10 27 00 00"), 0, 0);
        }
        GaugePollPass(&b.g);  // the selection is the presence test
        GaugePollPass(&b.g);
        EXPECT_EQ(b.out.writes, c.writes) << c.what;
        EXPECT_EQ(b.peer.Sent().substr(0, c.select.size() * 2), c.select + c.select) << c.what;
        EXPECT_NE(b.out.trace.find(c.trace), std::string::npos) << c.what << "\n" << b.out.trace;
    }
}

TEST(GaugeReader, AFrameWaitingForItsEnablingChannelIsSkippedWithoutSpinning) {
    Bench b;
    GaugeSensor& s = b.Sensor(5, 7, 1, true);
    GaugeFrame& f = b.Frame(s, 3, 8, {Item(1, mbus::kVolume)});
    f.active = 12;
    b.out.channels[12] = 0;
    GaugePollPass(&b.g);
    EXPECT_EQ(b.peer.Sent(), "");
    EXPECT_TRUE(b.g.sensors[0].present);
    EXPECT_NE(b.out.trace.find("Attente de voie(12)\n"), std::string::npos);
    EXPECT_EQ(b.clock.ElapsedMs(), 500);  // the pause, since the pass touched no line
    b.out.channels[12] = 1;
    b.peer.Answer(kUd2_5, Answer(5, "04 13 10 27 00 00"));
    GaugePollPass(&b.g);
    EXPECT_EQ(b.out.writes, std::vector<std::string>({"f3 L1=10000", "ch8=1"}));
}

TEST(GaugeReader, InterframeWaitIsTraced) {
    Bench b;
    GaugeSensor& s = b.Sensor(5, 7, 1, false);
    s.intertrame = 250;
    b.peer.Answer(kNke5, "\xE5");
    GaugePollPass(&b.g);
    EXPECT_NE(b.out.trace.find("Attente de 250 ms\n"), std::string::npos);
    EXPECT_EQ(b.clock.ElapsedMs(), 10 + 250);
}

}  // namespace
