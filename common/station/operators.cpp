#include "operators.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "conf.h"
#include "integrity.h"
#include "stationfile.h"
#include "stationlog.h"

// The maintenance password's prefix is a build setting (STATION_MAINTENANCE_PREFIX in CMake).
#ifndef STATION_MAINTENANCE_PREFIX
#error "STATION_MAINTENANCE_PREFIX must be defined by the build"
#endif

namespace {

using operators::kOperatorFile;

constexpr char kPrefix[] = STATION_MAINTENANCE_PREFIX;
static_assert(sizeof kPrefix == 4, "the maintenance prefix has three letters");
constexpr const char* kUnknown = "Unknow";
constexpr int kFieldCount = 4;  // login; name; rights; digest

// One line of the operator file, cut into its fields (null when absent or empty).
struct OperatorLine {
    char text[operators::kLineMax + 1];
    const char* field[kFieldCount];
    bool hasSeparator;
};

// Reads the next line, keeping at most kLineMax characters of it (the rest is passed over, so
// that line numbers stay those of the file). False at the end of the file.
bool NextLine(FILE* file, OperatorLine* line) {
    int length = 0;
    int c = 0;
    bool any = false;
    while ((c = std::getc(file)) != EOF) {
        any = true;
        if (c == '\n') {
            break;
        }
        if (length < operators::kLineMax) {
            line->text[length++] = static_cast<char>(c);
        }
    }
    if (!any) {
        return false;
    }
    if (length > 0 && line->text[length - 1] == '\r') {
        --length;
    }
    line->text[length] = '\0';
    line->hasSeparator = std::strchr(line->text, ';') != nullptr;
    char* next = line->text;
    for (int i = 0; i < kFieldCount; ++i) {
        char* field = next;
        next = field != nullptr ? std::strchr(field, ';') : nullptr;
        if (next != nullptr) {
            *next++ = '\0';
        }
        line->field[i] = field != nullptr && *field != '\0' ? field : nullptr;
    }
    return true;
}

bool IsSkipped(const OperatorLine& line) {
    const char* login = line.field[0];
    return login != nullptr && (std::strcmp(login, "#") == 0 || std::strcmp(login, "!") == 0);
}

// The rights field read as hexadecimal: false when it holds no rights word.
bool ReadRights(const char* field, int* rights) {
    if (field == nullptr || !std::isxdigit(static_cast<unsigned char>(field[0]))) {
        return false;
    }
    unsigned long value = std::strtoul(field, nullptr, 16);
    if (value > 0xFFFF) {
        return false;
    }
    *rights = static_cast<int>(value);
    return true;
}

// Checks the fields after the login of line `number`: true when the line can be used (each
// fault logged). The digest's length is checked only where it is wanted.
bool CheckFields(const OperatorLine& line, int number, bool wantDigest, int* rights) {
    if (line.field[1] == nullptr) {
        StationLog(LOG_ERR, "divers.lib : %s ligne %d : pas de champs nom", kOperatorFile, number);
        return false;
    }
    if (!ReadRights(line.field[2], rights)) {
        StationLog(LOG_ERR, "divers.lib : %s ligne %d : pas de champs droit", kOperatorFile,
                   number);
        return false;
    }
    if (line.field[3] == nullptr) {
        StationLog(LOG_ERR, "divers.lib : %s ligne %d : pas de champs mot de passe", kOperatorFile,
                   number);
        return false;
    }
    if (wantDigest && std::strlen(line.field[3]) != integrity::kDigestLength) {
        StationLog(LOG_ERR, "divers.lib : %s ligne %d : erreur sur le mot de passe", kOperatorFile,
                   number);
        return false;
    }
    return true;
}

FILE* OpenOperatorFile() {
    FILE* file = StationFopen(kOperatorFile, "re");
    if (file == nullptr) {
        StationLog(LOG_ERR, "divers.lib : fichier %s impossible a ouvrir", kOperatorFile);
    }
    return file;
}

// An operator found by its login.
struct Found {
    OperatorLine line;
    int number = 0;
    int rights = 0;
};

// The first usable line of the login: true with it, false when there is none.
bool FindLogin(const char* login, bool wantDigest, Found* found) {
    if (login == nullptr) {
        return false;
    }
    FILE* file = OpenOperatorFile();
    if (file == nullptr) {
        return false;
    }
    bool hit = false;
    for (int number = 1; !hit && NextLine(file, &found->line); ++number) {
        const OperatorLine& line = found->line;
        if (IsSkipped(line) || line.field[0] == nullptr || std::strcmp(line.field[0], login) != 0) {
            continue;
        }
        if (CheckFields(line, number, wantDigest, &found->rights)) {
            StationLog(LOG_DEBUG, "divers.lib : information dans %s trouvee a la ligne %d",
                       kOperatorFile, number);
            found->number = number;
            hit = true;
        }
    }
    std::fclose(file);
    return hit;
}

// Compares a given secret with the expected one in a time that does not depend on where they
// differ, so that the time of a refusal tells nothing of the secret.
bool SameSecret(const char* given, const char* expected) {
    size_t givenLength = std::strlen(given);
    size_t length = std::strlen(expected);
    unsigned difference = givenLength == length ? 0U : 1U;
    for (size_t i = 0; i < length; ++i) {
        char c = i < givenLength ? given[i] : '\0';
        difference |= static_cast<unsigned char>(c ^ expected[i]);
    }
    return difference == 0;
}

unsigned SerialNumber() {
    return static_cast<unsigned>(GetORXBASESerialNumber());
}

// The built-in login's password: the prefix and the serial number, at least four digits.
void MaintenancePassword(char* password, size_t size) {
    std::snprintf(password, size, "%s%04X", kPrefix, SerialNumber());
}

struct InhibitPath {
    char text[40];
    InhibitPath() { std::snprintf(text, sizeof text, operators::kInhibitFormat, SerialNumber()); }
};

// Length of a text up to its first control character, for logging a refused field safely.
int PrintableLength(const char* text) {
    int length = 0;
    while (text[length] != '\0' && !std::iscntrl(static_cast<unsigned char>(text[length]))) {
        ++length;
    }
    return length;
}

bool IsFieldText(const char* text) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == ';' || *c == '\n' || *c == '\r') {
            return false;
        }
    }
    return true;
}

