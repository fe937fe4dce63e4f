// The degraded-configuration notice as the station sees it: an analysis of a configuration file
// on disk, read in blocks with expat the way the drivers read it, with the core stand-in playing
// modmgr and journalling every notice it drains.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "sandbox.h"
#include "stationcore_fixture.h"
#include "xmlattrib.h"

// Its own namespace: the program tests are compiled in batches.
namespace xmlattrib_program_test {

namespace {

constexpr const char* kConfiguration = "/var/parameters/configuration.xml";

// A configuration of `total` lines; the TRAME elements on `badLines` carry a Bad attribute.
std::string ConfigurationWithErrorsAt(const std::vector<int>& badLines, int total) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
        "<CONFIGURATION>\n"
        "  <BUSBRIDGE Port=\"6\" Silence=\"250\">\n";
    for (int line = 4; line < total - 1; ++line) {
        bool bad = std::find(badLines.begin(), badLines.end(), line) != badLines.end();
        xml += "    <TRAME Numero=\"" + std::to_string(line) + "\" Adresses=\"4,5,6\"" +
               (bad ? " Bad=\"oui\"" : "") + "/>\n";
    }
    return xml + "  </BUSBRIDGE>\n</CONFIGURATION>\n";
}

// One analysis of the configuration file: every element carrying a Bad attribute is an error.
int Analyse(const Sandbox& sandbox, const char* statusPath) {
    FILE* file = std::fopen(sandbox.Path(kConfiguration).c_str(), "rb");
    EXPECT_NE(file, nullptr);
    if (file == nullptr) {
        return -1;
    }
    XML_Parser parser = XML_ParserCreate("ISO-8859-1");
    XmlStatusOpen(statusPath, parser);
    XML_SetElementHandler(
        parser,
        [](void*, const XML_Char* element, const XML_Char** attributes) {
            if (XmlAttrFind(attributes, "Bad") != nullptr) {
                XmlErrorRecord("element %s invalide", element);
            }
        },
        [](void*, const XML_Char*) {});
    // Small blocks, so that the second error lies several blocks into the file.
    char block[128];
    for (;;) {
        size_t n = std::fread(block, 1, sizeof block, file);
        bool last = std::feof(file) != 0 || std::ferror(file) != 0;
        EXPECT_EQ(XML_Parse(parser, block, static_cast<int>(n), last), XML_STATUS_OK)
            << XML_ErrorString(XML_GetErrorCode(parser));
        if (last) {
            break;
        }
    }
    std::fclose(file);
    int errors = XmlStatusClose();
    XML_ParserFree(parser);
    return errors;
}

bool IsNotice(const JournalEntry& entry) {
    return entry.queue == 47003;
}

}  // namespace

TEST(XmlStatusProgram, OneNoticeForADegradedConfigurationNoneForACleanOne) {
    Sandbox sandbox;
    StationCore core(sandbox);
    ASSERT_TRUE(core.Ready()) << core.Output();
    const char* status = "/var/log/busbridge.xml.status";

    sandbox.WriteFile(kConfiguration, ConfigurationWithErrorsAt({}, 40));
    EXPECT_EQ(Analyse(sandbox, status), 0);
    EXPECT_EQ(sandbox.ReadFile(status), "** Mode Normal **\n");

    std::string degraded = ConfigurationWithErrorsAt({12, 30}, 40);
    ASSERT_GT(degraded.size(), 3 * 128u);
    sandbox.WriteFile(kConfiguration, degraded);
    EXPECT_EQ(Analyse(sandbox, status), 2);
    EXPECT_EQ(sandbox.ReadFile(status),
              "1 : Line 12 \"element TRAME invalide\"\n"
              "2 : Line 30 \"element TRAME invalide\"\n"
              "** Mode Degrade **\n");
    EXPECT_TRUE(sandbox.LogHas("Parsing Error line 30 :", "err"));

    // The queue is drained in order: once the degraded analysis' notice is journalled, a notice
    // of the clean one would be there too.
    JournalEntry notice = core.WaitFor(IsNotice);
    ASSERT_EQ(notice.kind, "modmgr") << notice.line;
    EXPECT_EQ(notice.type, 1);
    EXPECT_EQ(notice.size, 128);
    EXPECT_EQ(notice.command, 40);
    EXPECT_EQ(notice.msgno, 1);
    EXPECT_EQ(notice.pid, static_cast<int>(getpid() & 0xFFFF));
    EXPECT_EQ(core.Count(IsNotice), 1);
}

}  // namespace xmlattrib_program_test
