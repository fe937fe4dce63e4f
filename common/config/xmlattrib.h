// Driver configuration support: typed readers for the attributes an expat start-element handler
// receives, the record of configuration errors with the XML line where each was found, the
// per-driver status file that ends with the verdict, and the degraded-mode notice to modmgr.
#pragma once

#include <expat.h>

#include <cstddef>

// Attribute list as expat gives it: name, value, name, value, ..., then a null name.
using XmlAttributes = const XML_Char**;

// Readers. Those with an output leave it untouched when they fail, unless said otherwise.
// First value of the attribute named exactly `name`, or nullptr.
const char* XmlAttrFind(XmlAttributes attributes, const char* name);
// Decimal integer read as atoi does ("3x" is 3). 0 found, 1 missing.
int XmlAttrInt(XmlAttributes attributes, const char* name, int* value);
// The integer when present and within [lower, upper], else lower.
int XmlAttrIntBounded(XmlAttributes attributes, const char* name, int lower, int upper);
// The text up to the first '%' as a float within 0 to 100. 0 success, 1 otherwise (logged when
// present but unusable).
int XmlAttrPercent(XmlAttributes attributes, const char* name, float* value);
// A float ("%f"). 0 success, 1 otherwise (logged when present but unusable).
int XmlAttrFloat(XmlAttributes attributes, const char* name, float* value);
// A double, no check of the text. 0 found, 1 missing.
int XmlAttrDouble(XmlAttributes attributes, const char* name, double* value);
// "TRUE", "1" or "V" give 1, any other text 0. 0 found, 1 missing.
int XmlAttrBool(XmlAttributes attributes, const char* name, int* value);
// "h:m:s" gives h * 3600 + m * 60 + s, a text without ':' its decimal value. The output is set
// to 0 first. 0 success; 1 when missing, empty or of the form h:m.
int XmlAttrTime(XmlAttributes attributes, const char* name, int* seconds);
// Comma-separated decimal integers stored in order, at most `maximum` (the rest is ignored).
// The number stored (0 when missing or empty).
int XmlAttrIntList(XmlAttributes attributes, const char* name, int* values, int maximum);

// Status file of a driver: "/var/log/<name>.xml.status" (a board path).
void XmlStatusFileName(char* buffer, size_t size, const char* driverName);

// Starts an analysis: remembers the parser (for line numbers) and creates the status file afresh
// (board path), rwx for its owner and readable by others. 0, or -1 when the file cannot be made,
// a full file system included (logged "XmlErreur: unable to open"; the analysis goes on without
// it).
int XmlStatusOpen(const char* path, XML_Parser parser);
// Records one configuration error: numbered status line with the parser's current line, and two
// error log lines. The analysis goes on. A status line that cannot be written is logged
// ("XmlErreur: unable to write"), and XmlStatusClose then reports it.
void XmlErrorRecord(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Records the error, closes the status file with its verdict (and tells modmgr), then aborts.
[[noreturn]] void XmlErrorFatal(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Number of errors recorded since XmlStatusOpen.
int XmlErrorCount();
// Writes a text as a line of the status file as it stands: no number, no line, not counted as an
// error, not logged (a driver's notes on what it dropped). Nothing without a status file.
void XmlStatusText(const char* text);
// Writes the verdict ("** Mode Degrade **" after any error, and modmgr is told; "** Mode Normal
// **" otherwise), syncs and closes the file and starts a new count. The number of errors
// recorded; or -1 with errno when the status file was open but could not be completed (a line,
// the verdict or the sync failed: logged, and the incomplete file is removed, so that no file
// without a verdict is left; modmgr is told all the same). Without a status file (XmlStatusOpen
// gave -1) the number of errors.
int XmlStatusClose();

// Sends the degraded-configuration request (command 40) to modmgr on queue 47003.
void NotifyDegradedMode();
