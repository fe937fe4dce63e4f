// gaugereader: the M-Bus master of one serial port. Reads its sensors, frames and data items from
// the station's XML configuration, finds which sensors answer (SND_NKE), reads each present
// sensor's data (REQ_UD2) and writes every configured data item into its channel with its own
// scaling. The state is one Gaugereader passed by pointer; the line is a line transport (a tty, or
// the in-memory line of the tests) and the channel side, trace and log go through a GaugeOutput.
#pragma once

#include <cstdint>
#include <vector>

#include "linetransport.h"
#include "mbus.h"

namespace gauge {
// Channel kind of a data item (attribute Voie).
enum class Kind : int { BySize = 0, Ana = 1, Cpt = 2, Ieee = 3 };

// Settings of the port (COM) when absent or out of range.
constexpr int kNbIterDefault = 3;
constexpr int kBaudDefault = 300;
constexpr int kSilenceDefault = 350;
constexpr int kNbDefDefault = 1;
constexpr int kNbDefOutOfRange = 2;  // a sensor's NbDef out of range
constexpr int kPauseDefault = 500;
constexpr int kTimeOutAckDefault = 1000;    // absent
constexpr int kTimeOutAckOutOfRange = 500;  // present but out of range
constexpr int kShortFrameWaitMs = 10;       // after each short frame sent
constexpr int kTelegramsMax = 8;            // telegrams of one reading of a Suite frame
}  // namespace gauge

// One DATA: where a record of a quantity goes, and how it is scaled.
struct GaugeData {
    int no = 0;  // index of the channel within the frame
    int quantity = 0;
    int storage = 0;
    int function = mbus::kInst;
    gauge::Kind kind = gauge::Kind::BySize;
    double coef = 1.0;
    int div = 1;
    int mult = 1;
};

// One TRAME: a REQ_UD2 exchange and the data items it feeds (last configured first).
struct GaugeFrame {
    int no = 0;
    int etat = 0;    // state channel, <= 0 none
    int active = 0;  // enabling channel, <= 0 always enabled
    // Suite="1": after a telegram that ends on DIF 1F the meter is asked for the next one, and
    // the items take the records of every telegram of the reading.
    bool suite = false;
    std::vector<GaugeData> data;
};

// One CAPTEUR (last configured first in the reader's list, as its frames).
struct GaugeSensor {
    int address = 0;
    // Selected by secondary address (Secondaire): read at 0xFD after its selection, which is
    // also its presence test.
    bool secondary = false;
    MbusSelection selection;
    int intertrame = 0;  // ms waited after an exchange
    int etat = 0;        // state channel, <= 0 none
    int nbDef = 1;       // consecutive unanswered SND_NKE before the state channel drops
    int failures = 0;
    bool present = false;
    // Frame count bit of the next REQ_UD2 of a Suite frame: set again by every SND_NKE, toggled
    // by every request that got a good answer (one that did not is repeated with the same bit).
    bool fcb = true;
    // A reading cut at the bound of telegrams left the meter partway through its sequence: the
    // next Suite reading starts it again with a SND_NKE, so that its first telegram comes first.
    bool restart = false;
    std::vector<GaugeFrame> frames;
};

// Where the reader's effects go: the channel messages and reads of the module, the port's debug
// trace and the system log. Tests record them.
class GaugeOutput {
  public:
    virtual ~GaugeOutput() = default;
    // One frame message: Begin, one item, Terminate.
    virtual void Begin(int com, int frame) = 0;
    virtual void WriteShort(int index, int value) = 0;
    virtual void WriteLong(int index, int32_t value) = 0;
    virtual void WriteFloat(int index, float value) = 0;
    virtual void Terminate() = 0;
    // A single boolean write of a channel (sensor and frame state channels).
    virtual void WriteChannelBool(int channel, int value) = 0;
    virtual int ReadChannelBool(int channel) = 0;
    virtual void Trace(const char* text, int length) = 0;
    // Bytes on the line, with their direction ("Emis", "Recu").
    virtual void TraceFrame(const char* label, const unsigned char* bytes, int count) = 0;
    // priority as syslog's.
    virtual void Log(int priority, const char* text) = 0;
    // Makes the port's debug trace ready (once per port; later calls do nothing). 0, or -1.
    virtual int OpenTrace(int port) = 0;
};

struct Gaugereader {
    int requestedPort = -1;  // argument Port; -1: any COM of type gaugereader
    // Port (COM).
    int port = -1;  // the accepted COM's port, -1 before
    char device[32] = {};
    int com = 0;  // communication number of the channel messages
    int nbIter = gauge::kNbIterDefault;
    int baud = gauge::kBaudDefault;
    int silence = gauge::kSilenceDefault;
    int nbDef = gauge::kNbDefDefault;
    int etat = 0;
    int pause = gauge::kPauseDefault;
    int timeOutAck = gauge::kTimeOutAckDefault;
    int intertrame = 0;
    Line line;
    std::vector<GaugeSensor> sensors;  // last configured first
    GaugeOutput* out = nullptr;
    // Receive buffer of the exchanges (the sensors are read one after another): the largest long
    // frame and the noise before it.
    unsigned char rx[mbus::kReceiveSize] = {};
    MbusDateCache dates;  // the meters' dates, converted once
    // The frame whose records are being delivered.
    GaugeFrame* frame = nullptr;
    // The reading of a Suite frame under way: telegrams taken so far, and the last one (control
    // field to the last data byte) to know a meter that sends it again.
    int telegrams = 0;
    int lastLength = 0;
    unsigned char last[mbus::kLongFrameMax] = {};
    // Configuration reading: 0 outside, 1 AUTOMATE, 2 COM, 3 CAPTEUR, 4 TRAME.
    int nesting = 0;
    int ignoreDepth = 0;  // elements open inside one that was ignored or refused
    // A receive failed (line hung up, device gone): logged once until a receive works again.
    bool lineFailed = false;
};