// Appends one line in one write and syncs it; a line that did not go in whole is taken out
// again. 0, or -1 with errno (ENOSPC for a line that went in partly).
int AppendLine(const char* text, size_t length) {
    UniqueFd fd(StationOpen(kOperatorFile, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
    if (!fd.Valid()) {
        return -1;
    }
    struct stat info {};
    if (fstat(fd.Get(), &info) != 0) {
        return -1;
    }
    ssize_t written = 0;
    do {
        written = write(fd.Get(), text, length);
    } while (written < 0 && errno == EINTR);
    if (written == static_cast<ssize_t>(length)) {
        if (fsync(fd.Get()) == 0) {
            return fd.Close();
        }
    } else if (written >= 0) {
        errno = ENOSPC;  // a regular file takes less than asked only when it has no room left
    }
    int error = errno;
    if (ftruncate(fd.Get(), info.st_size) == 0) {
        fsync(fd.Get());
    }
    errno = error;
    return -1;
}

}  // namespace

int SetConsultationMode() {
    return operators::kConsultationMode;
}

int SetCommandMode() {
    return operators::kCommandMode;
}

int SetDiagnosticMode() {
    return operators::kDiagnosticMode;
}

int GetVelunUserRights(const char* login, const char* password) {
    if (password == nullptr) {
        password = "";
    }
    if (login != nullptr && std::strcmp(login, operators::kMaintenanceLogin) == 0) {
        // Without a serial number every such board would share one built-in password.
        bool serial = SerialNumber() != 0;
        char expected[32];
        MaintenancePassword(expected, sizeof expected);
        bool right = serial && SameSecret(password, expected);
        std::memset(expected, 0, sizeof expected);
        // The password given is never logged: a mistyped one is often one letter from the right
        // one.
        if (!serial) {
            StationLog(LOG_ERR,
                       "divers.lib : acces superutilisateur refuse, pas de numero de serie");
        } else if (!right) {
            StationLog(LOG_ERR, "divers.lib : acces superutilisateur avec mot de passe invalide");
        } else if (IsUserByDefectInhibed() != 0) {
            StationLog(LOG_ERR, "divers.lib : acces superutilisateur inhibee");
            right = false;
        }
        if (!right) {
            StationLog(LOG_DEBUG, "divers.lib : acces superutilisateur");
            return 0;
        }
        return operators::kDiagnosticMode;
    }

    Found found;
    if (!FindLogin(login, true, &found)) {
        StationLog(LOG_ERR, "divers.lib : Utilisateur %s n'existe pas",
                   login != nullptr ? login : "(null)");
        return 0;
    }
    char digest[integrity::kDigestLength + 1];
    Md5Hex(password, std::strlen(password), digest);
    if (!SameSecret(digest, found.line.field[3])) {
        StationLog(LOG_ERR, "divers.lib : mot de passe incorrect pour utilisateur %s", login);
        return 0;
    }
    return found.rights;
}

int IsUserVelunReadRight(const char* login, const char* password) {
    return (GetVelunUserRights(login, password) & operators::kReadRight) != 0 ? 1 : 0;
}

int IsUserVelunWriteRight(const char* login, const char* password) {
    return (GetVelunUserRights(login, password) & operators::kWriteRight) != 0 ? 1 : 0;
}

int IsUserVelunParamRight(const char* login, const char* password) {
    return (GetVelunUserRights(login, password) & operators::kParamRight) != 0 ? 1 : 0;
}

int IsUserVelunDiagnosticRight(const char* login, const char* password) {
    return (GetVelunUserRights(login, password) & operators::kDiagnosticRight) != 0 ? 1 : 0;
}

int GetModeVelunUser(int rights) {
    if ((rights & operators::kWriteRight) == 0) {
        return (rights & operators::kConsultBit) != 0 ? 0 : -1;
    }
    return (rights & operators::kParamRight) != 0 ? 2 : 1;
}

int GetUserWithPwd(const char* password, int* number) {
    if (number != nullptr) {
        *number = -1;
    }
    FILE* file = OpenOperatorFile();
    if (file == nullptr) {
        return 0;
    }
    char digest[integrity::kDigestLength + 1];
    Md5Hex(password != nullptr ? password : "", password != nullptr ? std::strlen(password) : 0,
           digest);
    OperatorLine line;
    int rights = 0;
    int found = -1;
    for (int n = 1; found < 0 && NextLine(file, &line); ++n) {
        if (IsSkipped(line) || line.field[0] == nullptr || !CheckFields(line, n, true, &rights)) {
            continue;
        }
        if (SameSecret(digest, line.field[3])) {
            found = n;
        } else {
            StationLog(LOG_ERR, "divers.lib : mot de passe incorrect pour utilisateur %d", n);
        }
    }
    std::fclose(file);
    if (found < 0) {
        return 0;
    }
    if (number != nullptr) {
        *number = found;
    }
    return rights;
}

const char* GetUserVelunName(const char* login) {
    static char name[operators::kLineMax + 1];
    if (login != nullptr && std::strcmp(login, operators::kMaintenanceLogin) == 0) {
        return operators::kMaintenanceName;
    }
    Found found;
    if (!FindLogin(login, false, &found)) {
        return kUnknown;
    }
    std::snprintf(name, sizeof name, "%s", found.line.field[1]);
    return name;
}

int GetUserVelunId(const char* login) {
    if (login != nullptr && std::strcmp(login, operators::kMaintenanceLogin) == 0) {
        return operators::kMaintenanceNumber;
    }
    Found found;
    return FindLogin(login, false, &found) ? found.number : 0;
}

const char* GetUserVelunLogin(int number) {
    static char login[operators::kLineMax + 1];
    if (number == operators::kMaintenanceNumber) {
        return operators::kMaintenanceLogin;
    }
    FILE* file = number > 0 ? OpenOperatorFile() : nullptr;
    OperatorLine line{};
    bool reached = false;
    for (int n = 1; file != nullptr && !reached && NextLine(file, &line); ++n) {
        reached = n == number;
    }
    if (file != nullptr) {
        std::fclose(file);
    }
    // A comment or switched-off line holds no operator.
    if (!reached || IsSkipped(line)) {
        StationLog(LOG_ERR, "divers.lib : pas de login pour utilisateur %d", number);
        return kUnknown;
    }
    if (!line.hasSeparator || line.field[0] == nullptr) {
        StationLog(LOG_ERR, "divers.lib : pas de login valide pour utilisateur %d", number);
        return kUnknown;
    }
    std::snprintf(login, sizeof login, "%s", line.field[0]);
    return login;
}

int VelunUserAdd(const char* login, const char* name, int rights, const char* password) {
    char text[operators::kLineMax + 2];  // the line, its line end and the terminator
    int length = -1;
    bool usable = IsFieldText(login) && IsFieldText(name) && password != nullptr &&
                  std::strcmp(login, "#") != 0 && std::strcmp(login, "!") != 0;
    if (usable) {
        char digest[integrity::kDigestLength + 1];
        Md5Hex(password, std::strlen(password), digest);
        length = std::snprintf(text, sizeof text, "%s;%s;%04X;%s\n", login, name, rights & 0xFFFF,
                               digest);
    }
    // A line longer than a reader takes could never be found again.
    bool fits = length > 0 && length <= operators::kLineMax + 1;
    if (!fits || AppendLine(text, static_cast<size_t>(length)) != 0) {
        const char* shown = login != nullptr ? login : "(null)";
        StationLog(LOG_ERR, "divers.lib : erreur lors de l'ecriture de l'utilisateur %.*s dans %s",
                   PrintableLength(shown), shown, kOperatorFile);
        return 1;
    }
    StationLog(LOG_DEBUG, "divers.lib : enregistrement utilisateur %s avec droit %04X", login,
               rights & 0xFFFF);
    return 0;
}

int VelunUserDefaultAdd() {
    if (SerialNumber() == 0) {
        StationLog(LOG_ERR, "divers.lib : utilisateur %s non enregistre, pas de numero de serie",
                   operators::kMaintenanceLogin);
        return 1;
    }
    char serial[16];
    std::snprintf(serial, sizeof serial, "%08X", SerialNumber());
    char password[16];
    std::snprintf(password, sizeof password, "%s%s", kPrefix, serial + 4);
    int result = VelunUserAdd(operators::kMaintenanceLogin, operators::kMaintenanceName,
                              operators::kDiagnosticMode, password);
    std::memset(password, 0, sizeof password);
    return result;
}

int VelunUserEraseAll() {
    StationLog(LOG_DEBUG, "divers.lib : effacement fichier utilisateur velun %s", kOperatorFile);
    if (StationUnlink(kOperatorFile) != 0 && errno != ENOENT) {
        return -1;
    }
    StationSyncDirectory(kOperatorFile);
    return 0;
}

int IsUserByDefectInhibed() {
    InhibitPath path;
    struct stat info {};
    return StationStat(path.text, &info) == 0 ? 1 : 0;
}

int InhibeUserByDefect(int flag) {
    InhibitPath path;
    if (flag != 0) {
        if (DurableWriteFile(path.text, "1", 1, 0644) != 0) {
            StationLog(LOG_ERR, "erreur creation fichier inhibition(%s)=%d", path.text, errno);
            return -1;
        }
        StationLog(LOG_INFO, "creation %s", path.text);
        return 0;
    }
    if (StationUnlink(path.text) != 0 && errno != ENOENT) {
        // Still switched off: the caller must know.
        StationLog(LOG_ERR, "erreur destruction fichier inhibition(%s)=%d", path.text, errno);
        return -1;
    }
    StationSyncDirectory(path.text);
    StationLog(LOG_INFO, "destruction %s", path.text);
    return 0;
}
