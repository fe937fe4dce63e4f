// The degraded-configuration notice as the station sees it: an analysis of a real XML file,
// with the core stand-in playing modmgr and journalling every notice it drains.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "sandbox.h"
#include "stationcore_fixture.h"
#include "xmlattrib.h"

namespace {

// One analysis of `xml` with expat: every element carrying a Bad attribute is an error.
int Analyse(const char* statusPath, const std::string& xml) {
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
    EXPECT_EQ(XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), 1), XML_STATUS_OK);
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
    EXPECT_EQ(Analyse(status, "<CONFIGURATION>\n<BUSBRIDGE Port=\"6\"/>\n</CONFIGURATION>\n"), 0);
    EXPECT_EQ(sandbox.ReadFile(status), "** Mode Normal **\n");
    EXPECT_EQ(Analyse(status,
                      "<CONFIGURATION>\n<BUSBRIDGE Port=\"6\">\n<TRAME Bad=\"1\"/>\n"
                      "<TRAME Bad=\"2\"/>\n</BUSBRIDGE>\n</CONFIGURATION>\n"),
              2);

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
    EXPECT_EQ(sandbox.ReadFile(status),
              "1 : Line 3 \"element TRAME invalide\"\n2 : Line 4 \"element TRAME invalide\"\n"
              "** Mode Degrade **\n");
}
