// Operators: look-ups in the operator file (skipped lines still counted, faulty lines passed
// over with their reasons), rights and modes, the built-in maintenance login and its switch-off
// marker, and appending operators without ever leaving half a line. No password reaches the log.
#include "operators.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "integrity.h"
#include "sandbox.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kFile = "/tmp/utilvelun.txt";
constexpr const char* kPrefix = STATION_MAINTENANCE_PREFIX;

std::string Md5Of(const std::string& text) {
    char digest[33];
    Md5Hex(text.data(), text.size(), digest);
    return digest;
}

class Operators : public ::testing::Test {
  protected:
    void SetUp() override {
        SetSerial(0x1234AB);
        std::string lines[] = {
            "alice;Alice Martin;0003;" + Md5Of("alice-pw"),                // 1
            "#;a comment",                                                 // 2
            "!;switched off;001F;" + Md5Of("off-pw"),                      // 3
            "bob;Bob Durand;001F;" + Md5Of("bob-pw"),                      // 4
            "carol;Carol",                                                 // 5
            "dave;Dave;0007;abc",                                          // 6
            "dave;Dave Again;0007;" + Md5Of("dave-pw"),                    // 7
            "no separator here",                                           // 8
            "erin;;0007;" + Md5Of("erin-pw"),                              // 9
            "frank;Frank;zz;" + Md5Of("frank-pw"),                         // 10
            "gina;Gina;0007",                                              // 11
            "hank;Hank;000F;" + Md5Of("hank-pw") + "\r",                   // 12
            "ivan;" + std::string(50, 'I') + ";0007;" + Md5Of("ivan-pw"),  // 13, cut at 78
            "judy;Judy;0003;" + Md5Of("judy-pw"),                          // 14
        };
        std::string text;
        for (const std::string& line : lines) {
            text += line + "\n";
        }
        box.WriteFile(kFile, text);
    }
    void SetSerial(int serial) {
        box.WriteFile("/tmp/orxapp.ini", "[IDENT]\nBOARD_SERIAL=" + std::to_string(serial) + "\n");
    }
    // No log line holds any of the passwords used here.
    void ExpectNoPasswordLogged() {
        for (const std::string& line : box.LogLines()) {
            EXPECT_EQ(line.find("-pw"), std::string::npos) << line;
            EXPECT_EQ(line.find(std::string(kPrefix) + "1234"), std::string::npos) << line;
            // nor their digests, as good as the passwords to whoever reads the log
            EXPECT_EQ(line.find(Md5Of("bob-pw")), std::string::npos) << line;
            EXPECT_EQ(line.find(Md5Of("kate-pw")), std::string::npos) << line;
        }
    }

    Sandbox box;
};

}  // namespace

