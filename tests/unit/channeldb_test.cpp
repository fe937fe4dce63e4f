// Channel database access: records, texts and values read from chanmgr's memories, their
// fallbacks, the wait for the value memories and the Modbus address map.
#include "channeldb.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "chanmgr_memories.h"
#include "conf.h"
#include "fakeclock.h"
#include "sandbox.h"

namespace {

class ChannelDb : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetChannelMaxNb();
        ResetModbusAddr();
    }
    void TearDown() override {
        ChannelInfoClose(&info);
        ChannelReadClose(&values);
        ResetChannelMaxNb();
        ResetModbusAddr();
    }
    void Settings(const std::string& env) {
        box.WriteFile("/tmp/orxapp.ini", "[ENV]\n" + env);
        ResetChannelMaxNb();
        ResetModbusAddr();
    }

    Sandbox box;
    ChannelInfo info;
    ChannelValues values;
};

ChannelRecordFields Pump() {
    ChannelRecordFields fields;
    fields.name = "Pompe 1";
    fields.format = "%6.2f";
    fields.type = 2;
    fields.flags = kFlagTimeStamped | kFlagValueTransmit | kFlagDefined;
    fields.text0 = 7;
    fields.text1 = 8;
    fields.indexes = 0x8005;  // A, C, P
    fields.coefficient = 0.5f;
    fields.offset = -3.0f;
    fields.source = 0x01020304;
    fields.sourceNo = -12;
    return fields;
}

}  // namespace

TEST_F(ChannelDb, RecordFieldsAndTexts) {
    ChanmgrMemories memories;
    memories.SetRecord(3, Pump());
    memories.SetText(7, "m3/h");
    memories.SetText(8, "Marche");
    memories.SetLastChannel(42);
    ASSERT_EQ(ChannelInfoOpen(&info), 0);

    EXPECT_STREQ(GetChannelName(&info, 3), "Pompe 1");
    EXPECT_STREQ(GetFormatText(&info, 3), "%6.2f");
    EXPECT_EQ(GetChannelType(&info, 3), 2);
    EXPECT_STREQ(GetUnitText(&info, 3), "m3/h");
    EXPECT_STREQ(GetChannelStateText(&info, 3, 0), "m3/h");
    EXPECT_STREQ(GetChannelStateText(&info, 3, 5), "Marche");
    EXPECT_EQ(GetScaleCoefficient(&info, 3), 0.5f);
    EXPECT_EQ(GetScaleOffset(&info, 3), -3.0f);
    EXPECT_EQ(GetChannelSrc(&info, 3), 0x01020304);
    EXPECT_EQ(GetChannelSrcNo(&info, 3), -12);
    EXPECT_EQ(GetIndexes(&info, 3), 0x8005);
    EXPECT_EQ(IsChannelIndex(&info, 3, 'A'), 1);
    EXPECT_EQ(IsChannelIndex(&info, 3, 'B'), 0);
    EXPECT_EQ(IsChannelIndex(&info, 3, 'C'), 1);
    EXPECT_EQ(IsChannelIndex(&info, 3, 'P'), 1);
    EXPECT_EQ(IsChannelIndex(&info, 3, 'Q'), 0);
    EXPECT_EQ(IsChannelIndex(&info, 3, 'a'), 0);
    EXPECT_EQ(GetInfoChannelInfo(&info, 3), kFlagTimeStamped | kFlagValueTransmit | kFlagDefined);
    EXPECT_EQ(GetLastChannelNumber(&info), 42);
    EXPECT_STREQ(type_name_tab[GetChannelType(&info, 3)], "EANA");
}

