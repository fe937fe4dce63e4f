// M-Bus telegrams as the master sees them: the short frames it sends, the search and checks of a
// meter's long frame (RSP_UD), the fixed data header and the data records (DIF, DIFE, VIF, VIFE
// and the value codings). No I/O here: bytes come in, decoded records, trace text and log lines go
// out through an MbusOutput, so the decoder runs the same in the module, in tests and under a
// fuzzer.
#pragma once

#include <cstdint>

namespace mbus {
constexpr unsigned char kShortStart = 0x10;
constexpr unsigned char kLongStart = 0x68;
constexpr unsigned char kStop = 0x16;
constexpr unsigned char kAck = 0xE5;

// Control fields of the requests.
constexpr unsigned char kSndNke = 0x40;
constexpr unsigned char kReqUd2 = 0x7B;
constexpr unsigned char kSndUd = 0x53;
// Frame count bit of REQ_UD2 (set in 0x7B, clear in 0x5B): a meter that sees it toggled sends its
// next telegram, and the same one again otherwise.
constexpr unsigned char kFcb = 0x20;

// Selection by secondary address: a SND_UD to this address with the CI below and the 8 bytes of
// a selection; the meters that match answer E5 and stay selected (answer requests to this address)
// until another selection leaves them out or a SND_NKE to this address.
constexpr unsigned char kSecondaryAddress = 0xFD;
constexpr unsigned char kCiSelect = 0x52;
constexpr int kSelectionSize = 8;
constexpr int kSelectFrameSize = 4 + 3 + kSelectionSize + 2;

constexpr int kShortFrameSize = 5;
constexpr int kAddressMax = 250;  // primary addresses 0..250
// The largest legal long frame: L = 255, with the four start bytes, checksum and stop byte.
constexpr int kLongFrameMax = 255 + 6;
// Bytes before the start character that a receive buffer keeps room for (line noise, an echo).
constexpr int kNoiseMax = 64;
constexpr int kReceiveSize = kLongFrameMax + kNoiseMax;
constexpr int kHeaderSize = 12;  // fixed data header of the variable data structure
constexpr int kDifeMax = 10;
constexpr int kVifeMax = 10;
constexpr int kRecordPauseMs = 100;  // wait between two records

// Value codings of a record.
enum class Coding : int { Integer = 1, Bcd = 2, Real = 3, Variable = 4 };

// Quantity indexes (names in MbusQuantityName).
constexpr int kEnergy = 0;
constexpr int kVolume = 1;
constexpr int kMass = 2;
constexpr int kOnTime = 3;
constexpr int kOperatingTime = 4;
constexpr int kPower = 5;
constexpr int kVolumeFlow = 6;
constexpr int kMassFlow = 7;
constexpr int kFlowTemperature = 8;
constexpr int kReturnTemperature = 9;
constexpr int kTemperatureDifference = 10;
constexpr int kExternalTemperature = 11;
constexpr int kPressure = 12;
constexpr int kDateTimePoint = 13;
constexpr int kDatePoint = 14;
constexpr int kAveragingDuration = 15;
constexpr int kActualityDuration = 16;
constexpr int kBusAddr = 17;
constexpr int kErrorFlags = 18;
constexpr int kQuantityCount = 19;
// Quantities a configuration may ask for: the first 17.
constexpr int kConfigurableQuantities = 17;

// Functions (names in MbusFunctionName), in this system's order.
constexpr int kInst = 0;
constexpr int kMin = 1;
constexpr int kMax = 2;
constexpr int kError = 3;

// How the decoding of a telegram's records ended.
enum class Stop : int {
    End = 0,       // every record of the data area was read
    Unsupported,   // a DIF whose data field or extensions this decoder does not read
    Variable,      // a variable-length record of a reserved length (where it ends is unknown)
    Manufacturer,  // manufacturer data (DIF 0F) up to the end
    Truncated,     // a record runs past the end of the data area
    More,          // DIF 1F: manufacturer data up to the end, and the meter has more records in
                   // its next telegram
};
}  // namespace mbus

// One decoded record as it is handed on.
struct MbusRecord {
    int offset = 0;           // of the DIF in the data area
    int quantity = 0;         // mbus::kEnergy ...
    int unit = 0;             // index of MbusUnitName, 0 for none
    double multiplier = 1.0;  // of the VIF: 10 to a power
    mbus::Coding coding = mbus::Coding::Integer;
    int function = mbus::kInst;
    int bits = 0;       // length of the data in bits
    int storage = 0;    // storage number (DIF bit 6, then 4 bits per DIFE)
    int tariff = 0;     // 2 bits per DIFE
    int subunit = 0;    // 1 bit per DIFE
    int64_t value = 0;  // integer and BCD records; dates in seconds since 1970
    float real = 0.0f;  // real records
};

// The fixed data header of a long frame.
struct MbusHeader {
    int64_t identification = 0;  // 8 BCD digits
    unsigned manufacturer = 0;
    unsigned version = 0;
    unsigned medium = 0;
    unsigned access = 0;
    unsigned status = 0;
    unsigned signature = 0;
};

