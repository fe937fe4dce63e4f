// Configuration integrity: MD5 against the RFC 1321 vectors, the digest file beside the
// configuration, its replacement from a temporary copy with the backup put back on any failure
// (a full file system included), and temporary files that no one else can take.
#include "integrity.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "sandbox.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kConfiguration = "/var/parameters/configuration.xml";
constexpr const char* kDigest = "/var/parameters/configuration.xml.md5";
constexpr const char* kBackup = "/var/parameters/configuration.xml.bak";

struct Freed {
    void operator()(char* text) const { std::free(text); }
};
using Text = std::unique_ptr<char, Freed>;

mode_t ModeOf(const std::string& hostPath) {
    struct stat info {};
    return stat(hostPath.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

std::string Md5Of(const std::string& bytes) {
    char digest[33];
    Md5Hex(bytes.data(), bytes.size(), digest);
    return digest;
}

// A text of `size` bytes that is not the same in every block.
std::string Contents(size_t size, char seed) {
    std::string text(size, ' ');
    for (size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>('a' + (seed + i * 7) % 26);
    }
    return text;
}

}  // namespace

TEST(Md5, GivesTheDigestsOfRfc1321) {
    const struct {
        const char* text;
        const char* digest;
    } vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    Sandbox box;
    for (const auto& v : vectors) {
        EXPECT_STREQ(GetMD5(v.text), v.digest) << v.text;
        box.WriteFile("/tmp/vector", v.text);
        Text fromFile(MDFile("/tmp/vector"));
        ASSERT_NE(fromFile, nullptr);
        EXPECT_STREQ(fromFile.get(), v.digest) << v.text;
    }
    // A file read in several blocks and a last partial one gives the digest of its bytes.
    std::string large = Contents(5000, 3);
    box.WriteFile("/tmp/large", large);
    Text fromFile(MDFile("/tmp/large"));
    ASSERT_NE(fromFile, nullptr);
    EXPECT_EQ(fromFile.get(), Md5Of(large));
    EXPECT_EQ(MDFile("/tmp/absent"), nullptr);
}

TEST(Configuration, DateSizeAndDigestOfTheFile) {
    Sandbox box;
    box.WriteFile(kConfiguration, "<configuration/>\n");
    struct stat info {};
    ASSERT_EQ(stat(box.Path(kConfiguration).c_str(), &info), 0);
    EXPECT_EQ(GetConfigurationDate(), static_cast<uint32_t>(info.st_mtime));
    EXPECT_EQ(GetSizeConfiguration(), 17);
    ASSERT_NE(GetConfigurationMD5(), nullptr);
    EXPECT_EQ(GetConfigurationMD5(), Md5Of("<configuration/>\n"));
    EXPECT_STREQ(GetConfigurationName(), kConfiguration);
    EXPECT_STREQ(GetModelConfigurationName(), "/var/parameters/configuration.fcm");

    fs::remove(box.Path(kConfiguration));
    EXPECT_EQ(GetConfigurationDate(), 0U);
    EXPECT_EQ(GetSizeConfiguration(), 0);
    EXPECT_EQ(GetConfigurationMD5(), nullptr);
    EXPECT_EQ(WriteConfigurationMD5(), 1);
    EXPECT_FALSE(box.Exists(kDigest));
    const char* texts[] = {
        "divers.lib : erreur de lecture de la date du fichier de configuration "
        "/var/parameters/configuration.xml",
        "divers.lib : erreur de lecture de la taille du fichier de configuration "
        "/var/parameters/configuration.xml",
        "divers.lib : erreur lors du calcul MD5 du fichier de parametre "
        "/var/parameters/configuration.xml",
    };
    for (const char* text : texts) {
        EXPECT_TRUE(box.LogHas(text, "err")) << text << "\n" << box.Log();
    }
}

TEST(Configuration, DigestFileHoldsExactlyTheDigest) {
    Sandbox box;
    box.WriteFile(kConfiguration, "<configuration version=\"1\"/>");
    ASSERT_EQ(WriteConfigurationMD5(), 0);
    std::string digest = Md5Of("<configuration version=\"1\"/>");
    EXPECT_EQ(box.ReadFile(kDigest), digest);  // 32 characters, no line end
    EXPECT_EQ(VerifyConfigurationMD5(), 0);

    std::string upper = digest;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const struct {
        const char* what;
        std::string contents;  // of the digest file; "-" for none
    } cases[] = {
        {"31 characters", digest.substr(0, 31)},
        {"a line end after it", digest + "\n"},
        {"upper case", upper},
        {"another digest", Md5Of("other")},
        {"empty", ""},
        {"no file", "-"},
    };
    for (const auto& c : cases) {
        fs::remove(box.Path(kDigest));
        if (c.contents != "-") {
            box.WriteFile(kDigest, c.contents);
        }
        EXPECT_EQ(VerifyConfigurationMD5(), 1) << c.what;
    }
    box.WriteFile(kDigest, digest);
    box.WriteFile(kConfiguration, "<configuration version=\"2\"/>");
    EXPECT_EQ(VerifyConfigurationMD5(), 1) << "configuration changed";

    // The digest file cannot be replaced: reported, and the one there is left.
    fs::remove(box.Path(kDigest));
    fs::create_directories(box.Path(kDigest));
    EXPECT_EQ(WriteConfigurationMD5(), 1);
    EXPECT_TRUE(box.LogHas(
        "divers.lib : erreur d'ouverture du fichier/var/parameters/configuration.xml.md5=21",
        "err"))
        << box.Log();
}

class Refresh : public ::testing::Test {
  protected:
    void SetUp() override {
        box.WriteFile(kConfiguration, old);
        ASSERT_EQ(WriteConfigurationMD5(), 0);
    }
    // The previous configuration is there under its name, its digest verifies, no backup.
    void ExpectPreviousKept() {
        EXPECT_EQ(box.ReadFile(kConfiguration), old);
        EXPECT_EQ(box.ReadFile(kDigest), Md5Of(old));
        EXPECT_EQ(VerifyConfigurationMD5(), 0);
        EXPECT_FALSE(box.Exists(kBackup));
        EXPECT_TRUE(
            box.LogHas("divers.lib : /var/parameters/configuration.xml.bak restitue", "err"))
            << box.Log();
    }

    Sandbox box;
    std::string old = "<configuration version=\"1\"/>\n";
};

TEST_F(Refresh, ReplacesTheConfigurationKeepingTheBackup) {
    box.WriteFile(kBackup, "older");
    fs::permissions(box.Path(kConfiguration), fs::perms(0640));
    std::string fresh = Contents(1001, 5);  // 12 blocks of 80 and a partial one
    box.WriteFile("/tmp/conf123456", fresh);

    EXPECT_EQ(RefreshConfiguration("/tmp/conf123456"), 0);
    EXPECT_EQ(box.ReadFile(kConfiguration), fresh);
    EXPECT_EQ(box.ReadFile(kBackup), old);
    EXPECT_EQ(box.ReadFile(kDigest), Md5Of(fresh));
    EXPECT_EQ(VerifyConfigurationMD5(), 0);
    EXPECT_EQ(ModeOf(box.Path(kConfiguration)), 0640U);
    for (const std::string& entry :
         {std::string("configuration.xml"), std::string("configuration.xml.bak"),
          std::string("configuration.xml.md5")}) {
        EXPECT_TRUE(box.Exists("/var/parameters/" + entry)) << entry;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(box.Path("/var/parameters")),
                            fs::directory_iterator()),
              3)
        << "no temporary file is left";
    EXPECT_TRUE(
        box.LogHas("divers.lib : /var/parameters/configuration.xml renomme en "
                   "/var/parameters/configuration.xml.bak",
                   "debug"));
    EXPECT_TRUE(box.LogHas(
        "divers.lib : /tmp/conf123456 copie en /var/parameters/configuration.xml", "debug"));
    bool removedOld = false;
    for (const std::string& line : box.LogLines()) {
        removedOld = removedOld ||
                     (line.rfind("info ", 0) == 0 &&
                      line.find("divers.lib : supression de la copie du fichier de configuration "
                                "/var/parameters/configuration.xml.bak (") != std::string::npos);
    }
    EXPECT_TRUE(removedOld) << box.Log();
}

