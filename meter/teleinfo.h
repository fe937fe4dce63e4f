// Teleinfo receive side: the character state machine that cuts a meter's stream into frames and
// groups, the group checksum, the label table, the composite-value decoders and the channel writes
// each decoded value gives. No I/O here: bytes come in, writes, trace text and log lines go out
// through a TeleinfoOutput, so the decoder runs the same in the module, in tests and under a
// fuzzer.
#pragma once

#include <cstdint>

namespace teleinfo {
constexpr unsigned char kStx = 0x02;
constexpr unsigned char kEtx = 0x03;
constexpr unsigned char kEot = 0x04;
constexpr unsigned char kLf = 0x0A;
constexpr unsigned char kSp = 0x20;
constexpr unsigned char kCr = 0x0D;

constexpr int kLabelMax = 15;  // characters kept of a label
constexpr int kValueMax = 50;  // characters kept of a value

// Receive states.
constexpr int kStopped = 0;
constexpr int kWaitFrame = 1;
constexpr int kInFrame = 2;
constexpr int kInLabel = 3;
constexpr int kInValue = 4;
}  // namespace teleinfo

// Value kinds: decide the channel write of a value.
enum TeleinfoKind {
    KIND_COUNTER = 0,         // long
    KIND_ANALOGUE = 1,        // float
    KIND_DIGITAL = 2,         // boolean: value == Val
    KIND_CHRONO = 3,          // long, seconds
    KIND_SIGNED_COUNTER = 4,  // |v| long, sign boolean, float
};

// How a composite value is cut into fields (chosen from the label when a definition is made).
enum TeleinfoFieldDecoder {
    FIELDS_NONE = 0,  // not composite: the whole value, index 1
    FIELDS_SPLIT,     // split at ':' and written in turn at 1, 2, 3 ... with the definition's kind
    FIELDS_JAUNE,
    FIELDS_PPOT,
    FIELDS_FCOU,
    FIELDS_PERC,  // PERCC, PERCP
    FIELDS_DATE,  // DATECOUR, DATEPAx, DEBUTp, FINp, DEBUTp1, FINp1
};

// One TRAME of the configuration, as the decoder applies it.
struct TeleinfoDefinition {
    char label[teleinfo::kLabelMax + 1] = {};
    int labelLength = 0;
    char val[teleinfo::kValueMax + 1] = {};  // reference value of digital kinds
    int frame = 0;                           // frame number 1..32767
    int firstIndex = 1;
    int evt = 0;        // digital: each value is followed in its message by a 0 at the first index
    int normal = 1;     // processed while the frame is in normal mode
    int injection = 1;  // processed while the frame is in injection mode
    int trameOk = 0;    // frame-OK channel, 0 = none
    int kind = KIND_COUNTER;
    int composite = 0;
    int fields = FIELDS_NONE;
    bool minutes = false;    // TDEPA: the value counts minutes
    long lastReception = 0;  // uptime seconds
    int timeoutMark = 0;
    int timeout = 0;  // seconds, 0 = not supervised
};

// Where the decoder's effects go. The module maps them onto the channel messages, the debug trace
// and the system log; tests record them.
class TeleinfoOutput {
  public:
    virtual ~TeleinfoOutput() = default;
    // One frame message: Begin, items, Terminate.
    virtual void Begin(int com, int frame) = 0;
    virtual void WriteBool(int index, bool value) = 0;
    virtual void WriteLong(int index, int32_t value) = 0;
    virtual void WriteFloat(int index, float value) = 0;
    virtual void Terminate() = 0;
    // A single boolean write of a channel (state channel, frame-OK pulses).
    virtual void WriteChannelBool(int channel, bool value) = 0;
    virtual void Trace(const char* text, int length) = 0;
    virtual void TraceTimestamp() = 0;
    // priority as syslog's; LOG_DEBUG lines are the verbose ones and are formatted only when
    // Verbose() says they will be kept.
    virtual void Log(int priority, const char* text) = 0;
    virtual bool Verbose() const = 0;
};