// Defaults, the requested port (-1 for any) and the output.
void GaugeInit(Gaugereader* g, int requestedPort, GaugeOutput* out);

// Reads "/var/parameters/configuration.xml" and writes "/var/log/gaugereader.xml.status". The
// accepted COM's port is opened at once (a port that cannot be opened is fatal). When any error
// was recorded every sensor is dropped. The number of errors, or -1 when the file could not be
// opened (the module goes on without sensors).
int GaugeReadConfiguration(Gaugereader* g);
// The expat handlers of that reading (user data: the Gaugereader), for tests that feed a text.
void GaugeStartElement(void* data, const char* name, const char** attributes);
void GaugeEndElement(void* data, const char* name);
// Opens the port with the COM's settings (8 data bits, even parity, 1 stop bit). 0, or -1 with
// errno (LineOpen's causes; EINVAL for a speed not in 300..9600).
int GaugeOpenPort(Gaugereader* g);

// The exchanges with one sensor.
// Sends a short frame (SND_NKE or REQ_UD2) to the sensor, traces it and waits 10 ms. 0, or -1
// with errno (LineSend's causes).
int GaugeSendShortFrame(Gaugereader* g, const GaugeSensor* s, unsigned char control);
// The address of the sensor's requests: 0xFD for one selected by secondary address, its primary
// address otherwise.
int GaugeWireAddress(const GaugeSensor* s);
// Selects a sensor by its secondary address (SND_UD to 0xFD) and waits for the acknowledge, as
// GaugeWaitAck: 1 when it acknowledged (or is read by primary address, nothing sent), 0 otherwise.
int GaugeSelect(Gaugereader* g, const GaugeSensor* s);
// Starts the meter's telegrams again at its first: a SND_NKE, after a selection for a sensor read
// by secondary address (the SND_NKE at 0xFD also ends the selection; a reading selects it again).
// Resets the frame count bit. 1 when the meter acknowledged, 0 otherwise.
int GaugeRestartTelegrams(Gaugereader* g, GaugeSensor* s);
// Waits at most TimeOutAck for one byte: 1 when it is E5, 0 otherwise (traced) or when none came.
int GaugeWaitAck(Gaugereader* g);
// Receives an answer into g->rx (the first byte within Silence, then until the line has been
// silent for Silence or the buffer is full), traces it and checks it: L (> 0) with *data the
// offset of its data area in g->rx, 0 when no start character came, -1 for a bad frame.
int GaugeReceiveLongFrame(Gaugereader* g, int* data);
// The REQ_UD2 exchange of one frame, tried up to NbIter times, and the delivery of its records.
// A Suite frame goes on with the meter's next telegrams (GaugeTelegramAnswered, ...Follows), each
// tried up to NbIter times. 0 after a good answer, -1 when none came (to the first request or a
// later one: what was delivered before stays delivered).
int GaugeReadData(Gaugereader* g, GaugeSensor* s, GaugeFrame* f);
// The control field of the next REQ_UD2 of a frame: 0x7B, or for a Suite frame 0x7B / 0x5B after
// the sensor's frame count bit.
unsigned char GaugeRequestControl(const GaugeSensor* s, const GaugeFrame* f);
// The telegrams of one reading, around the exchanges of GaugeReadData. GaugeTelegramAnswered
// takes a good answer (L bytes from the control field at g->rx + data - 3) to the request sent
// with `control`: it toggles the frame count bit, and tells whether its records are to be
// delivered (false: the meter sent the previous telegram again, traced, and the reading ends).
// GaugeTelegramFollows tells, after the records of a telegram that ended with `stop`, whether
// the next telegram is to be asked for (the bound of 8 telegrams reached is traced).
bool GaugeTelegramAnswered(Gaugereader* g, GaugeSensor* s, const GaugeFrame* f,
                           unsigned char control, int data, int length);
bool GaugeTelegramFollows(Gaugereader* g, const GaugeFrame* f, mbus::Stop stop);
// One pass over the sensors (presence test or the reading of their frames).
void GaugePollPass(Gaugereader* g);

// Delivery of one decoded record to the current frame's data item that takes it (none: nothing
// is written).
void GaugeDeliverRecord(Gaugereader* g, const MbusRecord& record);
// The data item of a frame for a record, or nullptr: same quantity, function and storage number
// (and neither tariff nor subunit, which no item asks for).
const GaugeData* GaugeFindData(const GaugeFrame* f, const MbusRecord& record);

// Sleeps on the module's clock (whole milliseconds, signals do not cut it short).
void GaugeSleepMs(int milliseconds);
