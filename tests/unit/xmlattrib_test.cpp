// Driver configuration support: attribute readers, the status file of a real expat analysis,
// and the degraded-mode notice read back from queue 47003 of the test's own IPC namespace.
#include "xmlattrib.h"

#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fakeclock.h"
#include "sandbox.h"
#include "stationcore.h"

namespace {

// Builds an expat-style attribute list: name, value, ..., nullptr.
class Attrs {
  public:
    Attrs(std::initializer_list<std::pair<const char*, const char*>> pairs) {
        for (const auto& [name, value] : pairs) {
            items_.push_back(name);
            items_.push_back(value);
        }
        items_.push_back(nullptr);
    }
    operator XmlAttributes() { return items_.data(); }

  private:
    std::vector<const XML_Char*> items_;
};

struct Notice {
    long type;
    unsigned char body[512];
};

// The notices waiting on queue 47003 (the queue is removed afterwards).
std::vector<std::vector<unsigned char>> DrainNotices(std::vector<long>* types = nullptr) {
    std::vector<std::vector<unsigned char>> notices;
    int queue = msgget(corekey::kModmgrQueue, 0);
    if (queue == -1) {
        return notices;
    }
    Notice notice{};
    for (;;) {
        ssize_t size = msgrcv(queue, &notice, sizeof notice.body, 0, IPC_NOWAIT);
        if (size < 0) {
            break;
        }
        notices.emplace_back(notice.body, notice.body + size);
        if (types != nullptr) {
            types->push_back(notice.type);
        }
    }
    msgctl(queue, IPC_RMID, nullptr);
    return notices;
}

uint32_t BigEndian(const std::vector<unsigned char>& bytes, size_t at, size_t width) {
    uint32_t value = 0;
    for (size_t i = 0; i < width; ++i) {
        value = value << 8 | bytes[at + i];
    }
    return value;
}

// Parses `xml` with expat; every start element whose attribute Bad is present records an error
// naming it, the way the drivers' handlers do.
int Analyse(const std::string& statusPath, const std::string& xml) {
    XML_Parser parser = XML_ParserCreate("ISO-8859-1");
    XmlStatusOpen(statusPath.c_str(), parser);
    XML_SetElementHandler(
        parser,
        [](void*, const XML_Char* element, const XML_Char** attributes) {
            const char* bad = XmlAttrFind(attributes, "Bad");
            if (bad != nullptr) {
                XmlErrorRecord("attribut Bad=%s dans %s", bad, element);
            }
        },
        [](void*, const XML_Char*) {});
    // In blocks, as the drivers read the file.
    for (size_t at = 0; at < xml.size(); at += 64) {
        std::string block = xml.substr(at, 64);
        bool last = at + 64 >= xml.size();
        EXPECT_EQ(XML_Parse(parser, block.data(), static_cast<int>(block.size()), last),
                  XML_STATUS_OK);
    }
    int errors = XmlStatusClose();
    XML_ParserFree(parser);
    return errors;
}

std::string ConfigurationWithErrorsAt(std::vector<int> lines, int total) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<CONFIGURATION>\n";
    for (int line = 3; line < total; ++line) {
        bool bad = std::find(lines.begin(), lines.end(), line) != lines.end();
        xml += bad ? "  <TRAME Numero=\"" + std::to_string(line) + "\" Bad=\"x" +
                         std::to_string(line) + "\"/>\n"
                   : "  <TRAME Numero=\"" + std::to_string(line) + "\"/>\n";
    }
    return xml + "</CONFIGURATION>\n";
}

}  // namespace

TEST(XmlAttr, IntegerReaders) {
    Attrs attributes{
        {"Port", "3x"}, {"Vide", ""}, {"Neg", "-7"}, {"Grand", "99999999999"}, {"Port", "9"}};
    int value = 42;
    EXPECT_EQ(XmlAttrInt(attributes, "Port", &value), 0);
    EXPECT_EQ(value, 3) << "first of two, read as atoi";
    EXPECT_EQ(XmlAttrInt(attributes, "Vide", &value), 0);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(XmlAttrInt(attributes, "Neg", &value), 0);
    EXPECT_EQ(value, -7);
    EXPECT_EQ(XmlAttrInt(attributes, "Grand", &value), 0);
    EXPECT_EQ(value, 2147483647);
    value = 42;
    EXPECT_EQ(XmlAttrInt(attributes, "port", &value), 1) << "names match exactly";
    EXPECT_EQ(value, 42);
    EXPECT_EQ(XmlAttrFind(attributes, "Po"), nullptr);
    EXPECT_EQ(XmlAttrFind(nullptr, "Port"), nullptr);

    struct Case {
        const char* text;  // nullptr: missing
        int expected;
    } bounded[] = {{nullptr, 1}, {"0", 1}, {"31", 1}, {"12", 12}, {"1", 1}, {"30", 30}, {"abc", 1}};
    for (const Case& c : bounded) {
        Attrs one = c.text != nullptr ? Attrs{{"Silence", c.text}} : Attrs{};
        EXPECT_EQ(XmlAttrIntBounded(one, "Silence", 1, 30), c.expected)
            << (c.text ? c.text : "missing");
    }
}

