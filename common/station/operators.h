// The station's operators: the operator file (one login a line with its display name, rights
// word and password digest) and the built-in maintenance login, whose password derives from the
// board serial number and which a marker file switches off. Passwords are compared by digest,
// in constant time, and never logged.
#pragma once

#include <cstdint>

namespace operators {
constexpr const char* kOperatorFile = "/tmp/utilvelun.txt";
// Maintenance switch-off marker: "/var/parameters/" + the board serial number as "%08X".
constexpr const char* kInhibitFormat = "/var/parameters/%08X";
// Lines are read with at most this many characters (the line end not counted); the rest of a
// longer line is not read.
constexpr int kLineMax = 78;

constexpr const char* kMaintenanceLogin = "korvi";
constexpr const char* kMaintenanceName = "maintenance";
constexpr int kMaintenanceNumber = 1;

// Rights word bits.
constexpr int kConsultBit = 0x0001;
constexpr int kReadRight = 0x0002;
constexpr int kWriteRight = 0x0004;  // commands
constexpr int kParamRight = 0x0008;
constexpr int kDiagnosticRight = 0x0010;
// The three levels given to operators.
constexpr int kConsultationMode = 0x0003;
constexpr int kCommandMode = 0x0007;
constexpr int kDiagnosticMode = 0x001F;
}  // namespace operators

// Rights words of the three levels.
int SetConsultationMode();  // 0x0003
int SetCommandMode();       // 0x0007
int SetDiagnosticMode();    // 0x001F

// Rights word of a login whose password is right, else 0 (logged: no such login, wrong password,
// maintenance login refused or switched off).
int GetVelunUserRights(const char* login, const char* password);
// Bit 1, 2, 3 or 4 of that rights word: 1 or 0.
int IsUserVelunReadRight(const char* login, const char* password);
int IsUserVelunWriteRight(const char* login, const char* password);
int IsUserVelunParamRight(const char* login, const char* password);
int IsUserVelunDiagnosticRight(const char* login, const char* password);
// -1 no access (bits 0 and 2 clear), 0 consultation (bit 0 without bit 2), 1 command (bit 2
// without bit 3), 2 parameters (bits 2 and 3).
int GetModeVelunUser(int rights);

// Rights of the first valid line whose digest is the password's, its line number in *number;
// 0 and -1 when none is.
int GetUserWithPwd(const char* password, int* number);
// Display name of a login ("maintenance" for the built-in one), "Unknow" when absent. The text
// stays valid until the next call.
const char* GetUserVelunName(const char* login);
// Operator number of a login: 1 for the built-in one, else its line number; 0 when absent.
int GetUserVelunId(const char* login);
// Login of an operator number: "korvi" for 1, else the first field of that line, "Unknow" when
// there is none (logged). The text stays valid until the next call.
const char* GetUserVelunLogin(int number);

// Appends an operator with the digest of its password, in one write, synced: 0, or 1 (logged)
// when it could not be written, or when a field would break the file's line structure (a ";" or
// a line end, an empty or skipped login, a line longer than a reader takes). Nothing of a line
// that failed stays in the file.
int VelunUserAdd(const char* login, const char* name, int rights, const char* password);
// Appends the maintenance operator (its password built from the board serial number): as
// VelunUserAdd.
int VelunUserDefaultAdd();
// Removes the operator file and syncs its directory: 0 (also when there was none), or -1 with
// unlink's errno.
int VelunUserEraseAll();

// 1 when the maintenance switch-off marker exists, else 0.
int IsUserByDefectInhibed();
// flag non-zero: creates the marker (holding "1"), synced; flag 0: removes it. 0, or -1 (logged)
// when it could not be made or removed.
int InhibeUserByDefect(int flag);
