// The reading context of an export run against chanmgr's memories made by the test and the
// stand-in's tsd half answering in this process on the fake clock: which sources, which new
// lines run after run (wraps, underflow, context errors), and the context file.
#include "timestampedchannel.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "chanmgr_memories.h"
#include "channeldb.h"
#include "conf.h"
#include "fakeclock.h"
#include "sandbox.h"
#include "tsdcore.h"

namespace {

constexpr uint16_t kLevelMemo = 0x1602;  // channel 3, EANA, memo of 10 lines
constexpr uint16_t kIndexMemo = 0x3008;  // channel 5, CPT, memo of 5 lines (3 in tsd)

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
        sandbox.WriteFile("/tmp/memo.size", MemoSizeFile({{kLevelMemo, 10}, {kIndexMemo, 5}}));
        const uint32_t stamped = kFlagTimeStamped | kFlagDefined;
        memories.SetRecord(1, {"Porte", "", 1, stamped | kFlagMemoNotTransmit});
        memories.SetRecord(3, {"Niveau", "", 2, stamped});
        memories.SetRecord(5, {"Index", "", 5, stamped});
        memories.SetRecord(8, {"Temps", "", 8, stamped});  // a type without a memo address
        memories.SetRecord(9, {"Libre", "", 2, kFlagDefined});
        memories.SetLastChannel(9);
        tsdsim::Layout layout;
        layout.memos = {{kLevelMemo, 10}, {kIndexMemo, 3}};  // the file says 5 for kIndexMemo
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
        {kLevelMemo, 0, 8, 10},
        {kIndexMemo, 0, 8, 5},
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
        {"first run", [&] { AddMemo(kLevelMemo, 4); }, 4, Range(1, 4),
         "divers.lib : nb nouvelle lignes=4, dernier ligne lue=4 pour 1602 Ligne(1-4)"},
        {"nothing new", [] {}, 0, {}, ""},
        {"three more", [&] { AddMemo(kLevelMemo, 3); }, 3, Range(5, 7),
         "divers.lib : nb nouvelle lignes=3, dernier ligne lue=4 pour 1602 Ligne(5-7)"},
        {"the table wraps once", [&] { AddMemo(kLevelMemo, 6); }, 6, Range(8, 13),
         "divers.lib : nb nouvelle lignes=6, dernier ligne lue=4 pour 1602 Ligne(5-10)"},
        {"more lines than the table holds", [&] { AddMemo(kLevelMemo, 12); }, 10, Range(16, 25),
         "divers.lib : underflow Ligne(1-10) 1700000013-0000000D"},
        {"exactly one table more", [&] { AddMemo(kLevelMemo, 10); }, 10, Range(26, 35),
         "divers.lib : underflow Ligne(1-10) 1700000025-00000019"},
        {"erased, then two",
         [&] {
             const_cast<tsdsim::Table*>(server.Find(kLevelMemo))->Erase();
             AddMemo(kLevelMemo, 2);
         },
         2, Range(36, 37), "divers.lib : context error Ligne 5 2 2"},
        {"nothing new after all that", [] {}, 0, {}, ""},
    };
    TimeStampedSource* level = Source(kLevelMemo);
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
        EXPECT_EQ(level->lastPosition, static_cast<int>(server.Find(kLevelMemo)->Current()));
        EXPECT_EQ(level->lastLine.value, next - 1);
        EXPECT_EQ(level->lastLine.word, 0);
    }
}

TEST_F(ReadingContext, AWrapIsCountedWithTheTableSizeTsdAnswers) {
    // The memo-size file says 5 lines, tsd keeps 3: a wrap counts with tsd's 3.
    TimeStampedSource* index = Source(kIndexMemo);
    AddMemo(kIndexMemo, 2);
    ASSERT_EQ(InitializeReadTimeStampedLine(&reader, index), 2);  // position 2 saved
    AddMemo(kIndexMemo, 2);  // position 1 after the wrap, 3 lines held: 1 + 3 - 2 = 2 new
    EXPECT_EQ(InitializeReadTimeStampedLine(&reader, index), 2);
    EXPECT_EQ(Exported(index), Range(3, 4));
    EXPECT_TRUE(sandbox.LogHas(
        "divers.lib : nb nouvelle lignes=2, dernier ligne lue=1 pour 3008 Ligne(2-3)", "debug"))
        << sandbox.Log();
    EXPECT_FALSE(sandbox.LogHas("divers.lib : context error"));
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
    TimeStampedSource* level = Source(kLevelMemo);
    AddMemo(kLevelMemo, 3);
    ASSERT_EQ(InitializeReadTimeStampedLine(&reader, level), 3);
    const TimeStampedSource before = *level;
    AddMemo(kLevelMemo, 2);
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
    EXPECT_EQ(InitializeReadTimeStampedLine(&reader, Source(kIndexMemo)), -1);
}