TEST_F(Operators, RightsOfALoginAndWhyARefusalHappened) {
    const struct {
        const char* login;
        const char* password;
        int rights;
        const char* logged;  // nullptr: nothing in particular
    } cases[] = {
        {"alice", "alice-pw", 0x0003, nullptr},
        {"alice", "bob-pw", 0, "divers.lib : mot de passe incorrect pour utilisateur alice"},
        {"bob", "bob-pw", 0x001F,
         "divers.lib : information dans /tmp/utilvelun.txt trouvee a la "
         "ligne 4"},
        {"!", "off-pw", 0, "divers.lib : Utilisateur ! n'existe pas"},
        {"carol", "x", 0, "divers.lib : /tmp/utilvelun.txt ligne 5 : pas de champs droit"},
        {"dave", "dave-pw", 0x0007,
         "divers.lib : /tmp/utilvelun.txt ligne 6 : erreur sur le mot "
         "de passe"},
        {"erin", "erin-pw", 0, "divers.lib : /tmp/utilvelun.txt ligne 9 : pas de champs nom"},
        {"frank", "frank-pw", 0, "divers.lib : /tmp/utilvelun.txt ligne 10 : pas de champs droit"},
        {"gina", "x", 0, "divers.lib : /tmp/utilvelun.txt ligne 11 : pas de champs mot de passe"},
        {"hank", "hank-pw", 0x000F, nullptr},
        {"ivan", "ivan-pw", 0,
         "divers.lib : /tmp/utilvelun.txt ligne 13 : erreur sur le mot de "
         "passe"},
        {"judy", "judy-pw", 0x0003,
         "divers.lib : information dans /tmp/utilvelun.txt trouvee a la "
         "ligne 14"},
        {"zoe", "x", 0, "divers.lib : Utilisateur zoe n'existe pas"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(GetVelunUserRights(c.login, c.password), c.rights) << c.login;
        if (c.logged != nullptr) {
            EXPECT_TRUE(box.LogHas(c.logged)) << c.login << "\n" << box.Log();
        }
    }
    EXPECT_EQ(GetModeVelunUser(GetVelunUserRights("bob", "bob-pw")), 2);
    EXPECT_EQ(IsUserVelunReadRight("alice", "alice-pw"), 1);
    EXPECT_EQ(IsUserVelunWriteRight("alice", "alice-pw"), 0);
    EXPECT_EQ(IsUserVelunWriteRight("dave", "dave-pw"), 1);
    EXPECT_EQ(IsUserVelunParamRight("dave", "dave-pw"), 0);
    EXPECT_EQ(IsUserVelunParamRight("hank", "hank-pw"), 1);
    EXPECT_EQ(IsUserVelunDiagnosticRight("hank", "hank-pw"), 0);
    EXPECT_EQ(IsUserVelunDiagnosticRight("bob", "bob-pw"), 1);
    EXPECT_EQ(IsUserVelunDiagnosticRight("bob", "alice-pw"), 0);
    ExpectNoPasswordLogged();
}

TEST_F(Operators, NumbersNamesAndLoginsCountEveryLine) {
    const struct {
        const char* login;
        int number;
        const char* name;
    } byLogin[] = {
        {"korvi", 1, "maintenance"}, {"alice", 1, "Alice Martin"},
        {"bob", 4, "Bob Durand"},    {"dave", 6, "Dave"},  // the digest is not wanted here
        {"judy", 14, "Judy"},        {"carol", 0, "Unknow"},
        {"zoe", 0, "Unknow"},        {"#", 0, "Unknow"},
    };
    for (const auto& c : byLogin) {
        EXPECT_EQ(GetUserVelunId(c.login), c.number) << c.login;
        EXPECT_STREQ(GetUserVelunName(c.login), c.name) << c.login;
    }
    const struct {
        int number;
        const char* login;
        const char* logged;
    } byNumber[] = {
        {1, "korvi", nullptr},
        {4, "bob", nullptr},
        {5, "carol", nullptr},
        {14, "judy", nullptr},
        {2, "Unknow", "divers.lib : pas de login pour utilisateur 2"},
        {8, "Unknow", "divers.lib : pas de login valide pour utilisateur 8"},
        {99, "Unknow", "divers.lib : pas de login pour utilisateur 99"},
        {0, "Unknow", "divers.lib : pas de login pour utilisateur 0"},
    };
    for (const auto& c : byNumber) {
        EXPECT_STREQ(GetUserVelunLogin(c.number), c.login) << c.number;
        if (c.logged != nullptr) {
            EXPECT_TRUE(box.LogHas(c.logged, "err")) << c.number << "\n" << box.Log();
        }
    }

    fs::remove(box.Path(kFile));
    EXPECT_EQ(GetUserVelunId("bob"), 0);
    EXPECT_TRUE(box.LogHas("divers.lib : fichier /tmp/utilvelun.txt impossible a ouvrir", "err"));
}

TEST_F(Operators, UserFoundByPasswordAlone) {
    const struct {
        const char* password;
        int rights;
        int number;
    } cases[] = {
        {"bob-pw", 0x001F, 4},   {"dave-pw", 0x0007, 7},
        {"judy-pw", 0x0003, 14}, {"off-pw", 0, -1},  // a switched-off line is no operator
        {"nobody", 0, -1},
    };
    for (const auto& c : cases) {
        int number = 12345;
        EXPECT_EQ(GetUserWithPwd(c.password, &number), c.rights) << c.password;
        EXPECT_EQ(number, c.number) << c.password;
    }
    EXPECT_TRUE(box.LogHas("divers.lib : mot de passe incorrect pour utilisateur 1", "err"));
    ExpectNoPasswordLogged();
}

TEST(OperatorModes, FromTheRightsWord) {
    const struct {
        int rights;
        int mode;
    } cases[] = {
        {0x0000, -1}, {0x0008, -1}, {0x0001, 0}, {0x0003, 0}, {0x0004, 1},
        {0x0007, 1},  {0x000C, 2},  {0x000F, 2}, {0x001F, 2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(GetModeVelunUser(c.rights), c.mode) << c.rights;
    }
    EXPECT_EQ(GetModeVelunUser(SetConsultationMode()), 0);
    EXPECT_EQ(GetModeVelunUser(SetCommandMode()), 1);
    EXPECT_EQ(GetModeVelunUser(SetDiagnosticMode()), 2);
}

TEST_F(Operators, MaintenanceLoginFromTheSerialNumberUnlessSwitchedOff) {
    std::string password = std::string(kPrefix) + "1234AB";
    EXPECT_EQ(GetVelunUserRights("korvi", password.c_str()), 0x001F);
    EXPECT_EQ(GetVelunUserRights("korvi", "wrong-pw"), 0);
    EXPECT_TRUE(box.LogHas("divers.lib : acces superutilisateur avec mot de passe invalide", "err"))
        << box.Log();
    EXPECT_TRUE(box.LogHas("divers.lib : acces superutilisateur", "debug"));
    EXPECT_EQ(GetVelunUserRights("korvi", (password + "0").c_str()), 0);
    EXPECT_EQ(GetVelunUserRights("korvi", password.substr(0, 8).c_str()), 0);

    EXPECT_EQ(IsUserByDefectInhibed(), 0);
    EXPECT_EQ(InhibeUserByDefect(1), 0);
    EXPECT_EQ(box.ReadFile("/var/parameters/001234AB"), "1");
    EXPECT_EQ(IsUserByDefectInhibed(), 1);
    EXPECT_EQ(GetVelunUserRights("korvi", password.c_str()), 0);
    EXPECT_TRUE(box.LogHas("divers.lib : acces superutilisateur inhibee", "err"));
    EXPECT_TRUE(box.LogHas("creation /var/parameters/001234AB"));

    EXPECT_EQ(InhibeUserByDefect(0), 0);
    EXPECT_FALSE(box.Exists("/var/parameters/001234AB"));
    EXPECT_TRUE(box.LogHas("destruction /var/parameters/001234AB"));
    EXPECT_EQ(GetVelunUserRights("korvi", password.c_str()), 0x001F);

    // A marker that cannot be made or removed is reported, not taken for done.
    fs::create_directories(box.Path("/var/parameters/001234AB/held"));
    EXPECT_EQ(InhibeUserByDefect(0), -1);
    EXPECT_TRUE(
        box.LogHas("erreur destruction fichier inhibition(/var/parameters/001234AB)=21", "err"))
        << box.Log();
    fs::remove_all(box.Path("/var/parameters"));
    EXPECT_EQ(InhibeUserByDefect(1), -1);
    EXPECT_TRUE(box.LogHas("erreur creation fichier inhibition(/var/parameters/001234AB)=2", "err"))
        << box.Log();

    // At least four digits.
    SetSerial(42);
    EXPECT_EQ(GetVelunUserRights("korvi", (std::string(kPrefix) + "002A").c_str()), 0x001F);
    // A board without a serial number has no built-in login (it would be the same everywhere).
    for (const char* ini : {"[IDENT]\nBOARD_SERIAL=0\n", "[IDENT]\n"}) {
        box.WriteFile("/tmp/orxapp.ini", ini);
        EXPECT_EQ(GetVelunUserRights("korvi", (std::string(kPrefix) + "0000").c_str()), 0) << ini;
        EXPECT_EQ(VelunUserDefaultAdd(), 1) << ini;
    }
    EXPECT_TRUE(
        box.LogHas("divers.lib : acces superutilisateur refuse, pas de numero de serie", "err"));
    EXPECT_TRUE(
        box.LogHas("divers.lib : utilisateur korvi non enregistre, pas de numero de serie", "err"));
    for (const std::string& line : box.LogLines()) {
        EXPECT_EQ(line.find("wrong-pw"), std::string::npos) << line;
    }
}

TEST_F(Operators, AddedOperatorsAreFoundAgain) {
    fs::remove(box.Path(kFile));
    EXPECT_EQ(VelunUserAdd("kate", "Kate Blanc", 0x0007, "kate-pw"), 0);
    EXPECT_EQ(VelunUserAdd("leo", "Leo", 0x10003, "leo-pw"), 0);
    EXPECT_EQ(box.ReadFile(kFile), "kate;Kate Blanc;0007;" + Md5Of("kate-pw") + "\nleo;Leo;0003;" +
                                       Md5Of("leo-pw") + "\n");
    struct stat info {};
    ASSERT_EQ(stat(box.Path(kFile).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600U) << "password digests are for the station alone";
    EXPECT_EQ(GetVelunUserRights("kate", "kate-pw"), 0x0007);
    EXPECT_EQ(GetUserVelunId("leo"), 2);
    EXPECT_TRUE(
        box.LogHas("divers.lib : enregistrement utilisateur kate avec droit 0007", "debug"));

    EXPECT_EQ(VelunUserDefaultAdd(), 0);
    EXPECT_EQ(GetUserVelunLogin(3), std::string("korvi"));
    std::string lines = box.ReadFile(kFile);
    // The last four of the serial number's eight digits.
    EXPECT_EQ(lines.substr(lines.rfind("korvi")),
              "korvi;maintenance;001F;" + Md5Of(std::string(kPrefix) + "34AB") + "\n");
    ExpectNoPasswordLogged();
}

TEST_F(Operators, LinesThatWouldBreakTheFileAreRefused) {
    std::string before = box.ReadFile(kFile);
    std::string longName(60, 'P');
    const struct {
        const char* login;
        const char* name;
        const char* logged;
    } cases[] = {
        {"a;b", "A", "a;b"},    {"mike", "Mike\nnancy;N;001F;x", "mike"},
        {"\nforged", "F", ""},  {"", "Empty", ""},
        {"#", "Comment", "#"},  {"!", "Off", "!"},
        {"oscar", "", "oscar"}, {"paul", longName.c_str(), "paul"},  // longer than a reader takes
    };
    for (const auto& c : cases) {
        EXPECT_EQ(VelunUserAdd(c.login, c.name, 0x0007, "x-pw"), 1) << c.login;
        EXPECT_TRUE(box.LogHas(std::string("divers.lib : erreur lors de l'ecriture de "
                                           "l'utilisateur ") +
                                   c.logged + " dans /tmp/utilvelun.txt",
                               "err"))
            << c.login << "\n"
            << box.Log();
    }
    EXPECT_EQ(VelunUserAdd(nullptr, "N", 1, "x"), 1);
    EXPECT_EQ(box.ReadFile(kFile), before);
}

TEST_F(Operators, FullFileSystemLeavesNoHalfLine) {
    SmallFileSystem small(box, "/tmp");
    ASSERT_TRUE(small.Mounted());
    // The new line would start in the file's last page and end in a page there is no room for.
    std::string before;
    while (before.size() < 4066) {
        before += "#;" + std::string(std::min<size_t>(60, 4066 - before.size() - 3), 'c') + "\n";
    }
    ASSERT_EQ(before.size(), 4066U);
    box.WriteFile(kFile, before);
    small.Fill();
    EXPECT_EQ(VelunUserAdd("kate", "Kate Blanc", 0x0007, "kate-pw"), 1);
    EXPECT_EQ(box.ReadFile(kFile), before);
    EXPECT_TRUE(box.LogHas(
        "divers.lib : erreur lors de l'ecriture de l'utilisateur kate dans /tmp/utilvelun.txt",
        "err"));
}

TEST_F(Operators, EraseAllRemovesTheFile) {
    EXPECT_EQ(VelunUserEraseAll(), 0);
    EXPECT_FALSE(box.Exists(kFile));
    EXPECT_TRUE(box.LogHas("divers.lib : effacement fichier utilisateur velun /tmp/utilvelun.txt",
                           "debug"));
    EXPECT_EQ(VelunUserEraseAll(), 0);
    EXPECT_EQ(GetVelunUserRights("bob", "bob-pw"), 0);
}