TEST_F(ChannelDb, EachFlagReadsItsOwnBit) {
    ChanmgrMemories memories;
    ASSERT_EQ(ChannelInfoOpen(&info), 0);
    struct Case {
        const char* name;
        int (*accessor)(ChannelInfo*, int);
        uint32_t bit;
    } cases[] = {
        {"IsSynoptiqueView", IsSynoptiqueView, 1u << 0},
        {"IsValueTransmit", IsValueTransmit, 1u << 2},
        {"IsTimeStamped", IsTimeStamped, 1u << 3},
        {"IsUnsignedChannel", IsUnsignedChannel, 1u << 4},
        {"IsChannelInhibit", IsChannelInhibit, 1u << 5},
        {"IsChannelDefined", IsChannelDefined, 1u << 6},
        {"IsChannelNO", IsChannelNO, 1u << 8},
        {"IsChannelDefaut", IsChannelDefaut, 1u << 9},
        {"IsSynoptiqueLcd", IsSynoptiqueLcd, 1u << 10},
        {"IsValueSaved", IsValueSaved, 1u << 11},
        {"IsChannelSrcManual", IsChannelSrcManual, 1u << 12},
    };
    for (const Case& c : cases) {
        ChannelRecordFields only;
        only.flags = c.bit;
        memories.SetRecord(5, only);
        ChannelRecordFields allBut;
        allBut.flags = ~c.bit;
        memories.SetRecord(6, allBut);
        EXPECT_NE(c.accessor(&info, 5), 0) << c.name;
        EXPECT_EQ(c.accessor(&info, 6), 0) << c.name;
    }

    struct Memo {
        uint32_t flags;
        int expected;
    } memos[] = {{kFlagTimeStamped, 1},
                 {kFlagTimeStamped | kFlagMemoNotTransmit, 0},
                 {kFlagMemoNotTransmit, 0},
                 {0, 0}};
    for (const Memo& m : memos) {
        ChannelRecordFields fields;
        fields.flags = m.flags;
        memories.SetRecord(7, fields);
        EXPECT_EQ(IsMemoTransmit(&info, 7), m.expected) << m.flags;
    }
}

TEST_F(ChannelDb, MalformedFieldsGiveTheirFallback) {
    ChanmgrMemories memories;
    ChannelRecordFields fields = Pump();
    fields.type = 0x1A;
    fields.name = std::string(31, 'N');    // no room left for the end
    fields.format = std::string(21, 'F');  // likewise
    fields.text0 = 101;
    fields.text1 = 9;
    memories.SetRecord(4, fields);
    memories.SetText(9, std::string(21, 'T'));
    fields.type = 0x13;
    fields.text1 = 0;
    memories.SetRecord(5, fields);
    ASSERT_EQ(ChannelInfoOpen(&info), 0);

    EXPECT_EQ(GetChannelType(&info, 4), 0);  // low bits 10: above 9
    EXPECT_EQ(GetChannelType(&info, 5), 3);  // high bits are not part of the type
    EXPECT_EQ(GetChannelName(&info, 4), nullptr);
    EXPECT_EQ(GetFormatText(&info, 4), nullptr);
    EXPECT_EQ(GetUnitText(&info, 4), nullptr);             // text number 101
    EXPECT_EQ(GetChannelStateText(&info, 4, 1), nullptr);  // text without its end
    EXPECT_EQ(GetChannelStateText(&info, 5, 1), nullptr);  // text number 0
}

