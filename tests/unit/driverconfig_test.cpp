// The driver-configuration reader at its boundary: a configuration file in a private station,
// the driver's handlers, and what comes out (the status file with line numbers and verdict, the
// log, the notice to modmgr).
#include "driverconfig.h"

#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>

#include "logdebug.h"
#include "sandbox.h"
#include "stationcore.h"
#include "xmlattrib.h"

namespace {

constexpr const char* kStatus = "/var/log/testdriver.xml.status";

// What the handlers saw; an element with the attribute Bad is a configuration error.
struct Seen {
    int elements = 0;
    int errorsBeforeVerdict = -1;
    bool addErrorBeforeVerdict = false;
};

void XMLCALL Start(void* data, const XML_Char* name, const XML_Char** attributes) {
    ++static_cast<Seen*>(data)->elements;
    if (const char* bad = XmlAttrFind(attributes, "Bad"); bad != nullptr) {
        XmlErrorRecord("attribut Bad=%s dans %s", bad, name);
    }
}

void XMLCALL End(void*, const XML_Char*) {}

void BeforeVerdict(void* data, int errors) {
    Seen* seen = static_cast<Seen*>(data);
    seen->errorsBeforeVerdict = errors;
    if (seen->addErrorBeforeVerdict) {
        XmlErrorRecord("no active");
    }
}

DriverConfigReader Reader(Seen* seen, const driverconfig::Texts* texts) {
    DriverConfigReader reader;
    reader.driverName = "testdriver";
    reader.start = Start;
    reader.end = End;
    reader.userData = seen;
    reader.texts = texts;
    reader.beforeVerdict = BeforeVerdict;
    return reader;
}

// A document of `lines` lines whose elements on the lines listed carry Bad; `size` (when not 0)
// pads it with a comment to exactly that many bytes.
std::string Document(std::initializer_list<int> bad, int lines, size_t size = 0) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<AUTOMATE>\n";
    for (int line = 3; line < lines; ++line) {
        bool isBad = std::find(bad.begin(), bad.end(), line) != bad.end();
        xml += "  <COM No=\"" + std::to_string(line) + "\"" +
               (isBad ? " Bad=\"x" + std::to_string(line) + "\"" : std::string()) + "/>\n";
    }
    std::string end = "</AUTOMATE>\n";
    if (size > xml.size() + end.size() + 7) {
        xml += "<!--" + std::string(size - xml.size() - end.size() - 8, 'p') + "-->\n";
    }
    return xml + end;
}

size_t DrainNotices() {
    int queue = msgget(corekey::kModmgrQueue, 0);
    if (queue == -1) {
        return 0;
    }
    struct {
        long type;
        unsigned char body[512];
    } notice{};
    size_t count = 0;
    while (msgrcv(queue, &notice, sizeof notice.body, 0, IPC_NOWAIT) >= 0) {
        ++count;
    }
    msgctl(queue, IPC_RMID, nullptr);
    return count;
}

}  // namespace

TEST(DriverConfigRead, StatusFileTellsEachErrorWithItsLineThenTheVerdict) {
    struct Case {
        const char* name;
        std::string xml;
        int errors;
        std::string status;  // "" for "** Mode Normal **\n" alone
    } cases[] = {
        {"clean", Document({}, 40), 0, ""},
        {"errors in the first block and far beyond it", Document({12, 380}, 400), 2,
         "1 : Line 12 \"attribut Bad=x12 dans COM\"\n"
         "2 : Line 380 \"attribut Bad=x380 dans COM\"\n"},
        {"exactly one block", Document({}, 20, driverconfig::kBlockSize), 0, ""},
        {"expat error, the reading stops there",
         "<AUTOMATE>\n<COM No=\"1\">\n<TRAME No=\"7\">\n</COM>\n<COM Bad=\"later\"/>\n", 1,
         "1 : Line 4 \"erreur expat=mismatched tag\"\n"},
        {"empty file", "", 1, "1 : Line 1 \"erreur expat=no element found\"\n"},
    };
    ASSERT_EQ(cases[2].xml.size(), 4096u);
    for (const Case& c : cases) {
        Sandbox box;
        box.WriteFile("/var/run/testdriver.debug", "1\n");
        IsDebug("testdriver");
        box.WriteFile(driverconfig::kConfigurationPath, c.xml);
        box.WriteFile(kStatus, "stale verdict\n");
        Seen seen;
        DriverConfigReader reader = Reader(&seen, &driverconfig::kTextsMeter);
        bool written = false;
        int errors = DriverConfigRead(&reader, &written);
        EXPECT_EQ(errors, c.errors) << c.name;
        EXPECT_TRUE(written) << c.name;
        EXPECT_EQ(seen.errorsBeforeVerdict, errors) << c.name;
        std::string verdict = errors > 0 ? "** Mode Degrade **\n" : "** Mode Normal **\n";
        EXPECT_EQ(box.ReadFile(kStatus), c.status + verdict) << c.name;
        EXPECT_EQ(DrainNotices(), errors > 0 ? 1u : 0u) << c.name;
        EXPECT_TRUE(box.LogHas("debut decodage /var/parameters/configuration.xml", "debug"));
        EXPECT_TRUE(box.LogHas("fin decodage /var/parameters/configuration.xml", "debug"));
    }
}