TEST(XmlAttr, BoolTimeAndList) {
    struct BoolCase {
        const char* text;
        int expected;
    } bools[] = {{"TRUE", 1}, {"1", 1}, {"V", 1}, {"true", 0}, {"F", 0}, {"0", 0}, {"", 0}};
    for (const BoolCase& c : bools) {
        Attrs one{{"Actif", c.text}};
        int value = -1;
        EXPECT_EQ(XmlAttrBool(one, "Actif", &value), 0);
        EXPECT_EQ(value, c.expected) << c.text;
    }
    int untouched = 5;
    EXPECT_EQ(XmlAttrBool(Attrs{}, "Actif", &untouched), 1);
    EXPECT_EQ(untouched, 5);

    struct TimeCase {
        const char* text;  // nullptr: missing
        int result;
        int seconds;
    } times[] = {{"1:02:03", 0, 3723}, {"90", 0, 90},   {"0:00:00", 0, 0},     {"1:30", 1, 0},
                 {"", 1, 0},           {nullptr, 1, 0}, {"24:00:01", 0, 86401}};
    for (const TimeCase& c : times) {
        Attrs one = c.text != nullptr ? Attrs{{"Periode", c.text}} : Attrs{};
        int seconds = 77;
        EXPECT_EQ(XmlAttrTime(one, "Periode", &seconds), c.result) << (c.text ? c.text : "-");
        EXPECT_EQ(seconds, c.seconds) << (c.text ? c.text : "-");
    }

    struct ListCase {
        const char* text;  // nullptr: missing
        int maximum;
        std::vector<int> stored;
    } lists[] = {
        {"4,5,6,7", 3, {4, 5, 6}},
        {"4,5,6,7", 8, {4, 5, 6, 7}},
        {"12", 3, {12}},
        {"1,,2,", 5, {1, 2}},
        {"", 3, {}},
        {nullptr, 3, {}},
        {"4,5", 0, {}},
    };
    for (const ListCase& c : lists) {
        Attrs one = c.text != nullptr ? Attrs{{"Adresses", c.text}} : Attrs{};
        int values[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
        int count = XmlAttrIntList(one, "Adresses", values, c.maximum);
        EXPECT_EQ(std::vector<int>(values, values + count), c.stored) << (c.text ? c.text : "-");
        EXPECT_EQ(values[count], -1) << "nothing written beyond the values stored";
    }
}

TEST(XmlAttr, PercentAndFloatSayWhyTheyRefuse) {
    Sandbox box;
    struct Case {
        const char* text;
        int percentResult;
        float percent;
        const char* percentLog;
        int floatResult;
        const char* floatLog;
    } cases[] = {
        {"12.5%", 0, 12.5f, nullptr, 0, nullptr},
        {"100", 0, 100.0f, nullptr, 0, nullptr},
        {"0 %", 0, 0.0f, nullptr, 0, nullptr},
        {"", 1, 0, "divers.lib : pas de symbole pourcentage dans  pour la clef Seuil", 1,
         "divers.lib : pas de symbole pourcentage dans  pour la clef Seuil"},
        {"abc%", 1, 0, "divers.lib : pas de valeur flottante codee dans abc% pour la clef Seuil", 1,
         "divers.lib : pas de valeur flottante dans abc% pour la clef Seuil"},
        {"100.5%", 1, 0,
         "divers.lib : valeur du pourcentage hors echelle 100.500000 pour la clef Seuil", 0,
         nullptr},
        {"-1%", 1, 0,
         "divers.lib : valeur du pourcentage hors echelle -1.000000 pour la clef Seuil", 0,
         nullptr},
        {"nan", 1, 0, "divers.lib : valeur du pourcentage hors echelle nan pour la clef Seuil", 1,
         "divers.lib : pas de valeur flottante dans nan pour la clef Seuil"},
    };
    for (const Case& c : cases) {
        Attrs one{{"Seuil", c.text}};
        unlink(box.Path("/var/log/messages").c_str());
        float percent = -3.0f;
        EXPECT_EQ(XmlAttrPercent(one, "Seuil", &percent), c.percentResult) << c.text;
        EXPECT_EQ(percent, c.percentResult == 0 ? c.percent : -3.0f) << c.text;
        if (c.percentLog != nullptr) {
            EXPECT_TRUE(box.LogHas(c.percentLog, "err")) << c.text << "\n" << box.Log();
        }
        float value = -3.0f;
        EXPECT_EQ(XmlAttrFloat(one, "Seuil", &value), c.floatResult) << c.text;
        if (c.floatLog != nullptr) {
            EXPECT_TRUE(box.LogHas(c.floatLog, "err")) << c.text << "\n" << box.Log();
            EXPECT_EQ(value, -3.0f);
        }
        if (c.percentLog == nullptr && c.floatLog == nullptr) {
            EXPECT_EQ(box.Log(), "") << c.text;
        }
    }
    float value = 1.0f;
    EXPECT_EQ(XmlAttrPercent(Attrs{}, "Seuil", &value), 1);
    EXPECT_EQ(XmlAttrFloat(Attrs{}, "Seuil", &value), 1);
    double real = 0;
    EXPECT_EQ(XmlAttrDouble(Attrs{{"Echelle", "2.5e3"}}, "Echelle", &real), 0);
    EXPECT_EQ(real, 2500.0);
    EXPECT_EQ(XmlAttrDouble(Attrs{}, "Echelle", &real), 1);
}

TEST(XmlStatus, ErrorsOnTheirLinesThenDegradedAndModmgrIsTold) {
    Sandbox box;
    char path[64];
    XmlStatusFileName(path, sizeof path, "busbridge");
    ASSERT_STREQ(path, "/var/log/busbridge.xml.status");
    box.WriteFile(path, "stale verdict of an earlier analysis\n");

    mode_t umaskBefore = umask(077);
    EXPECT_EQ(Analyse(path, ConfigurationWithErrorsAt({12, 30}, 40)), 2);
    umask(umaskBefore);
    EXPECT_EQ(box.ReadFile(path),
              "1 : Line 12 \"attribut Bad=x12 dans TRAME\"\n"
              "2 : Line 30 \"attribut Bad=x30 dans TRAME\"\n"
              "** Mode Degrade **\n");
    struct stat info {};
    ASSERT_EQ(stat(box.Path(path).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0704u)
        << "rwx for the owner, read for others, whatever the umask";
    EXPECT_TRUE(box.LogHas("Parsing Error line 12 :", "err"));
    EXPECT_TRUE(box.LogHas("attribut Bad=x30 dans TRAME", "err"));
    EXPECT_TRUE(box.LogHas("Sending error to modmgr", "err"));

    std::vector<long> types;
    std::vector<std::vector<unsigned char>> notices = DrainNotices(&types);
    ASSERT_EQ(notices.size(), 1u);
    const std::vector<unsigned char>& body = notices[0];
    ASSERT_EQ(body.size(), 128u);
    EXPECT_EQ(types[0], 1);
    EXPECT_EQ(BigEndian(body, 0, 4), 0xA55A5904u);
    EXPECT_EQ(BigEndian(body, 4, 2), 1u);
    EXPECT_EQ(BigEndian(body, 6, 2), static_cast<uint32_t>(getpid()) & 0xFFFF);
    EXPECT_NEAR(static_cast<double>(BigEndian(body, 8, 4)), static_cast<double>(time(nullptr)), 5);
    EXPECT_LT(BigEndian(body, 12, 4), 1000000u);
    EXPECT_EQ(body[16], 40);
    EXPECT_EQ(std::vector<unsigned char>(body.begin() + 17, body.end()),
              std::vector<unsigned char>(128 - 17, 0));

    // The count starts again with the next analysis.
    EXPECT_EQ(Analyse(path, ConfigurationWithErrorsAt({5}, 8)), 1);
    EXPECT_EQ(box.ReadFile(path),
              "1 : Line 5 \"attribut Bad=x5 dans TRAME\"\n** Mode Degrade **\n");
    EXPECT_EQ(DrainNotices().size(), 1u);
}

TEST(XmlStatus, CleanConfigurationIsNormalAndSilent) {
    Sandbox box;
    EXPECT_EQ(Analyse("/var/log/meterlink.xml.status", ConfigurationWithErrorsAt({}, 20)), 0);
    EXPECT_EQ(box.ReadFile("/var/log/meterlink.xml.status"), "** Mode Normal **\n");
    EXPECT_EQ(DrainNotices().size(), 0u);
    EXPECT_FALSE(box.LogHas("Sending error to modmgr"));
}

TEST(XmlStatus, WithoutStatusFileTheAnalysisGoesOn) {
    Sandbox box;
    EXPECT_EQ(Analyse("/var/nothere/plcbridge.xml.status", ConfigurationWithErrorsAt({4}, 6)), 1);
    EXPECT_TRUE(
        box.LogHas("XmlErreur: unable to open /var/nothere/plcbridge.xml.status : 2", "err"));
    EXPECT_TRUE(box.LogHas("Parsing Error line 4 :", "err"));
    EXPECT_EQ(DrainNotices().size(), 1u);
}

// A full file system is reported where it is met: when the file system is full at the start,
// XmlStatusOpen fails; when it fills up during the analysis, XmlStatusClose does not claim the
// verdict was written, and no file without a verdict is left. modmgr is told all the same.
TEST(XmlStatus, FullFileSystemIsReportedAndLeavesNoFileWithoutVerdict) {
    const char* path = "/var/small/busbridge.xml.status";
    const std::string full = std::to_string(ENOSPC);
    struct Case {
        const char* name;
        bool fullBeforeOpen;
        int errors;
        int open;   // XmlStatusOpen
        int close;  // XmlStatusClose
        bool kept;  // the status file is there, whole
        const char* logged;
    } cases[] = {
        {"full before the analysis", true, 1, -1, 1, false, "XmlErreur: unable to open "},
        {"full during, room kept for the verdict", false, 3, 0, 3, true, nullptr},
        {"full during, more lines than the room kept", false, 40, 0, -1, false,
         "XmlErreur: unable to write "},
    };
    for (const Case& c : cases) {
        Sandbox box;
        SmallFileSystem small(box, "/var/small");
        ASSERT_TRUE(small.Mounted());
        if (c.fullBeforeOpen) {
            small.Fill();
        }
        EXPECT_EQ(XmlStatusOpen(path, nullptr), c.open) << c.name;
        small.Fill();
        for (int i = 1; i <= c.errors; ++i) {
            XmlErrorRecord("trame %d : %s", i, std::string(150, 'x').c_str());
        }
        errno = 0;
        EXPECT_EQ(XmlStatusClose(), c.close) << c.name;
        if (c.close == -1) {
            EXPECT_EQ(errno, ENOSPC) << c.name;
        }
        EXPECT_EQ(box.Exists(path), c.kept) << c.name;
        if (c.kept) {
            std::string status = box.ReadFile(path);
            EXPECT_EQ(std::count(status.begin(), status.end(), '\n'), c.errors + 1) << c.name;
            EXPECT_EQ(status.substr(status.size() - 19), "** Mode Degrade **\n") << c.name;
        }
        if (c.logged != nullptr) {
            std::string text = c.logged + std::string(path) + " : " + full;
            EXPECT_TRUE(box.LogHas(text, "err")) << c.name << "\n" << box.Log();
        }
        std::vector<std::string> lines = box.LogLines();
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& line) {
                                    return line.find("XmlErreur") != std::string::npos;
                                }),
                  c.logged != nullptr ? 1 : 0)
            << c.name << ": once, not once a line";
        EXPECT_EQ(DrainNotices().size(), 1u) << c.name;
    }
}