TEST_F(ChannelDb, ChannelsOutsideTheTableGiveFallbacks) {
    ChanmgrMemories memories;
    for (int channel : {1, 50}) {
        ChannelRecordFields fields = Pump();
        fields.flags = ~kFlagMemoNotTransmit;
        memories.SetRecord(channel, fields);
        memories.SetText(7, "unit");
        memories.SetText(8, "state");
    }
    ASSERT_EQ(ChannelInfoOpen(&info), 0);
    ASSERT_EQ(ChannelReadOpen(&values), 0);

    struct Case {
        const char* name;
        std::function<double(int)> read;
        double fallback;
    } cases[] = {
        {"GetChannelName", [&](int c) { return GetChannelName(&info, c) == nullptr ? 0 : 1; }, 0},
        {"GetFormatText", [&](int c) { return GetFormatText(&info, c) == nullptr ? 0 : 1; }, 0},
        {"GetUnitText", [&](int c) { return GetUnitText(&info, c) == nullptr ? 0 : 1; }, 0},
        {"GetChannelStateText",
         [&](int c) { return GetChannelStateText(&info, c, 1) == nullptr ? 0 : 1; }, 0},
        {"GetChannelType", [&](int c) { return GetChannelType(&info, c); }, 0},
        {"IsChannelIndex", [&](int c) { return IsChannelIndex(&info, c, 'A'); }, 0},
        {"GetScaleCoefficient", [&](int c) { return GetScaleCoefficient(&info, c); }, 1.0},
        {"GetScaleOffset", [&](int c) { return GetScaleOffset(&info, c); }, 0.0},
        {"IsSynoptiqueView", [&](int c) { return IsSynoptiqueView(&info, c); }, 0},
        {"IsValueTransmit", [&](int c) { return IsValueTransmit(&info, c); }, 0},
        {"IsTimeStamped", [&](int c) { return IsTimeStamped(&info, c); }, 0},
        {"IsUnsignedChannel", [&](int c) { return IsUnsignedChannel(&info, c); }, 0},
        {"IsChannelInhibit", [&](int c) { return IsChannelInhibit(&info, c); }, 0},
        {"IsChannelDefined", [&](int c) { return IsChannelDefined(&info, c); }, 0},
        {"IsChannelNO", [&](int c) { return IsChannelNO(&info, c); }, 0},
        {"IsChannelDefaut", [&](int c) { return IsChannelDefaut(&info, c); }, 0},
        {"IsSynoptiqueLcd", [&](int c) { return IsSynoptiqueLcd(&info, c); }, 0},
        {"IsValueSaved", [&](int c) { return IsValueSaved(&info, c); }, 0},
        {"IsChannelSrcManual", [&](int c) { return IsChannelSrcManual(&info, c); }, 0},
        {"IsMemoTransmit", [&](int c) { return IsMemoTransmit(&info, c); }, 0},
        {"GetInfoChannelInfo", [&](int c) { return GetInfoChannelInfo(&info, c); }, 0},
        {"GetChannelSrc", [&](int c) { return GetChannelSrc(&info, c); }, 0},
        {"GetChannelSrcNo", [&](int c) { return GetChannelSrcNo(&info, c); }, 0},
        {"GetIndexes", [&](int c) { return GetIndexes(&info, c); }, 0},
    };
    for (const Case& c : cases) {
        EXPECT_NE(c.read(1), c.fallback) << c.name << " reads channel 1";
        EXPECT_NE(c.read(50), c.fallback) << c.name << " reads channel N";
        EXPECT_EQ(c.read(0), c.fallback) << c.name << " channel 0";
        EXPECT_EQ(c.read(51), c.fallback) << c.name << " channel N + 1";
    }

    memories.SetBool(1, 1);
    memories.SetShort(1, 9);
    EXPECT_EQ(BoolChannelRead(&values, 0), 0);
    EXPECT_EQ(ShortChannelRead(&values, 51), 0);
    EXPECT_EQ(LongChannelRead(&values, 51), 0);
    EXPECT_EQ(FloatChannelRead(&values, -1), 0.0f);
    EXPECT_TRUE(box.LogHas("filemsg.lib : acces voie avec indice=0", "err"));
    EXPECT_TRUE(box.LogHas("filemsg.lib : acces voie avec indice=51", "err"));
    EXPECT_TRUE(box.LogHas("filemsg.lib : acces voie avec indice=-1", "err"));
}