TEST_F(Refresh, TemporaryFileThatCannotBeOpenedLeavesThePreviousOne) {
    EXPECT_EQ(RefreshConfiguration("/tmp/absent"), 1);
    ExpectPreviousKept();
    EXPECT_TRUE(box.LogHas(
        "divers.lib : erreur de lecture de la taille du fichier temporaire /tmp/absent=2", "err"))
        << box.Log();

    fs::create_directories(box.Path("/tmp/folder"));  // a size, but no bytes to read
    EXPECT_EQ(RefreshConfiguration("/tmp/folder"), 1);
    EXPECT_EQ(box.ReadFile(kConfiguration), old);
    EXPECT_EQ(VerifyConfigurationMD5(), 0);
}

TEST_F(Refresh, WithoutAConfigurationNothingIsReplaced) {
    fs::remove(box.Path(kConfiguration));
    box.WriteFile("/tmp/conf1", "<new/>");
    EXPECT_EQ(RefreshConfiguration("/tmp/conf1"), 1);
    EXPECT_FALSE(box.Exists(kConfiguration));
    EXPECT_TRUE(
        box.LogHas("divers.lib : impossible d'effectuer une copie de sauvegarde de "
                   "/var/parameters/configuration.xml=2",
                   "err"))
        << box.Log();
}

