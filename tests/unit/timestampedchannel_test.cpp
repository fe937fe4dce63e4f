// The reading context of an export run against chanmgr's memories made by the test and the
// stand-in's tsd half answering in this process on the fake clock: which sources, which new
// lines run after run (wraps, underflow, context errors), and the context file.
#include "timestampedchannel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "chanmgr_memories.h"
#include "channeldb.h"
#include "conf.h"
#include "fakeclock.h"
#include "sandbox.h"
#include "tsdcore.h"

namespace {

constexpr uint16_t kLevel = 0x1602;  // channel 3, EANA, memo of 10 lines
constexpr uint16_t kIndex = 0x3008;  // channel 5, CPT, memo of 5 lines (3 in tsd)

std::string MemoSizeFile(const std::vector<std::pair<uint16_t, uint16_t>>& records) {
    std::string bytes;
    for (const auto& r : records) {
        bytes += static_cast<char>(r.first >> 8);
        bytes += static_cast<char>(r.first & 0xFF);
        bytes += static_cast<char>(r.second >> 8);
        bytes += static_cast<char>(r.second & 0xFF);
    }
    return bytes;
}

class ReadingContext : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetChannelMaxNb();
        ResetModbusAddr();
        sandbox.WriteFile("/tmp/orxapp.ini", "[ENV]\nCHANNEL_MAX_NB=50\n");
        sandbox.WriteFile("/tmp/memo.size", MemoSizeFile({{kLevel, 10}, {kIndex, 5}}));
        const uint32_t stamped = kFlagTimeStamped | kFlagDefined;
        memories.SetRecord(1, {"Porte", "", 1, stamped | kFlagMemoNotTransmit});
        memories.SetRecord(3, {"Niveau", "", 2, stamped});
        memories.SetRecord(5, {"Index", "", 5, stamped});
        memories.SetRecord(8, {"Temps", "", 8, stamped});  // a type without a memo address
        memories.SetRecord(9, {"Libre", "", 2, kFlagDefined});
        memories.SetLastChannel(9);
        tsdsim::Layout layout;
        layout.memos = {{kLevel, 10}, {kIndex, 3}};  // the file says 5 for kIndex
        std::string error;
        ASSERT_EQ(server.Open(layout, error), 0) << error;
        clock.OnSleep([this] { server.Poll(clock.ElapsedMs(), nullptr); });
        InitializeTimeStampedChannel(&reader);
    }
    void TearDown() override { FreeTimeStampedChannel(&reader); }

    TimeStampedSource* Source(uint16_t id) {
        for (LinkedListNode* n = reader.sources->first; n != nullptr; n = n->next) {
            auto* s = static_cast<TimeStampedSource*>(n->data);
            if (s->identifier == id) {
                return s;
            }
        }
        ADD_FAILURE() << "no source " << id;
        return nullptr;
    }

    // The values of the lines a run would export for a memo source.
    std::vector<uint32_t> Exported(const TimeStampedSource* s) {
        std::vector<uint32_t> values;
        for (int line = s->firstLine; line >= 1 && line <= s->lastLineNumber; ++line) {
            uint32_t v;
            std::memcpy(&v, GetTimeStampedData(reader.work, line - 1) + 4, 4);
            values.push_back(v);
        }
        return values;
    }

    uint32_t next = 1;  // the next memo value (and time offset)
    void AddMemo(uint16_t id, int count) {
        for (int i = 0; i < count; ++i, ++next) {
            server.AppendMemo(id, 1700000000 + next, next);
        }
    }

    Sandbox sandbox;
    FakeClock clock;
    ChanmgrMemories memories;
    tsdsim::Server server;
    TimeStampedReader reader{};
};

std::vector<uint32_t> Range(uint32_t first, uint32_t last) {
    std::vector<uint32_t> v;
    for (uint32_t i = first; i <= last; ++i) {
        v.push_back(i);
    }
    return v;
}

TEST_F(ReadingContext, SourcesFollowTheChannelConfiguration) {
    struct Expected {
        uint16_t id;
        int event;
        int weight;
        int capacity;
    };
    const Expected expected[] = {
        {kLevel, 0, 8, 10},
        {kIndex, 0, 8, 5},
        {3, 1, 10, 200},
        {1, 1, 10, 200},
    };
    ASSERT_EQ(reader.sources->count, 4);
    LinkedListNode* node = reader.sources->first;
    for (const Expected& e : expected) {
        auto* s = static_cast<TimeStampedSource*>(node->data);
        EXPECT_EQ(s->identifier, e.id);
        EXPECT_EQ(s->eventFlag, e.event);
        EXPECT_EQ(s->lineWeight, e.weight);
        EXPECT_EQ(s->capacity, e.capacity);
        EXPECT_EQ(s->lastPosition, 0);
        node = node->next;
    }
    EXPECT_EQ(reader.lineBufferSize, 2 * 200 * 10);
    EXPECT_EQ(reader.work->lineBuffer, reader.lineBuffer);
    EXPECT_EQ(reader.sequence, 0);
    EXPECT_TRUE(sandbox.LogHas("modbus.lib : voie No 1 non transmise", "debug"));
    EXPECT_TRUE(sandbox.LogHas("divers.lib : init en 0 ms", "debug"));
}

