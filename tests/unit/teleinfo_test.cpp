// Teleinfo decoder: groups and checksums on the wire, frame boundaries, injection mode, composite
// values, and reception supervision, observed through the channel messages it produces.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "fakeclock.h"
#include "teleinfo.h"
#include "teleinfo_frames.h"

namespace {

// Records what the decoder asked for: each frame message as "f<frame> <items>", single channel
// writes as "ch<n>=<v>", log lines as "<prio> <text>".
class Recorder : public TeleinfoOutput {
  public:
    void Begin(int com, int frame) override {
        comSeen = com;
        open = "f" + std::to_string(frame);
    }
    void WriteBool(int index, bool value) override {
        open += " B" + std::to_string(index) + "=" + (value ? "1" : "0");
    }
    void WriteLong(int index, int32_t value) override {
        open += " L" + std::to_string(index) + "=" + std::to_string(value);
    }
    void WriteFloat(int index, float value) override {
        char text[64];
        snprintf(text, sizeof text, " F%d=%g", index, static_cast<double>(value));
        open += text;
    }
    void Terminate() override { writes.push_back(open); }
    void WriteChannelBool(int channel, bool value) override {
        writes.push_back("ch" + std::to_string(channel) + "=" + (value ? "1" : "0"));
    }
    void Trace(const char* text, int length) override { trace.append(text, length); }
    void TraceTimestamp() override { trace += "<ts>"; }
    void Log(int priority, const char* text) override {
        logs.push_back(std::to_string(priority) + " " + text);
    }
    bool Verbose() const override { return true; }

    bool Logged(const std::string& text) const {
        for (const std::string& line : logs) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    int comSeen = -1;
    std::string open;
    std::vector<std::string> writes;
    std::vector<std::string> logs;
    std::string trace;
};

struct Def {
    const char* label;
    int frame;
    const char* val = "";
    int evt = 0;
    int trameOk = 0;
    int timeout = 0;
    int normal = 1;
    int injection = 1;
    int forcedKind = -1;
};

class Decoder {
  public:
    explicit Decoder(const std::vector<Def>& defs, int etat = 0, int timeout = 6) {
        for (const Def& def : defs) {
            TeleinfoDefinition d;
            TeleinfoDefinitionInit(&d, def.label);
            d.frame = def.frame;
            snprintf(d.val, sizeof d.val, "%s", def.val);
            d.evt = def.evt;
            d.trameOk = def.trameOk;
            d.timeout = def.timeout;
            d.normal = def.normal;
            d.injection = def.injection;
            if (def.forcedKind >= 0) {
                d.kind = def.forcedKind;
            }
            d.lastReception = Clock().Uptime();
            definitions.push_back(d);
        }
        decoder.com = 3;
        decoder.etat = etat;
        decoder.timeout = timeout;
        decoder.definitions = definitions.data();
        decoder.definitionCount = static_cast<int>(definitions.size());
        decoder.out = &out;
        TeleinfoStartSupervision(&decoder, Clock().Uptime());
    }

    // Feeds bytes; returns how many frames ended (ETX).
    int Feed(const std::string& bytes) {
        int ends = 0;
        for (unsigned char c : bytes) {
            if (TeleinfoReceiveChar(&decoder, c) == teleinfo::kStopped) {
                ++ends;
                TeleinfoBeginScan(&decoder);
            }
        }
        return ends;
    }

