// The driver-configuration reader shared by the field-bus drivers: opens the station's XML
// configuration, runs expat over it with the driver's element handlers, records read and expat
// errors with their line numbers, and leaves the driver's status file with its verdict (modmgr is
// told of a degraded configuration). Each driver gives its handlers, its name and its texts.
#pragma once

#include <expat.h>

namespace driverconfig {

// The configuration file, as the board names it.
inline constexpr const char* kConfigurationPath = "/var/parameters/configuration.xml";
// The file is given to expat in blocks of this size; the shorter block is the last.
inline constexpr int kBlockSize = 4096;

// The texts a driver logs around the analysis. A null text is not logged (the meter drivers'
// texts stand in for null read and expat texts: those errors are always recorded).
struct Texts {
    const char* openFailed;   // err: path, errno (the file cannot be opened)
    const char* begin;        // verbose: path, before parsing
    const char* end;          // verbose: path, after parsing, before the verdict
    const char* readFailed;   // status file: path, errno
    const char* expatFailed;  // status file: expat's error text
};

// meterlink and gaugereader.
inline constexpr Texts kTextsMeter{
    "fichier de configuration %s impossible a ouvrir =%d",
    "debut decodage %s",
    "fin decodage %s",
    "erreur lecture %s=%d",
    "erreur expat=%s",
};
// busbridge and plcbridge: they log the end themselves, with the time the analysis took.
inline constexpr Texts kTextsPlc{
    "error in opening of %s (configuration file) =%d",
    "begin of decoding of %s",
    nullptr,
    "error in reading of %s =%d",
    "expat error=%s",
};

}  // namespace driverconfig

// What a driver gives the reader.
struct DriverConfigReader {
    // The driver's name: its status file is "/var/log/<name>.xml.status".
    const char* driverName = nullptr;
    // The driver's element handlers and what they receive as user data. They report what they
    // find wrong with XmlErrorRecord (or XmlErrorFatal), which numbers it with the current line.
    XML_StartElementHandler start = nullptr;
    XML_EndElementHandler end = nullptr;
    void* userData = nullptr;
    const driverconfig::Texts* texts = &driverconfig::kTextsMeter;
    // true: a read or expat error ends the process through XmlErrorFatal (the status file first
    // gets its verdict and modmgr is told); false: it is recorded and the analysis ends there.
    bool parseErrorsFatal = false;
    // Called once the whole file was read, before the verdict is written, with userData and the
    // number of errors recorded: the driver may check what it read as a whole (and record more
    // errors, or XmlErrorFatal) or drop it. May be null.
    void (*beforeVerdict)(void* userData, int errors) = nullptr;
};

// Reads the configuration through the driver's handlers and writes its status file. The number of
// configuration errors recorded (0: the verdict is "** Mode Normal **"), or -1 with errno when the
// file cannot be opened (logged with texts->openFailed; nothing is parsed and the status file is
// not touched). *statusWritten (when given) tells whether the status file now holds every error
// line and the verdict; when it does not, the status functions have logged why.
int DriverConfigRead(const DriverConfigReader* reader, bool* statusWritten = nullptr);
// For a handler that has just recorded an error that ends the analysis: the parser stops at
// once (no further element reaches the handlers, and the stop itself is not recorded as an expat
// error); the reader then goes on as after the end of the file (beforeVerdict, verdict). 0, or
// -1 with EINVAL when no analysis is running.
int DriverConfigStop();