// One export run as a module makes it: read the context, read each source, count the run,
// save the context. The sources' results in list order.
std::vector<int> ExportRun(TimeStampedReader& reader, const char* destination) {
    ReadTimestampedChannelContextFile(&reader, destination);
    std::vector<int> results;
    for (LinkedListNode* n = reader.sources->first; n != nullptr; n = n->next) {
        results.push_back(
            InitializeReadTimeStampedLine(&reader, static_cast<TimeStampedSource*>(n->data)));
    }
    reader.sequence += 1;
    WriteTimestampedChannelContextFile(&reader, destination);
    return results;
}

TEST_F(ReadingContext, FirstRunExportsEverythingAndTheNextOnlyWhatIsNew) {
    AddMemo(kLevelMemo, 4);
    server.AppendStation(0x6553F100, 0x1602, 0xFFFFFFFF);
    EXPECT_EQ(ReadTimestampedChannelContextFile(&reader, "stickexport_0123"), 0);
    EXPECT_TRUE(sandbox.LogHas(
        "divers.lib : fichier /var/nonvolatile/stickexport_0123.context impossible a ouvrir : 2",
        "err"));
    EXPECT_EQ(ExportRun(reader, "stickexport_0123"), (std::vector<int>{4, -1, -1, 1}));
    EXPECT_EQ(sandbox.ReadFile("/var/nonvolatile/stickexport_0123.context"),
              "1;0\n"
              "1602;4;6553F104;0;4\n"
              "3008;0;0;0;0\n"
              "3;0;0;0;0\n"
              "1;1;6553F100;1602;FFFFFFFF\n");
    EXPECT_TRUE(sandbox.LogHas(
        "divers.lib : ecriture de /var/nonvolatile/stickexport_0123.context en 0 ms", "debug"));

    // The next run, by a new process: nothing new anywhere, then two more memo lines.
    FreeTimeStampedChannel(&reader);
    InitializeTimeStampedChannel(&reader);
    EXPECT_EQ(ExportRun(reader, "stickexport_0123"), (std::vector<int>{0, -1, -1, 0}));
    EXPECT_TRUE(sandbox.LogHas("divers.lib : seq=1", "debug"));
    EXPECT_TRUE(sandbox.LogHas(
        "divers.lib: info  dans fichier pour 1602=4-1700000004-0000-00000004", "debug"));
    FreeTimeStampedChannel(&reader);
    InitializeTimeStampedChannel(&reader);
    AddMemo(kLevelMemo, 2);
    EXPECT_EQ(ExportRun(reader, "stickexport_0123"), (std::vector<int>{2, -1, -1, 0}));
    EXPECT_EQ(Exported(Source(kLevelMemo)), Range(5, 6));
    EXPECT_EQ(reader.sequence, 3);
    // Another destination has its own context: it gets everything.
    FreeTimeStampedChannel(&reader);
    InitializeTimeStampedChannel(&reader);
    EXPECT_EQ(ExportRun(reader, "stickexport_4567"), (std::vector<int>{6, -1, -1, 1}));
    // A position of 10 or more goes to the file and comes back in hexadecimal.
    for (uint32_t i = 0; i < 11; ++i) {
        server.AppendStation(0x6553F200 + i, 0x1602, i);
    }
    for (const std::vector<int>& expected : {std::vector<int>{0, -1, -1, 11}, {0, -1, -1, 0}}) {
        FreeTimeStampedChannel(&reader);
        InitializeTimeStampedChannel(&reader);
        EXPECT_EQ(ExportRun(reader, "stickexport_4567"), expected);
    }
}