TEST_F(ChannelDb, RecordsBeyondASmallMemoryAreMissing) {
    // chanmgr sized for 10 channels while the station says 50.
    ChanmgrMemories memories(50, 10);
    memories.SetRecord(10, Pump());
    ASSERT_EQ(ChannelInfoOpen(&info), 0);
    EXPECT_STREQ(GetChannelName(&info, 10), "Pompe 1");
    EXPECT_EQ(GetChannelName(&info, 11), nullptr);
    EXPECT_EQ(GetScaleCoefficient(&info, 50), 1.0f);
    EXPECT_EQ(GetLastChannelNumber(&info), 0);
}

TEST_F(ChannelDb, AccessorsWithoutTheMemoryLogAndFallBack) {
    EXPECT_EQ(GetChannelType(&info, 1), 0);
    EXPECT_EQ(GetChannelName(&info, 1), nullptr);
    EXPECT_TRUE(box.LogHas("adresse mem. info voie nulle", "err"));
}

TEST_F(ChannelDb, InfoOpenFailuresAndDetach) {
    {
        ChanmgrMemories memories;
        memories.Remove(corekey::kChannelInfo);
        EXPECT_EQ(ChannelInfoOpen(&info), -1);
        EXPECT_TRUE(box.LogHas("ouverture mem. info voie clef (22796)=2", "err"));
    }
    {
        ChanmgrMemories memories;
        memories.Remove(corekey::kChannelTexts);
        EXPECT_EQ(ChannelInfoOpen(&info), -3);
        EXPECT_TRUE(box.LogHas("ouverture mem. textes  clef (22799)=2", "err"));
        shmid_ds state{};
        ASSERT_EQ(shmctl(memories.InfoId(), IPC_STAT, &state), 0);
        EXPECT_EQ(state.shm_nattch, 1u);  // only the test's own attachment is left
        EXPECT_EQ(info.info, nullptr);
    }
    ChanmgrMemories memories;
    ASSERT_EQ(ChannelInfoOpen(&info), 0);
    EXPECT_TRUE(
        box.LogHas("ouverture mem. info voie clef(22796) et  mem. textes  clef (22799)", "debug"));
}

TEST_F(ChannelDb, ValuesAndSetPoints) {
    ChanmgrMemories memories;
    memories.SetBool(2, 0x40);
    memories.SetShort(2, -300);
    memories.SetFloat(2, 12.5f);
    memories.SetLong(2, -100000);
    memories.SetLong(50, 77);
    memories.SetShortSetpoint(128, -2);
    memories.SetFloatSetpoint(64, 0.25f);
    ASSERT_EQ(ChannelReadOpen(&values), 0);

    EXPECT_EQ(BoolChannelRead(&values, 2), 1);
    EXPECT_EQ(BoolChannelRead(&values, 3), 0);
    EXPECT_EQ(ShortChannelRead(&values, 2), -300);
    EXPECT_EQ(FloatChannelRead(&values, 2), 12.5f);
    EXPECT_EQ(LongChannelRead(&values, 2), -100000);
    EXPECT_EQ(LongChannelRead(&values, 50), 77);
    EXPECT_EQ(ShortConsigneRead(&values, 128), -2);
    EXPECT_EQ(FloatConsigneRead(&values, 64), 0.25f);

    EXPECT_EQ(ShortConsigneRead(&values, 129), 0);
    EXPECT_EQ(ShortConsigneRead(&values, 0), 0);
    EXPECT_EQ(FloatConsigneRead(&values, 65), 0.0f);
    EXPECT_TRUE(box.LogHas("filemsg.lib : acces consigne avec indice=129", "err"));
    EXPECT_TRUE(box.LogHas("filemsg.lib : acces consigne avec indice=0", "err"));
    EXPECT_TRUE(box.LogHas("filemsg.lib : acces mem. consigne avec indice=65", "err"));

    ChannelReadClose(&values);
    for (const char* text :
         {"filemsg.lib : fermeture mem. TOR", "filemsg.lib : fermeture mem. ENTIER",
          "filemsg.lib : fermeture mem. LONG", "filemsg.lib : fermeture mem. consigne entiere",
          "filemsg.lib : fermeture mem. consigne reelle"}) {
        EXPECT_TRUE(box.LogHas(text, "debug")) << text;
    }
}