TEST_F(Refresh, FullFileSystemDuringTheCopyRestoresThePreviousOne) {
    SmallFileSystem small(box, "/var/parameters");
    ASSERT_TRUE(small.Mounted());
    SetUp();  // the configuration and its digest on the small file system
    small.Fill();
    box.WriteFile("/tmp/conf1", Contents(20000, 1));
    EXPECT_EQ(RefreshConfiguration("/tmp/conf1"), 1);
    ExpectPreviousKept();
    EXPECT_TRUE(box.LogHas("divers.lib : erreur ecriture fichier configuration=28", "debug"))
        << box.Log();
}

TEST_F(Refresh, NoRoomForTheDigestRestoresThePreviousOne) {
    SmallFileSystem small(box, "/var/parameters");
    ASSERT_TRUE(small.Mounted());
    SetUp();
    small.Fill();
    // Room for the new configuration (one page), none for its digest.
    std::string filler = box.Path("/var/parameters/filler");
    fs::resize_file(filler, fs::file_size(filler) - 4096);
    box.WriteFile("/tmp/conf1", Contents(200, 2));
    EXPECT_EQ(RefreshConfiguration("/tmp/conf1"), 1);
    ExpectPreviousKept();
    EXPECT_TRUE(box.LogHas(
        "divers.lib : erreur d'ouverture du fichier/var/parameters/configuration.xml.md5=28",
        "err"))
        << box.Log();
}

TEST(TemporaryConfiguration, IsMadeBeforeItsNameIsGiven) {
    Sandbox box;
    Text first(GetTemporaryConfiguration());
    Text second(GetTemporaryConfiguration());
    for (const Text* name : {&first, &second}) {
        std::string text = name->get();
        ASSERT_EQ(text.size(), 15U) << text;
        EXPECT_EQ(text.rfind("/tmp/conf", 0), 0U) << text;
        EXPECT_TRUE(box.Exists(text)) << text;
        EXPECT_EQ(ModeOf(box.Path(text)), 0600U);
        EXPECT_TRUE(box.LogHas("divers.lib : attribution nom fichier temporaire=" + text, "debug"));
    }
    EXPECT_STRNE(first.get(), second.get());

    fs::remove_all(box.Path("/tmp"));
    Text none(GetTemporaryConfiguration());
    ASSERT_NE(none, nullptr);
    EXPECT_STREQ(none.get(), "");
    EXPECT_TRUE(box.LogHas("divers.lib : erreur lors creation fichier temporaire", "err"));
}