TEST(DriverConfigRead, FileThatCannotBeReadIsSaidInEachDriversWords) {
    struct Case {
        const char* name;
        const driverconfig::Texts* texts;
        bool directory;  // a directory in the file's place: it opens, but reads fail
        int result;
        const char* logged;  // err
        const char* status;  // nullptr: the status file is not touched
    } cases[] = {
        {"missing, meter texts", &driverconfig::kTextsMeter, false, -1,
         "fichier de configuration /var/parameters/configuration.xml impossible a ouvrir =2",
         nullptr},
        {"missing, PLC texts", &driverconfig::kTextsPlc, false, -1,
         "error in opening of /var/parameters/configuration.xml (configuration file) =2", nullptr},
        {"unreadable", &driverconfig::kTextsMeter, true, 1,
         "erreur lecture /var/parameters/configuration.xml=21",
         "1 : Line 1 \"erreur lecture /var/parameters/configuration.xml=21\"\n"
         "** Mode Degrade **\n"},
    };
    for (const Case& c : cases) {
        Sandbox box;
        if (c.directory) {
            std::filesystem::create_directories(box.Path(driverconfig::kConfigurationPath));
        }
        box.WriteFile(kStatus, "earlier verdict\n");
        Seen seen;
        DriverConfigReader reader = Reader(&seen, c.texts);
        errno = 0;
        EXPECT_EQ(DriverConfigRead(&reader), c.result) << c.name;
        if (c.result == -1) {
            EXPECT_EQ(errno, ENOENT) << c.name;
        }
        EXPECT_TRUE(box.LogHas(c.logged, "err")) << c.name << "\n" << box.Log();
        EXPECT_EQ(box.ReadFile(kStatus), c.status != nullptr ? c.status : "earlier verdict\n")
            << c.name;
        EXPECT_EQ(seen.elements, 0) << c.name;
        DrainNotices();
    }
}

// What the driver finds wrong with the whole (no communication block for it, say) is recorded
// after the element errors and before the verdict.
TEST(DriverConfigRead, DriverChecksTheWholeBeforeTheVerdict) {
    Sandbox box;
    box.WriteFile(driverconfig::kConfigurationPath, Document({5}, 8));
    Seen seen;
    seen.addErrorBeforeVerdict = true;
    DriverConfigReader reader = Reader(&seen, &driverconfig::kTextsPlc);
    EXPECT_EQ(DriverConfigRead(&reader), 2);
    EXPECT_EQ(seen.errorsBeforeVerdict, 1);
    EXPECT_EQ(box.ReadFile(kStatus),
              "1 : Line 5 \"attribut Bad=x5 dans COM\"\n"
              "2 : Line 9 \"no active\"\n"
              "** Mode Degrade **\n");
    EXPECT_EQ(DrainNotices(), 1u);
}

TEST(DriverConfigReadDeathTest, FatalParseErrorLeavesTheVerdictFirst) {
    GTEST_FLAG_SET(death_test_style, "fast");
    Sandbox box;
    box.WriteFile(driverconfig::kConfigurationPath, "<AUTOMATE>\n<COM>\n</AUTOMATE>\n");
    Seen seen;
    DriverConfigReader reader = Reader(&seen, &driverconfig::kTextsPlc);
    reader.parseErrorsFatal = true;
    EXPECT_DEATH(DriverConfigRead(&reader), "");
    EXPECT_EQ(box.ReadFile(kStatus),
              "1 : Line 3 \"expat error=mismatched tag\"\n** Mode Degrade **\n");
    EXPECT_EQ(DrainNotices(), 1u);
}