struct TeleinfoReceive {
    char label[teleinfo::kLabelMax + 1] = {};
    int labelLength = 0;
    char value[teleinfo::kValueMax + 1] = {};
    int valueLength = 0;
    int checksumReceived = 0;
    int checksumComputed = 0;
    bool injection = false;  // the current frame carried Appli INJECTION
};

struct TeleinfoDecoder {
    // Configuration.
    int com = 0;      // NoVoieCom
    int etat = 0;     // state channel, 0 = none
    int timeout = 6;  // seconds without a good group before the state channel drops
    TeleinfoDefinition* definitions = nullptr;  // in dispatch order
    int definitionCount = 0;
    TeleinfoOutput* out = nullptr;

    // Receive.
    int state = teleinfo::kWaitFrame;
    TeleinfoReceive rx;

    // Reception supervision.
    long lastGoodGroup = 0;  // uptime of the reference (start of scanning, then each good group)
    bool etatOn = false;     // the state channel was written 1
    long etatDownAt = -1;    // uptime of its last write of 0 by the supervision, -1 none yet

    // Counters, for the module's trace and for measurements.
    unsigned long goodGroups = 0;
    unsigned long badGroups = 0;
};

// Kind and composite flag of a label from the table; 1 when the label is known, 0 when it is not
// (kind counter, not composite).
int TeleinfoLookupLabel(const char* label, int* kind, int* composite);
// Fills label, kind, composite flag and field decoder of a definition from its label (cut at 15
// characters). Returns what TeleinfoLookupLabel returned.
int TeleinfoDefinitionInit(TeleinfoDefinition* definition, const char* label);
// Field decoder of a label with the given composite flag.
int TeleinfoFieldDecoderOf(const char* label, int composite);

// Checksum character of a group: label, one separator and value, summed, masked with 0x3F, + 0x20.
int TeleinfoChecksum(const char* label, int labelLength, const char* value, int valueLength);

// Starts a scan: state "waiting for a frame" (the receive buffer and injection flag persist).
void TeleinfoBeginScan(TeleinfoDecoder* decoder);
// Supervision starts from now (uptime seconds).
void TeleinfoStartSupervision(TeleinfoDecoder* decoder, long now);
// One received character: echo to the trace, then the state machine (a good group is
// dispatched). Returns the new state; kStopped means the frame ended (ETX).
int TeleinfoReceiveChar(TeleinfoDecoder* decoder, unsigned char c);
// The fewest characters that must still come before a group can end (its CR) from the current
// state: a driver that knows the line's character time knows no value can be due sooner.
int TeleinfoCharsBeforeGroupEnd(const TeleinfoDecoder* decoder);
// Applies every definition that takes the group (label, value) in the current mode. Returns the
// number of definitions applied.
int TeleinfoDispatch(TeleinfoDecoder* decoder, const char* label, int labelLength,
                     const char* value);
// Decodes and writes one value for one definition (composite fields included).
void TeleinfoApply(TeleinfoDecoder* decoder, const TeleinfoDefinition* definition,
                   const char* value);

// State channel: with a state channel and a time-out, writes it 0 when no good group has come for
// more than the time-out (since supervision started, then since the last good group), and again
// once per time-out period while that lasts.
void TeleinfoCheckReception(TeleinfoDecoder* decoder, long now);
// Per-definition time-outs: a supervised definition not received for longer than its time-out is
// written 0 once, until it is received again.
void TeleinfoCheckTimeouts(TeleinfoDecoder* decoder, long now);

// Cuts a number text in place at the first character that is not a digit, '-', '+' or '.', after
// turning ',' into '.'.
void TeleinfoNormalise(char* text);
// 32-bit integer of a (normalised) number text, saturated; 0 for a text without digits.
int32_t TeleinfoToLong(const char* text);