TEST_F(ReadingContext, RunAfterRunOnlyNewLinesAreExported) {
    struct Step {
        const char* what;
        std::function<void()> before;
        int result;
        std::vector<uint32_t> exported;
        const char* log;  // "" for none
    };
    const Step steps[] = {
        {"first run", [&] { AddMemo(kLevel, 4); }, 4, Range(1, 4),
         "divers.lib : nb nouvelle lignes=4, dernier ligne lue=4 pour 1602 Ligne(1-4)"},
        {"nothing new", [] {}, 0, {}, ""},
        {"three more", [&] { AddMemo(kLevel, 3); }, 3, Range(5, 7),
         "divers.lib : nb nouvelle lignes=3, dernier ligne lue=4 pour 1602 Ligne(5-7)"},
        {"the table wraps once", [&] { AddMemo(kLevel, 6); }, 6, Range(8, 13),
         "divers.lib : nb nouvelle lignes=6, dernier ligne lue=4 pour 1602 Ligne(5-10)"},
        {"more lines than the table holds", [&] { AddMemo(kLevel, 12); }, 10, Range(16, 25),
         "divers.lib : underflow Ligne(1-10) 1700000013-0000000D"},
        {"exactly one table more", [&] { AddMemo(kLevel, 10); }, 10, Range(26, 35),
         "divers.lib : underflow Ligne(1-10) 1700000025-00000019"},
        {"erased, then two",
         [&] {
             const_cast<tsdsim::Table*>(server.Find(kLevel))->Erase();
             AddMemo(kLevel, 2);
         },
         2, Range(36, 37), "divers.lib : context error Ligne 5 2 2"},
        {"nothing new after all that", [] {}, 0, {}, ""},
    };
    TimeStampedSource* level = Source(kLevel);
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.before();
        EXPECT_EQ(InitializeReadTimeStampedLine(&reader, level), step.result);
        EXPECT_EQ(Exported(level), step.exported);
        if (step.log[0] != 0) {
            EXPECT_TRUE(sandbox.LogHas(step.log)) << sandbox.Log();
        }
        if (step.result == 0) {
            EXPECT_EQ(level->firstLine, 0);
            EXPECT_EQ(level->lastLineNumber, -1);
        }
        EXPECT_EQ(level->lastPosition, static_cast<int>(server.Find(kLevel)->Current()));
        EXPECT_EQ(level->lastLine.value, next - 1);
        EXPECT_EQ(level->lastLine.word, 0);
    }
}

TEST_F(ReadingContext, MoreNewLinesThanCopiedIsAContextErrorNotAReadBeforeTheCopy) {
    // The memo-size file says 5 lines, tsd keeps 3: the positions then count more new lines
    // than the copy holds.
    TimeStampedSource* index = Source(kIndex);
    AddMemo(kIndex, 2);
    ASSERT_EQ(InitializeReadTimeStampedLine(&reader, index), 2);  // position 2 saved
    AddMemo(kIndex, 2);  // position 1 after the wrap, 3 lines held: 1 + 5 - 2 = 4 new
    EXPECT_EQ(InitializeReadTimeStampedLine(&reader, index), 3);
    EXPECT_EQ(Exported(index), Range(2, 4));
    EXPECT_TRUE(sandbox.LogHas("divers.lib : context error Ligne 2 3 1", "err"));
}

TEST_F(ReadingContext, LogLinesAreComparedWithTheirWord) {
    TimeStampedSource* station = Source(1);
    server.AppendStation(1700000000, 0x1602, 7);
    ASSERT_EQ(InitializeReadTimeStampedLine(&reader, station), 1);
    EXPECT_EQ(station->lastLine.word, 0x1602);
    server.AppendStation(1700000001, 0x1000, 1);
    EXPECT_EQ(InitializeReadTimeStampedLine(&reader, station), 1);
    EXPECT_EQ(station->firstLine, 2);
    // Same time and value as the saved line, another channel: not the line exported last.
    station->lastLine = {1700000000, 0x1603, {0, 0}, 7};
    station->lastPosition = 1;
    EXPECT_EQ(InitializeReadTimeStampedLine(&reader, station), 2);
    EXPECT_EQ(station->firstLine, 1);
    EXPECT_TRUE(
        sandbox.LogHas("divers.lib : underflow Ligne(1-2) 1700000000-1603-00000007", "err"));
}

TEST_F(ReadingContext, ASourceThatCannotBeReadKeepsItsState) {
    TimeStampedSource* level = Source(kLevel);
    AddMemo(kLevel, 3);
    ASSERT_EQ(InitializeReadTimeStampedLine(&reader, level), 3);
    const TimeStampedSource before = *level;
    AddMemo(kLevel, 2);
    std::string error;
    ASSERT_EQ(tsdsim::ApplyCue("silent", server.cues(), error), 0);
    EXPECT_EQ(InitializeReadTimeStampedLine(&reader, level), -1);
    EXPECT_EQ(level->firstLine, 1);
    EXPECT_EQ(level->lastLineNumber, -1);
    EXPECT_EQ(level->lastPosition, before.lastPosition);
    EXPECT_EQ(level->lastLine.value, before.lastLine.value);
    // The next run takes up where the last good one left.
    EXPECT_EQ(InitializeReadTimeStampedLine(&reader, level), 2);
    EXPECT_EQ(Exported(level), Range(4, 5));
    // An empty table, or no memo at all, gives -1 too.
    EXPECT_EQ(InitializeReadTimeStampedLine(&reader, Source(kIndex)), -1);
}

}  // namespace