namespace {

// A clock whose sleeps create the missing memory on the third poll: the wait must find it.
class CreatingClock final : public StationClock {
  public:
    explicit CreatingClock(std::function<void()> create) : create_(std::move(create)) {
        SetClock(this);
    }
    ~CreatingClock() override { SetClock(nullptr); }
    long Uptime() override { return 1000 + sleeps_ / 10; }
    timespec Monotonic() override { return {sleeps_ / 10, 0}; }
    timeval Now() override { return {1700000000, 0}; }
    int Sleep(const timespec& delay, timespec*) override {
        EXPECT_EQ(delay.tv_sec * 1000 + delay.tv_nsec / 1000000, 100);
        if (++sleeps_ == 3) {
            create_();
        }
        return 0;
    }
    int sleeps_ = 0;

  private:
    std::function<void()> create_;
};

}  // namespace

TEST_F(ChannelDb, ValueMemoryIsWaitedForIn100msPolls) {
    ChanmgrMemories memories;
    memories.Remove(corekey::kFloatLongValues);
    int created = -1;
    CreatingClock clock(
        [&] { created = shmget(corekey::kFloatLongValues, 400, IPC_CREAT | 0600); });
    ASSERT_EQ(ChannelReadOpen(&values), 0);
    EXPECT_EQ(clock.sleeps_, 3);
    EXPECT_EQ(values.floatLongId, created);
    EXPECT_TRUE(
        box.LogHas("filemsg.lib : ouverture memoire partagee Voie Long & IEEE  clef(22789) id(" +
                       std::to_string(created) + ") ",
                   "debug"));
    ChannelReadClose(&values);
    shmctl(created, IPC_RMID, nullptr);
}

TEST_F(ChannelDb, MissingValueMemoryIsFatalAfter300s) {
    ChanmgrMemories memories;
    memories.Remove(corekey::kIntegerSetpoints);
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_DEATH(
        {
            FakeClock clock;
            ChannelReadOpen(&values);
        },
        "");
    EXPECT_TRUE(box.LogHas("shared memory not open last 300 s", "crit"));
}

TEST_F(ChannelDb, ReadingBeforeOpenIsFatal) {
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_DEATH(ShortChannelRead(&values, 1), "");
    EXPECT_TRUE(box.LogHas("filemsg.lib : acces mem. voie ou consignes sans init", "crit"));
}

TEST_F(ChannelDb, ModbusAddressesInBothMaps) {
    struct Case {
        const char* settings;
        uint16_t boolean, integer, real, counter;
    } cases[] = {
        {"", 0x1002, 0x1602, 0x5004, 0x3004},
        {"M350Z=1\n", 0x1002, 0x1402, 0x5004, 0x1804},
        {"M350Z=2\n", 0x1002, 0x1602, 0x5004, 0x3004},  // out of bounds: normal map
    };
    for (const Case& c : cases) {
        Settings(c.settings);
        EXPECT_EQ(GetBoolModbusAddr(3), c.boolean) << c.settings;
        EXPECT_EQ(GetIntModbusAddr(3), c.integer) << c.settings;
        EXPECT_EQ(GetRealModbusAddr(3), c.real) << c.settings;
        EXPECT_EQ(GetCounterModbusAddr(3), c.counter) << c.settings;
        EXPECT_EQ(GetModbusAddr(3, 2), c.integer);
        EXPECT_EQ(GetModbusAddr(3, 7), c.integer);
        EXPECT_EQ(GetModbusAddr(3, 3), c.boolean);
        EXPECT_EQ(GetModbusAddr(3, 6), c.counter);
        for (uint16_t address : {c.boolean, c.integer, c.real, c.counter}) {
            EXPECT_EQ(GetModbusAddrChannel(address), 3) << std::hex << address;
        }
        // Both registers of a pair lead to the channel.
        EXPECT_EQ(GetModbusAddrChannel(c.real + 1), 3);
        EXPECT_EQ(GetModbusAddrChannel(c.counter + 1), 3);
        EXPECT_EQ(GetModbusAddrChannel(GetRealModbusAddr(50)), 50);
        EXPECT_EQ(GetModbusAddrChannel(GetRealModbusAddr(50) + 1), 50);
        EXPECT_EQ(GetModbusAddrChannel(GetRealModbusAddr(50) + 2), 0);
        EXPECT_EQ(GetModbusAddrChannel(0x0FFF), 0);
        EXPECT_EQ(GetModbusAddrChannel(0x1000 + 50), 0);
    }
}