TEST(XmlStatus, LongMessagesAreCut) {
    Sandbox box;
    XmlStatusOpen("/var/log/gaugereader.xml.status", nullptr);
    std::string longText(300, 'L');
    XmlErrorRecord("%s", longText.c_str());
    XmlStatusClose();
    DrainNotices();
    EXPECT_EQ(box.ReadFile("/var/log/gaugereader.xml.status"),
              "1 : Line 0 \"" + std::string(127, 'L') + "\"\n** Mode Degrade **\n");
}

TEST(XmlStatusDeathTest, FatalErrorLeavesTheVerdictAndTellsModmgr) {
    GTEST_FLAG_SET(death_test_style, "fast");
    Sandbox box;
    DrainNotices();
    XML_Parser parser = XML_ParserCreate("ISO-8859-1");
    std::string xml = "<A>\n<B/>\n";
    ASSERT_EQ(XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), 0), XML_STATUS_OK);
    EXPECT_DEATH(
        {
            XmlStatusOpen("/var/log/busbridge.xml.status", parser);
            XmlErrorFatal("trop de trames (%d)", 65);
        },
        "");
    XML_ParserFree(parser);
    EXPECT_EQ(box.ReadFile("/var/log/busbridge.xml.status"),
              "1 : Line 3 \"trop de trames (65)\"\n** Mode Degrade **\n");
    EXPECT_EQ(DrainNotices().size(), 1u);
}

TEST(NotifyDegradedMode, FullQueueIsWaitedForButNotForEver) {
    Sandbox box;
    FakeClock clock;
    int queue = msgget(corekey::kModmgrQueue, IPC_CREAT | 0777);
    ASSERT_NE(queue, -1);
    struct {
        long type;
        char body[1024];
    } filler{};
    filler.type = 9;
    while (msgsnd(queue, &filler, sizeof filler.body, IPC_NOWAIT) == 0) {
    }
    NotifyDegradedMode();
    EXPECT_EQ(clock.Sleeps(), 49);
    EXPECT_EQ(clock.ElapsedMs(), 4900);
    EXPECT_TRUE(
        box.LogHas("Error sending error to modmgr : Resource temporarily unavailable", "err"));
    msgctl(queue, IPC_RMID, nullptr);
}