    std::vector<TeleinfoDefinition> definitions;
    TeleinfoDecoder decoder;
    Recorder out;
};

class TeleinfoTest : public testing::Test {
  protected:
    void SetUp() override {
        const char* tz = getenv("TZ");
        savedTz_ = tz != nullptr ? tz : "";
        hadTz_ = tz != nullptr;
        setenv("TZ", "UTC", 1);
        tzset();
        clock_.SetWallTime(1700000000);  // 2023-11-14 22:13:20 UTC
    }
    void TearDown() override {
        if (hadTz_) {
            setenv("TZ", savedTz_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    FakeClock clock_;

  private:
    std::string savedTz_;
    bool hadTz_ = false;
};

using Writes = std::vector<std::string>;

TEST_F(TeleinfoTest, ChecksumMatchesKnownMeterGroups) {
    struct Case {
        const char* label;
        const char* value;
        char sum;
    } cases[] = {
        {"ISOUSC", "45", '?'}, {"IINST", "002", 'Y'}, {"PAPP", "00280", '+'},
        {"PTEC", "TH..", '$'}, {"IINST", "009", ' '},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TeleinfoChecksum(c.label, static_cast<int>(strlen(c.label)), c.value,
                                   static_cast<int>(strlen(c.value))),
                  c.sum)
            << c.label;
    }
}

TEST_F(TeleinfoTest, GroupsOnTheLine) {
    struct Case {
        const char* name;
        std::string bytes;
        Writes writes;
        const char* log;  // a line expected in the log, or null
    } cases[] = {
        {"analogue", Frame(Group("ISOUSC", "30")), {"f5 F1=30"}, nullptr},
        {"checksum that is a space", Frame(Group("IINST", "009")), {"f6 F1=9"}, nullptr},
        {"counter", Frame(Group("BASE", "012345678")), {"f7 L1=12345678"}, nullptr},
        {"bad checksum drops only that group",
         Frame("\nISOUSC 30 8\r" + Group("BASE", "000000042")),
         {"f7 L1=42"},
         "trame ISOUSC val 30 pb checksum envoye:56 calcule:57"},
        {"missing separator before the checksum",
         Frame("\nISOUSC 309\r" + Group("IINST", "009")),
         {"f6 F1=9"},
         "manque l'espace fin de donnee pour etq ISOUSC"},
        {"value part shorter than separator and checksum",
         Frame("\nISOUSC 9\r"),
         {},
         "manque l'espace fin de donnee pour etq ISOUSC"},
        {"characters before the frame start are ignored",
         Group("ISOUSC", "30") + Frame(Group("IINST", "009")),
         {"f6 F1=9"},
         nullptr},
        {"EOT drops the rest of the frame",
         "\x02" + Group("ISOUSC", "30") + "\x04" + Group("IINST", "009") + "\x03",
         {"f5 F1=30"},
         nullptr},
        {"ETX in the middle of a group ends the frame",
         "\x02\nISOUSC 30\x03 9\r" + Group("IINST", "009"),
         {},
         nullptr},
        {"lost end of group: the next group is still read",
         Frame("\nISOUSC 3" + Group("IINST", "009")),
         {"f6 F1=9"},
         nullptr},
        {"unconfigured label",
         Frame(Group("HCHP", "000000001")),
         {},
         "trame HCHP non prise en charge"},
        {"label compared exactly", Frame(Group("BASEX", "1") + Group("BAS", "1")), {}, nullptr},
    };
    for (const auto& c : cases) {
        Decoder d({{"ISOUSC", 5}, {"IINST", 6}, {"BASE", 7}});
        d.Feed(c.bytes);
        EXPECT_EQ(d.out.writes, c.writes) << c.name;
        if (c.log != nullptr) {
            EXPECT_TRUE(d.out.Logged(c.log)) << c.name;
        }
        EXPECT_EQ(d.out.comSeen, c.writes.empty() ? -1 : 3) << c.name;
    }
}

TEST_F(TeleinfoTest, FrameEndsOnlyAtEtxAndNextScanWaitsForStx) {
    Decoder d({{"ISOUSC", 5}});
    EXPECT_EQ(d.Feed("\x02" + Group("ISOUSC", "30")), 0);
    EXPECT_EQ(d.decoder.state, teleinfo::kInFrame);
    EXPECT_EQ(d.Feed("\x03"), 1);
    // a new scan ignores groups until the next STX
    d.Feed(Group("ISOUSC", "31"));
    EXPECT_EQ(d.out.writes, Writes({"f5 F1=30"}));
}

TEST_F(TeleinfoTest, OverlongLabelsAndValuesAreCutWithinTheirBuffers) {
    Decoder d({{"ISOUSC", 5}});
    std::string label(40, 'L');
    std::string value(120, '7');
    d.Feed(Frame("\n" + label + " " + value + " x\r"));
    EXPECT_EQ(d.decoder.rx.labelLength, 15);
    EXPECT_EQ(strlen(d.decoder.rx.label), 15u);
    EXPECT_LE(d.decoder.rx.valueLength, 50);
    EXPECT_TRUE(d.out.writes.empty());
    // the decoder is still in step with the line
    d.Feed(Frame(Group("ISOUSC", "30")));
    EXPECT_EQ(d.out.writes, Writes({"f5 F1=30"}));
}

TEST_F(TeleinfoTest, InjectionFrameSkipsContractDefinitionsFromThatGroupOn) {
    // CONTRAT: normal mode only; INJECTION: injection mode only; the third both.
    Decoder d({{"BASE", 10, "", 0, 0, 0, 1, 0}, {"BASE", 20, "", 0, 0, 0, 0, 1}, {"BASE", 30}});
    d.Feed(Frame(Group("BASE", "000000001") + Group("Appli", "INJECTION") +
                 Group("BASE", "000000002")));
    d.Feed(Frame(Group("BASE", "000000003")));
    EXPECT_EQ(d.out.writes,
              Writes({"f10 L1=1", "f30 L1=1", "f20 L1=2", "f30 L1=2", "f10 L1=3", "f30 L1=3"}));
    EXPECT_NE(d.out.trace.find("\n Injection detected\n\t\t"), std::string::npos);
}

TEST_F(TeleinfoTest, LostEndOfFrameDoesNotCarryInjectionModeIntoTheNextFrame) {
    Decoder d({{"BASE", 10, "", 0, 0, 0, 1, 0}});
    d.Feed("\x02" + Group("Appli", "INJECTION") + "\x02" + Group("BASE", "000000005") + "\x03");
    EXPECT_EQ(d.out.writes, Writes({"f10 L1=5"}));
}

TEST_F(TeleinfoTest, ValuesByKind) {
    const int ana = KIND_ANALOGUE, cpt = KIND_COUNTER, tor = KIND_DIGITAL, chr = KIND_CHRONO;
    struct Case {
        Def def;
        const char* value;
        Writes writes;
        const char* log = nullptr;
    } cases[] = {
        {{"ISOUSC", 5}, "30", {"f5 F1=30"}},
        {{"PPOT", 4}, "0E", {"f4 B1=1", "f4 B2=1", "f4 B3=1"}},
        {{"PPOT", 4}, "02", {"f4 B1=1", "f4 B2=0", "f4 B3=0"}},
        {{"PPOT", 4}, "0a", {"f4 B1=1", "f4 B2=0", "f4 B3=1"}},
        {{"PPOT", 4}, "0G", {}, "erreur valeur donnees PPOT"},
        {{"PPOT", 4}, "002", {}, "erreur nombre de caracteres donnees PPOT"},
        {{"TDEPA", 8}, "5", {"f8 L1=300"}},
        {{"PTEC", 9, "HP.."}, "HP..", {"f9 B1=1"}},
        {{"PTEC", 9, "HP.."}, "HC..", {"f9 B1=0"}},
        {{"PTEC", 9, "HP..", 1}, "HP..", {"f9 B1=1 B1=0"}},
        // an event's 0 goes to the first index, whichever field the value was
        {{"PMAXC", 4, "B", 1, 0, 0, 1, 1, tor}, "A:B", {"f4 B1=0 B1=0", "f4 B2=1 B1=0"}},
        {{"ISOUSC", 5, "", 0, 12}, "45", {"f5 F1=45", "ch12=1", "ch12=0", "ch12=1"}},
        {{"IINST", 6}, "12,5", {"f6 F1=12.5"}},
        {{"BASE", 7}, "00123kWh", {"f7 L1=123"}},
        {{"BASE", 7}, "99999999999", {"f7 L1=2147483647"}},
        {{"PREA1MN", 2}, "-00042", {"f2 L1=42 B2=1 F3=-42"}},
        {{"PREA1MN", 2}, "00017", {"f2 L1=17 B2=0 F3=17"}},
        {{"PREA1MN", 2, "", 0, 12}, "00017", {"f2 L1=17 B2=0 F3=17"}},
        {{"ENERG", 11}, "000123:000456", {"f11 L1=123", "f11 L2=456"}},
        {{"U10MIN", 11}, "230,5:231", {"f11 F1=230.5", "f11 F2=231"}},
        {{"ISOUSC", 5, "", 0, 0, 0, 1, 1, cpt}, "30", {"f5 L1=30"}},
        {{"BASE", 5, "30", 0, 0, 0, 1, 1, tor}, "30", {"f5 B1=1"}},
        {{"BASE", 5, "", 0, 0, 0, 1, 1, ana}, "7", {"f5 F1=7"}},
        {{"BASE", 5, "", 0, 0, 0, 1, 1, chr}, "7", {"f5 L1=7"}},
        // composite decoders
        {{"JAUNE", 12},
         "08:30:15:06:12:DP:0120:95",
         {"f12 L1=1686817800", "f12 F2=1", "f12 F3=2", "f12 B4=1", "f12 L5=120", "f12 F6=95"}},
        {{"JAUNE", 12},
         "08:30:15:06:34:  :0120:00",
         {"f12 L1=1686817800", "f12 F2=3", "f12 F3=4", "f12 B4=0", "f12 L5=120", "f12 F6=100"}},
        {{"JAUNE", 12}, "24:30:15:06", {}, "erreur dans la date etq JAUNE"},
        {{"JAUNE", 12}, "08:30:31:06", {}, "erreur dans la date etq JAUNE"},
        {{"JAUNE", 12}, "08:30:15", {}, "erreur dans la date etq JAUNE"},
        {{"JAUNE", 12},
         "08:30:15:06:5",
         {"f12 L1=1686817800"},
         "erreur nombre de donnees (<2) PT dans JAUNE"},
        {{"JAUNE", 12},
         "08:30:15:06:52",
         {"f12 L1=1686817800", "f12 F3=2"},
         "erreur num de saison etq JAUNE"},
        {{"JAUNE", 12},
         "08:30:15:06:15",
         {"f12 L1=1686817800", "f12 F2=1"},
         "erreur num de poste tarifaire etq JAUNE"},
        {{"JAUNE", 12},
         "08:30:15:06:12:XX",
         {"f12 L1=1686817800", "f12 F2=1", "f12 F3=2"},
         "erreur DP etq JAUNE"},
        {{"JAUNE", 12},
         "08:30:15:06:12:DP:0120:79:1",
         {"f12 L1=1686817800", "f12 F2=1", "f12 F3=2", "f12 B4=1", "f12 L5=120"},
         "erreur KDCde donnees JAUNE"},
        {{"JAUNE", 12},
         "08:30:15:06:12:DP:0120:95:1",
         {"f12 L1=1686817800", "f12 F2=1", "f12 F3=2", "f12 B4=1", "f12 L5=120", "f12 F6=95"},
         "erreur nombre de donnees JAUNE"},
        {{"FCOU", 13}, "08:30:45", {"f13 L1=30600", "f13 L2=45"}},
        {{"FCOU", 13}, "08:60:45", {"f13 L2=45"}, "erreur dans la date etq FCOU"},
        {{"FCOU", 13},
         "08:30:45:1",
         {"f13 L1=30600", "f13 L2=45"},
         "erreur nombre de donnees FCOU"},
        {{"PERCC", 14}, "15:06:08", {"f14 L1=1686816000"}},
        {{"PERCP", 14}, "15:13:08", {}, "erreur dans la date etq PERCP (13)"},
        {{"PERCC", 14}, "15:06:08:00", {"f14 L1=1686816000"}, "erreur nombre de donnees PERC"},
        {{"DATECOUR", 15}, "15/06/23 08/30/45", {"f15 L1=1686817845"}},
        {{"DATEPA3", 15}, "29/02/24 23/59/59", {"f15 L1=1709251199"}},
        {{"DATEPA1", 15}, "31/12/23 23/59/59", {"f15 L1=1704067199"}},
        {{"DEBUTp1", 15}, "29/02/23 23/59/59", {}, "erreur dans la date etq DEBUTp1 (23)"},
        {{"FINp", 15},
         "15/06/23 08/30/45/7",
         {"f15 L1=1686817845"},
         "erreur nombre de donnees FINp (7) num:7"},
        {{"DATECOUR", 15}, "15/06/23/08/30/45", {}, "erreur dans la date etq DATECOUR"},
        {{"DATECOUR", 15}, "15/06/23 08/30", {}, "erreur dans la date etq DATECOUR (30)"},
    };
    for (const auto& c : cases) {
        Decoder d({c.def});
        std::string context = std::string(c.def.label) + " " + c.value;
        ASSERT_EQ(TeleinfoDispatch(&d.decoder, c.def.label, static_cast<int>(strlen(c.def.label)),
                                   c.value),
                  1)
            << context;
        EXPECT_EQ(d.out.writes, c.writes) << context;
        if (c.log != nullptr) {
            EXPECT_TRUE(d.out.Logged(c.log)) << context << " log: " << c.log;
        }
    }
}

TEST_F(TeleinfoTest, EveryMatchingDefinitionSeesTheValueAsReceived) {
    // the first applied definition cuts and normalises its copy; the second must not see that
    Decoder d({{"ENERG", 1}, {"ENERG", 2}});
    d.Feed(Frame(Group("ENERG", "12,5:7")));
    EXPECT_EQ(d.out.writes, Writes({"f1 L1=12", "f1 L2=7", "f2 L1=12", "f2 L2=7"}));
}

TEST_F(TeleinfoTest, LabelTable) {
    struct Case {
        const char* label;
        int known, kind, composite, fields;
    } cases[] = {
        {"ISOUSC", 1, KIND_ANALOGUE, 0, FIELDS_NONE},
        {"PPOT", 1, KIND_DIGITAL, 1, FIELDS_PPOT},
        {"EA(RS)p(1)SCM", 1, KIND_COUNTER, 0, FIELDS_NONE},
        {"PREA10MN", 1, KIND_SIGNED_COUNTER, 0, FIELDS_NONE},
        {"DATEPA6", 1, KIND_CHRONO, 1, FIELDS_DATE},
        {"FINp1", 1, KIND_CHRONO, 1, FIELDS_DATE},
        {"PERCP", 1, KIND_CHRONO, 1, FIELDS_PERC},
        {"U10MIN", 1, KIND_ANALOGUE, 1, FIELDS_SPLIT},
        {"CONTRAT", 1, KIND_DIGITAL, 0, FIELDS_NONE},
        {"isousc", 0, KIND_COUNTER, 0, FIELDS_NONE},
        {"OPTARIF", 0, KIND_COUNTER, 0, FIELDS_NONE},
    };
    for (const Case& c : cases) {
        TeleinfoDefinition def;
        EXPECT_EQ(TeleinfoDefinitionInit(&def, c.label), c.known) << c.label;
        EXPECT_EQ(def.kind, c.kind) << c.label;
        EXPECT_EQ(def.composite, c.composite) << c.label;
        EXPECT_EQ(def.fields, c.fields) << c.label;
    }
}

TEST_F(TeleinfoTest, StateChannelFollowsGoodGroups) {
    Decoder d({{"ISOUSC", 5}}, /*etat=*/40, /*timeout=*/3);
    long start = Clock().Uptime();
    d.Feed(Frame("\nISOUSC 30 8\r"));  // a bad group does not count
    TeleinfoCheckReception(&d.decoder, start + 3);
    EXPECT_EQ(d.out.writes, Writes({}));
    d.Feed(Frame(Group("ISOUSC", "30") + Group("ISOUSC", "31")));
    EXPECT_EQ(d.out.writes, Writes({"ch40=1", "f5 F1=30", "f5 F1=31"}));
    d.out.writes.clear();
    TeleinfoCheckReception(&d.decoder, start + 3);
    EXPECT_EQ(d.out.writes, Writes({}));
    // written when it drops, then once per time-out period while it stays down
    for (long now = start + 4; now <= start + 10; ++now) {
        TeleinfoCheckReception(&d.decoder, now);
        TeleinfoCheckReception(&d.decoder, now);
        d.out.writes.push_back("t" + std::to_string(now - start));
    }
    EXPECT_EQ(d.out.writes,
              Writes({"ch40=0", "t4", "t5", "t6", "ch40=0", "t7", "t8", "t9", "ch40=0", "t10"}));
    EXPECT_TRUE(d.out.Logged("erreur temps de reception trop long"));
    d.out.writes.clear();
    clock_.Advance(4000000000LL);
    d.Feed(Frame(Group("ISOUSC", "30")));
    EXPECT_EQ(d.out.writes, Writes({"ch40=1", "f5 F1=30"}));
}

TEST_F(TeleinfoTest, LabelThatStopsArrivingIsWrittenZeroOncePerLoss) {
    Decoder d({{"ISOUSC", 5, "", 0, 0, 2},
               {"PTEC", 9, "HP..", 0, 0, 2},
               {"BASE", 7, "", 0, 0, 2},
               {"TDEPA", 8, "", 0, 0, 2},
               {"PREA1MN", 2, "", 0, 0, 2},
               {"IINST", 6}});
    long start = Clock().Uptime();
    TeleinfoCheckTimeouts(&d.decoder, start + 2);
    EXPECT_EQ(d.out.writes, Writes({}));
    TeleinfoCheckTimeouts(&d.decoder, start + 3);
    TeleinfoCheckTimeouts(&d.decoder, start + 4);
    EXPECT_EQ(d.out.writes, Writes({"f5 F1=0", "f9 B1=0", "f7 L1=0", "f8 L1=0"}));
    EXPECT_TRUE(d.out.Logged("erreur type de voie"));
    EXPECT_TRUE(d.out.Logged("timeout for ISOUSC Frame No 5 (1003,1000,2)"));
    EXPECT_EQ(d.out.trace,
              "\n<ts>timeout for ISOUSC ANA[5,1]=0.\n\n<ts>timeout for PTEC TOR[9,1]=0\n"
              "\n<ts>timeout for BASE CPT[7,1]=0\n\n<ts>timeout for TDEPA CPT[8,1]=0\n"
              "\n<ts>timeout for PREA1MN ");
    d.out.writes.clear();
    // received again, then lost again
    clock_.Advance(5000000000LL);
    d.Feed(Frame(Group("ISOUSC", "30")));
    TeleinfoCheckTimeouts(&d.decoder, start + 7);
    EXPECT_EQ(d.out.writes, Writes({"f5 F1=30"}));
    TeleinfoCheckTimeouts(&d.decoder, start + 8);
    EXPECT_EQ(d.out.writes, Writes({"f5 F1=30", "f5 F1=0"}));
}

TEST_F(TeleinfoTest, TraceEchoesCharactersAndValues) {
    Decoder d({{"ISOUSC", 5}});
    d.Feed(Frame(Group("ISOUSC", "30")));
    EXPECT_EQ(d.out.trace, "\n<ts> [02][0A]ISOUSC 30 9[0D]\n ANA[5,1]=30.000000\n\t\t[03]");
}

TEST_F(TeleinfoTest, TraceOfEachKindOfWrite) {
    struct Case {
        Def def;
        const char* value;
        const char* trace;
    } cases[] = {
        {{"BASE", 7}, "012345678", "\n CPT[7,1]=12345678\n\t\t"},
        {{"ISOUSC", 5}, "30", "\n ANA[5,1]=30.000000\n\t\t"},
        {{"PTEC", 9, "HP.."}, "HC..", "\n TOR[9,1]=0\n\t\t"},
        // the trace shows the minutes, the channel gets the seconds
        {{"TDEPA", 8}, "5", "\n CHR[8,1]=5\n\t\t"},
        {{"PREA1MN", 2}, "-00042", "\n CPT[2,1]=42 TOR[2]=1 ANA[3]=-42.000000\n \t\t"},
        {{"ENERG", 11}, "000123:000456", "\n CPT[11,1]=123\n CPT[11,2]=456\n\t\t"},
    };
    for (const auto& c : cases) {
        Decoder d({c.def});
        TeleinfoDispatch(&d.decoder, c.def.label, static_cast<int>(strlen(c.def.label)), c.value);
        EXPECT_EQ(d.out.trace, c.trace) << c.def.label;
    }
}

TEST_F(TeleinfoTest, Normalise) {
    struct Case {
        const char* in;
        const char* out;
        int32_t value;
    } cases[] = {
        {"012345678", "012345678", 12345678},
        {"12,5", "12.5", 12},
        {"+7", "+7", 7},
        {"-3kW", "-3", -3},
        {"A12", "", 0},
        {"1 2", "1", 1},
        {"-99999999999", "-99999999999", INT32_MIN},
    };
    for (const Case& c : cases) {
        char text[64];
        snprintf(text, sizeof text, "%s", c.in);
        TeleinfoNormalise(text);
        EXPECT_STREQ(text, c.out) << c.in;
        EXPECT_EQ(TeleinfoToLong(text), c.value) << c.in;
    }
}

}  // namespace