TEST_F(ChannelDb, ModbusAddressOfABadChannelOrType) {
    struct Case {
        uint16_t (*address)(int);
        int line;
    } cases[] = {{GetBoolModbusAddr, 26},
                 {GetIntModbusAddr, 35},
                 {GetRealModbusAddr, 46},
                 {GetCounterModbusAddr, 55}};
    for (const Case& c : cases) {
        EXPECT_EQ(c.address(51), 0);
        EXPECT_TRUE(
            box.LogHas("divers.lib : modbusaddr erreur No Voie 51 line " + std::to_string(c.line)))
            << c.line;
    }
    EXPECT_EQ(GetModbusAddr(3, 8), 0);
    EXPECT_EQ(GetModbusAddr(3, 0), 0);
    EXPECT_TRUE(box.LogHas("divers.lib: error in conversion no channel(3) type=8", "err"));
}

TEST_F(ChannelDb, ModbusMapIsReadOnceUntilReset) {
    Settings("CHANNEL_MAX_NB=100\n");
    EXPECT_EQ(GetBoolModbusAddr(100), 0x1000 + 99);
    box.WriteFile("/tmp/orxapp.ini", "[ENV]\nCHANNEL_MAX_NB=60\n");
    ResetChannelMaxNb();
    EXPECT_EQ(GetBoolModbusAddr(100), 0x1000 + 99);  // still the first reading
    ResetModbusAddr();
    EXPECT_EQ(GetBoolModbusAddr(100), 0);
    EXPECT_EQ(GetBoolModbusAddr(60), 0x1000 + 59);
}

TEST_F(ChannelDb, PlcReadersSkipChannelsOfType0) {
    ChanmgrMemories memories;
    ChannelRecordFields typed;
    typed.type = 5;
    memories.SetRecord(1, typed);
    memories.SetRecord(2, ChannelRecordFields{});  // type 0
    for (int c : {1, 2}) {
        memories.SetBool(c, 1);
        memories.SetShort(c, 11);
        memories.SetLong(c, 22);
        memories.SetFloat(c, 3.5f);
    }
    memories.SetShortSetpoint(1, -1);
    memories.SetFloatSetpoint(1, 1.5f);
    ASSERT_EQ(ChannelInfoOpen(GetInfoChannelAddr()), 0);
    ASSERT_EQ(ChannelReadOpen(GetDataChannelAddr()), 0);

    EXPECT_EQ(PlcReadBool(1), 1);
    EXPECT_EQ(PlcReadShort(1), 11);
    EXPECT_EQ(PlcReadLong(1), 22);
    EXPECT_EQ(PlcReadFloat(1), 3.5f);
    EXPECT_EQ(PlcReadBool(2), 0);
    EXPECT_EQ(PlcReadShort(2), 0);
    EXPECT_EQ(PlcReadLong(2), 0);
    EXPECT_EQ(PlcReadFloat(2), 0.0f);
    EXPECT_EQ(PlcReadPointValueShort(1), 65535);
    EXPECT_EQ(PlcReadPointValueFloat(1), 1.5f);

    ChannelInfoClose(GetInfoChannelAddr());
    ChannelReadClose(GetDataChannelAddr());
}
