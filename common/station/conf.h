// Station settings and identity: the station INI file (sizing keys of section "ENV", identity
// keys of section "IDENT"), the board identity record loaded from the I2C EEPROM, a few system
// facts (hardware address, kernel version) and the memo-size file written by the core.
#pragma once

#include <cstdint>

// --- Station INI file -------------------------------------------------------------------------

// Value of a key of section "ENV" of the working copy, or null when the key is missing or empty.
// The text stays valid until the next call.
const char* GetEnvORXAPP(const char* key);

// Decodes the seven sizing keys into their bounded values (a value outside its bounds gives the
// default). Called again, it warns and decodes again.
void ChannelMaxNbInit();
// 1 once the sizing keys are decoded, else 0.
int IsChannelMaxNbInitialized();
// Forgets the decoded sizes: the next getter decodes again.
void ResetChannelMaxNb();

// Sizes of the station; each decodes the sizing keys first when that is not yet done.
int GetChannelMaxNb();        // "CHANNEL_MAX_NB", 50 to 1500
int GetMemoMaxNb();           // "MEMO_MAX_NB", 1800 to 54000
int GetStationLogSize();      // "STATION_LOG_MAX", 200 to 4000
int GetCommLogSize();         // "COMM_LOG_MAX", 200 to 4000
int GetM350ZCompatibility();  // "M350Z", 0 or 1
int GetMemoMaxByChannel();    // "MEMO_MAX_BY_CHANNEL", 3600 to 27000
int GetLogChannelNb();        // "CHANNEL_HORO_MAX": always 750
int GetConsigneEMaxNb();      // integer set-points: 128
int GetConsigneRMaxNb();      // real set-points: 64

// --- Identity (section "IDENT") ---------------------------------------------------------------
// Each text getter returns its own buffer, valid until that getter is called again.

const char* GetStationName();  // "ERROR" when unreadable
int GetStationId();            // 1 to 65535, else -1
int GetStationSlaveNumber();   // 1 to 254, else -1
// Writers: 1 on success, 0 on failure (logged). A text holding a line end is refused, as it
// would break the file's line structure.
int SetStationName(const char* name);
int SetStationID(int id);
int SetSlaveNumber(int number);

int GetORXBASESerialNumber();             // "BOARD_SERIAL", 0 when absent
int GetORXBASEProductionDate();           // "BOARD_DATE", 0 when absent
const char* GetORXBASEOperator();         // "BOARD_OPERATOR", "ERROR" when absent
const char* GetORXBASEHardwareVersion();  // "BOARD_VERSION", "ERROR" when absent
const char* GetBoardType();               // "BOARD", "ORXETHUSB" when absent
const char* GetCpuModuleType();           // "MODULE", "ORXCPU" when absent
const char* GetOF();                      // "OF", "Unknow" when absent
const char* GetDomainName();              // no domain: always null

// --- Versions and the EEPROM identity record
// ------------------------------------------------------

struct VersionORXAPP {
    char text[12];     // "Version " by default
    int versionMajor;  // 6 by default
    int versionMinor;  // 99 by default
};

// Fills the record from "VERSION_ORXAPP" (defaults first): 1 when the key was decoded, else 0.
int GetVersionORXAPP(VersionORXAPP* record);
// "BOOT_VERSION" of section "ENV", or the version of the first boot software when it is missing.
const char* GetORXBASEBootSoftwareVersion();

// Copies the master INI file to the working copy, reads the 128-byte board record from the
// EEPROM and writes its seven keys into "IDENT". 1 on success, 0 on failure (no key is written
// when the record's sum is wrong).
int Initialize_InfoVersion();

// --- System facts ---------------------------------------------------------------------------

// Hardware address of "eth0" as "XX:XX:XX:XX:XX:XX", or "ERROR".
const char* GetMacAddr();
// "<system> release <release>, build <version>" of the running kernel, cut to fit `size` bytes
// with its terminator. Number of characters written.
int GetOsVersion(char* buffer, int size);

// --- Memo-size file -------------------------------------------------------------------------
// Records of 4 bytes: the Modbus address of a time-stamped channel (big-endian, signed 16 bits),
// then its memo size in lines (big-endian, unsigned 16 bits).

// Board path of the memo-size file ("/tmp/memo.size").
const char* GetMemoSizeName();
// Number of records; 0 when the file is missing or its length is not a multiple of 4.
int GetMemoNb();
// Record `index` (from 0): 0 and its fields, or 1 past the end or on error (address -1, size 0).
int ReadMemoSizeFile(int16_t* address, uint16_t* size, int index);
// Memo size recorded for a channel's Modbus address, or 0.
int GetMemoSize(int address);