TEST_F(ReadingContext, ContextFileLinesThatDoNotFitAreLeftOut) {
    sandbox.WriteFile("/var/parameters/configuration.xml", "<STATION/>\n");
    struct stat info {};
    ASSERT_EQ(stat(sandbox.Path("/var/parameters/configuration.xml").c_str(), &info), 0);
    const std::string longLine = std::string(110, ' ').append("1;1;1;1;1;1;3008;1;2;0;3\n");
    sandbox.WriteFile("/var/nonvolatile/site.context",
                      "7;5\n"
                      "1602;2;6553F102;0;2\n"
                      "1234;1;1;0;1\n"
                      "3;1\n"
                      "3008;ZZ;1;0;1\n"
                      "3008;-1;1;0;1\n" +
                          longLine + "3\t1:6553F101 102;3\n");
    EXPECT_EQ(ReadTimestampedChannelContextFile(&reader, "site"), 1);
    EXPECT_EQ(reader.sequence, 7);
    EXPECT_TRUE(sandbox.LogHas("divers.lib : date conf=5", "debug"));
    char changed[80];
    std::snprintf(changed, sizeof changed, "divers.lib : conf. modifiee : %d",
                  static_cast<int>(info.st_mtime));
    EXPECT_TRUE(sandbox.LogHas(changed, "debug"));
    EXPECT_EQ(reader.configurationDate, static_cast<uint32_t>(info.st_mtime));
    EXPECT_TRUE(sandbox.LogHas("divers.lib : info orpheline pour 1234", "err"));
    EXPECT_EQ(Source(kLevelMemo)->lastPosition, 2);
    EXPECT_EQ(Source(kLevelMemo)->lastLine.time, 0x6553F102u);
    EXPECT_EQ(Source(kIndexMemo)->lastPosition, 0) << "damaged lines, and the tail of a long one";
    EXPECT_EQ(Source(3)->lastPosition, 1);
    EXPECT_EQ(Source(3)->lastLine.word, 0x102);
    EXPECT_EQ(Source(1)->lastPosition, 0);

    // The sources carry on from their saved positions; the orphan is gone from the next file.
    AddMemo(kLevelMemo, 3);
    EXPECT_EQ(InitializeReadTimeStampedLine(&reader, Source(kLevelMemo)), 1);
    WriteTimestampedChannelContextFile(&reader, "site");
    std::string saved = sandbox.ReadFile("/var/nonvolatile/site.context");
    EXPECT_EQ(saved.find("1234;"), std::string::npos) << saved;
    char first[40];
    std::snprintf(first, sizeof first, "7;%X\n", static_cast<unsigned>(info.st_mtime));
    EXPECT_EQ(saved.rfind(first, 0), 0u) << saved;
}

TEST_F(ReadingContext, ContextFileIsNamedWholeAfterItsDestination) {
    struct Case {
        std::string destination;
        std::string path;
    };
    const std::string longPrefix = "remoteexport_" + std::string(90, 'h') + "user";
    const Case cases[] = {
        {"stickexport_0123", "/var/nonvolatile/stickexport_0123.context"},
        {"remoteexport_ftp.example.org/in",
         "/var/nonvolatile/remoteexport_ftp.example.org_in.context"},
        {longPrefix + "1", "/var/nonvolatile/" + longPrefix + "1.context"},
        {longPrefix + "2", "/var/nonvolatile/" + longPrefix + "2.context"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.destination);
        EXPECT_EQ(TimestampedChannelContextPath(c.destination.c_str()), c.path);
        reader.sequence = static_cast<int>(c.destination.size());
        EXPECT_EQ(WriteTimestampedChannelContextFile(&reader, c.destination.c_str()), 0);
        EXPECT_EQ(
            sandbox.ReadFile(c.path).substr(0, 3),
            (std::ostringstream() << std::hex << std::uppercase << c.destination.size() << ";")
                .str());
    }
}

TEST_F(ReadingContext, ContextThatCannotBeWrittenLeavesTheOldOneWhole) {
    SmallFileSystem small(sandbox, "/var/nonvolatile");
    ASSERT_TRUE(small.Mounted());
    const std::string old = "4;0\n1602;3;6553F103;0;3\n";
    sandbox.WriteFile("/var/nonvolatile/key.context", old);
    small.Fill();
    AddMemo(kLevelMemo, 5);
    ExportRun(reader, "key");
    errno = 0;
    EXPECT_EQ(WriteTimestampedChannelContextFile(&reader, "key"), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(sandbox.ReadFile("/var/nonvolatile/key.context"), old);
    EXPECT_TRUE(
        sandbox.LogHas(
            "divers.lib : erreur ecriture fichier descriptif /var/nonvolatile/key.context : 28",
            "err") ||
        sandbox.LogHas(
            "divers.lib : erreur ouverture fichier descriptif /var/nonvolatile/key.context : 28",
            "err"))
        << sandbox.Log();
    // Nothing is left beside it.
    int entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(sandbox.Path("/var/nonvolatile"))) {
        entries += e.path().filename() != "filler" ? 1 : 0;
    }
    EXPECT_EQ(entries, 1);
}

}  // namespace