// Where the decoder's effects go. The module maps them onto the channel messages, the debug trace
// and the system log; tests record them.
class MbusOutput {
  public:
    virtual ~MbusOutput() = default;
    // One decoded integer, BCD or real record (coding tells which).
    virtual void Record(const MbusRecord& record) = 0;
    virtual void Trace(const char* text, int length) = 0;
    // priority as syslog's.
    virtual void Log(int priority, const char* text) = 0;
    // The wait between two records (the module sleeps; tests and benches count).
    virtual void RecordPause(int milliseconds) = 0;
    // false: no trace text is formatted at all (Trace is not called), only records and log
    // lines come out.
    virtual bool TraceWanted() { return true; }
};

// Conversions of local dates, kept: a meter sends its storage dates again at every reading, and
// mktime walks the zone's rules (and looks at the zone file) at each call. They hold for the TZ
// they were made in, and are forgotten when it changes. 32 sets of 4, each entry with the fields
// the trace shows. The reader of the meters keeps one for its readings.
struct MbusDateCache {
    struct Entry {
        int64_t key = -1;
        int64_t seconds = 0;
        int16_t year = 0;  // tm's: since 1900
        unsigned char month = 0, day = 0, hour = 0, minute = 0, second = 0, weekday = 0;
    };
    static constexpr int kWays = 4;
    Entry entries[32][kWays];
    unsigned char next[32] = {};  // the way each set replaces next
    enum class Zone { Unknown, Unset, Set, Uncached } zone = Zone::Unknown;
    char zoneName[64] = {};
};

// Name of a quantity index, "unknow" outside 0..18.
const char* MbusQuantityName(int quantity);
// Name of a unit index 1..17, "unknow" otherwise.
const char* MbusUnitName(int unit);
// "Inst", "Min", "Max", "Error", "Unknow" otherwise.
const char* MbusFunctionName(int function);
// Index of a quantity name among the first `count` names (exact comparison), or -1.
int MbusQuantityIndex(const char* name, int count);

// Writes the five bytes of a short frame (start, control, address, checksum, stop) into out.
void MbusShortFrame(unsigned char control, unsigned char address, unsigned char out[5]);

// A secondary address as a selection sends it: identification as 8 BCD digits, least significant
// byte first, manufacturer (2 bytes, least significant first), version, medium. A nibble F of the
// identification, and a byte FF of the others, is a wildcard.
struct MbusSelection {
    unsigned char bytes[mbus::kSelectionSize] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
};

// Reads an identification text (8 characters, each 0-9 or F/f for a wildcard, most significant
// first) into the selection. 0, or -1 (selection unchanged) for another text.
int MbusParseIdentification(const char* text, MbusSelection* selection);
// Reads a manufacturer's three letters (A-Z) into the selection as the standard packs them.
// 0, or -1 (selection unchanged).
int MbusParseManufacturer(const char* text, MbusSelection* selection);
// The manufacturer's three letters of its code (text: 4 bytes), or "$XXXX" when it packs other
// characters (text: 6 bytes).
void MbusManufacturerText(unsigned manufacturer, char* text, int size);
// The selection's identification as it is written, F for a wildcard nibble (text: 9 bytes).
void MbusIdentificationText(const MbusSelection* selection, char* text);
// Writes the SND_UD that selects by secondary address (kSelectFrameSize bytes) into out.
void MbusSelectFrame(const MbusSelection* selection, unsigned char out[mbus::kSelectFrameSize]);
// Whether the first 8 bytes of a data area (the header's identification, manufacturer, version
// and medium) are those of the selection, its wildcards aside.
bool MbusSelectionMatches(const MbusSelection* selection, const unsigned char* header);

// Looks for a long frame in the received bytes and checks it. Returns L (> 0) for a good frame,
// with *data the offset of the first byte after the CI field (the data area is L - 3 bytes);
// 0 when no start character came; -1 for a bad frame. Every refusal is traced.
int MbusCheckLongFrame(const unsigned char* bytes, int count, MbusOutput* out, int* data);

// Decodes the fixed header at the start of a data area of `length` bytes. 0, or -1 when the area
// is shorter than the header. Traces nothing.
int MbusDecodeHeader(const unsigned char* data, int length, MbusHeader* header);
// Traces the header fields as a good answer shows them.
void MbusTraceHeader(const MbusHeader* header, MbusOutput* out);

// Decodes the records of a data area (`length` bytes, header included) from offset 12: each
// decoded record is traced and handed to out->Record, then out->RecordPause is called before the
// next one. A record of known length that cannot be handed on as its VIF's quantity (an unknown
// VIF or FD/FB code, an extension that changes the value's meaning, a variable length not read,
// BCD digits A-F, an invalid date) is traced and read past; correction-factor extensions are
// applied to the value and its multiplier. Returns how the decoding ended; the records before the
// end were all delivered. *delivered (when not null) receives the number of records handed on.
// Dates go through `dates` when one is given, else each is converted afresh.
mbus::Stop MbusDecodeRecords(const unsigned char* data, int length, MbusOutput* out, int* delivered,
                             MbusDateCache* dates = nullptr);
